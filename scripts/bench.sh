#!/usr/bin/env bash
# Runs the store benchmark built in build directory $1 and prints its table;
# a copy of the table goes to $1/store_bench.md. Further arguments go to
# store_bench (--reps, --sizes, --rows, --dir; --list shows the rows).
# The wire format micro-benchmarks are a separate binary:
#   $1/bench/wire_format_bench --benchmark_repetitions=5
set -euo pipefail
build=${1:?usage: scripts/bench.sh BUILD_DIR [store_bench arguments]}
shift
start=$SECONDS
"$build/bench/store_bench" "$@" | tee "$build/store_bench.md"
echo "store_bench: $((SECONDS - start)) s; table also in $build/store_bench.md" >&2
