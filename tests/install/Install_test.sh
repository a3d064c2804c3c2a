#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds and runs a small
# C++ and a small C host program against it: once through find_package, once
# through pkg-config. Nothing of the source tree is on their include path.
# Usage: Install_test.sh BUILD_DIR [EXTRA_COMPILER_FLAGS]
set -euo pipefail
build=$(realpath "$1")
extra=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/vorn bin/halyx-proxy-state include/corvane_vorn/core/VORN.h include/corvane_vorn/capi/corvane_vorn.h; do
  [[ -e $prefix/$f ]] || { echo "FAIL: $f not installed"; exit 1; }
done
"$prefix/bin/vorn" --root "$tmp/cli" set k v
[[ $("$prefix/bin/vorn" --root "$tmp/cli" get k) == v ]] || { echo "FAIL: installed vorn"; exit 1; }

expect() { # expect WANT COMMAND...
  local got
  got=$("${@:2}")
  [[ $got == "$1" ]] || { echo "FAIL: $* printed '$got', want '$1'"; exit 1; }
}

# CMake package.
cmake -S "$here/consumer" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$extra" -DCMAKE_CXX_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
libdir=$(dirname "$(find "$prefix" \( -name 'libcorvane_vorn.so*' -o -name 'libcorvane_vorn*.dylib' \) -print -quit)")
expect "answer=42 where=installed" "$tmp/cmake-build/host_cxx" "$tmp/s1"
expect "lang=C" "$tmp/cmake-build/host_c" "$tmp/s2"

# pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046,SC2086
c++ -std=c++17 $extra "$here/consumer/host.cpp" -o "$tmp/pc_cxx" $(pkg-config --cflags --libs corvane_vorn) -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046,SC2086
cc $extra "$here/consumer/host.c" -o "$tmp/pc_c" $(pkg-config --cflags --libs corvane_vorn) -Wl,-rpath,"$libdir"
expect "answer=42 where=installed" "$tmp/pc_cxx" "$tmp/s3"
expect "lang=C" "$tmp/pc_c" "$tmp/s4"
echo "installed tree: CMake and pkg-config builds of C++ and C hosts ran"
