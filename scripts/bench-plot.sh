#!/usr/bin/env bash
# Draws the tables of the last store_bench run as PNGs: BUILD_DIR/store_bench.png
# from BUILD_DIR/store_bench.tsv and, when the run had --large,
# BUILD_DIR/large_store_bench.png from BUILD_DIR/large_store_bench.tsv
# (store_bench --data-dir BUILD_DIR writes them; scripts/bench.sh passes it).
# BENCH_SAVE=1 also copies the pictures into bench/, where bench/README.md
# shows them; without it the tree stays untouched.
set -euo pipefail
build=${1:?usage: scripts/bench-plot.sh BUILD_DIR}
top=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v gnuplot >/dev/null; then
  echo "bench-plot: no gnuplot (scripts/deps.sh bench installs gnuplot-nox), no picture" >&2
  exit 0
fi
status=0
for name in store_bench large_store_bench; do
  data=$build/$name.tsv
  [[ -s $data ]] || continue
  # First line of the data: the machine line of the table's header.
  machine=$(head -n 1 "$data" | sed -e 's/^# //' -e "s/'/ /g")
  if ! gnuplot -e "data='$data'; out='$build/$name.png'; machine='$machine'" "$top/bench/$name.gp"; then
    echo "bench-plot: gnuplot failed on $data" >&2
    status=1
    continue
  fi
  if [[ ${BENCH_SAVE:-0} == 1 ]]; then
    cp "$build/$name.png" "$top/bench/$name.png"
    echo "bench-plot: $build/$name.png, copied to bench/$name.png" >&2
  else
    echo "bench-plot: $build/$name.png (BENCH_SAVE=1 copies it into bench/)" >&2
  fi
done
exit $status
