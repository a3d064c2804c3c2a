#!/usr/bin/env bash
# Runs the store benchmark built in build directory $1 and prints its table;
# a copy of the table goes to $1/store_bench.md, its data to $1/*.tsv and,
# with gnuplot installed, pictures to $1/*.png (scripts/bench-plot.sh;
# BENCH_SAVE=1 also copies them into bench/). Further arguments go to
# store_bench (--reps, --sizes, --rows, --dir, --large, --large-keys; --list
# shows the rows).
# The wire format micro-benchmarks are a separate binary:
#   $1/bench/wire_format_bench --benchmark_repetitions=5
set -euo pipefail
build=${1:?usage: scripts/bench.sh BUILD_DIR [store_bench arguments]}
shift
here=$(dirname "$0")
start=$SECONDS
# Data and pictures of an earlier run must not pass for this one's.
rm -f "$build"/store_bench.tsv "$build"/large_store_bench.tsv "$build"/store_bench.png "$build"/large_store_bench.png
status=0
"$build/bench/store_bench" --data-dir "$build" "$@" | tee "$build/store_bench.md" || status=$?
echo "store_bench: $((SECONDS - start)) s; table also in $build/store_bench.md" >&2
"$here/bench-plot.sh" "$build" || echo "bench-plot: no picture" >&2
exit "$status"
