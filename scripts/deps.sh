#!/usr/bin/env bash
# Installs the Debian packages a make target needs, only those missing.
# Usage: scripts/deps.sh GROUP...   (groups: build test python proxy bench fuzz cli)
set -euo pipefail

declare -A GROUP
GROUP[build]="build-essential cmake pkg-config zlib1g-dev libssl-dev libglib2.0-dev nlohmann-json3-dev libcli11-dev help2man"
GROUP[test]="libgtest-dev libgmock-dev dbus python3-dbusmock gsettings-desktop-schemas git"
# The Python module and its tests, for Debian's /usr/bin/python3.
GROUP[python]="pybind11-dev python3-dev python3-pytest python3-setuptools"
GROUP[bench]="libbenchmark-dev liblmdb-dev libleveldb-dev librocksdb-dev libsqlite3-dev valgrind gnuplot-nox"
GROUP[format]="clang-format"
GROUP[fuzz]="clang-14 libclang-rt-14-dev"

want=()
for g in "$@"; do
  [[ -n "${GROUP[$g]:-}" ]] || { echo "deps.sh: unknown group '$g'" >&2; exit 2; }
  for p in ${GROUP[$g]}; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
      want+=("$p")
    fi
  done
done
[[ ${#want[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "missing Debian packages: ${want[*]} (install them as root)" >&2
  exit 1
fi
echo "installing: ${want[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${want[@]}" >/dev/null
