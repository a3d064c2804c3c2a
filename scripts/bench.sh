#!/usr/bin/env bash
# Runs the benchmarks built in build directory $1.
set -euo pipefail
"$1/bench/benchmarks" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
