#!/usr/bin/env bash
# Instructions per operation of W1-W3 under callgrind: stable on a noisy
# machine, so that a regression shows up as a number.
# Usage: scripts/bench-callgrind.sh BUILD_DIR [ROWS [N]]
#   ROWS  comma-separated store_bench row ids (default: the library's rows
#         vorn,vorn-mp,vorn-aes128; `BUILD_DIR/bench/store_bench --list`)
#   N     keys per workload (default 10000)
# The dumps stay in BUILD_DIR/callgrind/ (one per row and workload, for
# callgrind_annotate); the table goes to standard output.
set -euo pipefail
build=${1:?usage: scripts/bench-callgrind.sh BUILD_DIR [ROWS [N]]}
rows=${2:-vorn,vorn-mp,vorn-aes128}
n=${3:-10000}
bin=$build/bench/store_bench

command -v valgrind >/dev/null || { echo "valgrind is missing: scripts/deps.sh bench" >&2; exit 1; }
[[ -x $bin ]] || { echo "no $bin: build it first (make bench)" >&2; exit 1; }
available=$("$bin" --list | cut -f1)
for row in ${rows//,/ }; do
  if ! grep -qx -- "$row" <<<"$available"; then
    if [[ $row == vorn* ]]; then
      echo "row $row is not in this build: the library's rows (bench/VornAdapter.cpp) are compiled in once core/VORN.h has the typed API" >&2
    else
      echo "no row $row in this build ($bin --list)" >&2
    fi
    exit 1
  fi
done

dumps=$build/callgrind
rm -rf "$dumps"
mkdir -p "$dumps"
stores=$(mktemp -d)
trap 'rm -rf "$stores"' EXIT
if ! valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$dumps/callgrind.out.%p" \
     "$bin" --callgrind --rows "$rows" --sizes "$n" --dir "$stores" >"$dumps/valgrind.log" 2>&1; then
  cat "$dumps/valgrind.log" >&2
  exit 1
fi

# Each dump names its workload in "desc: Trigger: Client Request: <row> <W> <N>"
# and holds its instruction count in "totals: <Ir>".
names=$("$bin" --list)
for f in "$dumps"/callgrind.out.*.*; do
  awk '/^desc: Trigger: Client Request: / { label = $5 " " $6 " " $7 }
       /^totals: / { total = $2 }
       END { if (label != "") print label, total }' "$f"
done | awk -v rows="$rows" -v names="$names" '
  BEGIN {
    split(names, lines, "\n")
    for (i in lines) { split(lines[i], f, "\t"); name[f[1]] = f[2] }
  }
  { ir[$1, $2] = $4 / $3; count = $3 }
  END {
    printf "Instructions per operation (callgrind, N = %d).\n\n", count
    printf "| store | W1 insert Ir/op | W2 update Ir/op | W3 read Ir/op |\n|---|---|---|---|\n"
    nrows = split(rows, r, ",")
    for (i = 1; i <= nrows; i++)
      printf "| %s | %.0f | %.0f | %.0f |\n", name[r[i]], ir[r[i], "W1"], ir[r[i], "W2"], ir[r[i], "W3"]
  }'
