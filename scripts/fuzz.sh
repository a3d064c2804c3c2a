#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang-14, ASan and UBSan (in
# build-fuzz/) and runs each for FUZZ_SECONDS seconds (default 300), starting
# from its committed seeds in fuzz/corpus/<target>/. Prints the executions
# done per target; fails when a target found a crash, a leak or a broken
# invariant (the input is kept in build-fuzz/artifacts/<target>/).
#
# Usage: scripts/fuzz.sh [TARGET...]   all targets, or the named ones
#        scripts/fuzz.sh --seeds       rewrite fuzz/corpus/ from real encodings
# New inputs found go to build-fuzz/corpus/<target>/, never to fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-300}
jobs=${JOBS:-2}
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
  -DCMAKE_CXX_COMPILER=clang++-14 -DVORN_FUZZ=ON -DVORN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target fuzzers fuzz_seed_corpus

if [[ "${1:-}" == "--seeds" ]]; then
  rm -rf fuzz/corpus
  "$build/fuzz/fuzz_seed_corpus" fuzz/corpus
  exit 0
fi

if [[ $# -gt 0 ]]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[[ -x "$symbolizer" ]] && export ASAN_SYMBOLIZER_PATH="$symbolizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

mkdir -p "$build/logs"
summary=()
failed=0
for target in "${targets[@]}"; do
  binary="$build/fuzz/${target}_fuzz"
  [[ -x "$binary" ]] || { echo "fuzz.sh: no target '$target'" >&2; exit 2; }
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  log="$build/logs/$target.log"
  mkdir -p "$work" "$artifacts" "fuzz/corpus/$target"
  echo "fuzz: $target for ${seconds}s"
  status=0
  "$binary" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  execs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$log" | tail -n 1)
  units=$(ls "$work" | wc -l)
  if [[ $status -eq 0 ]]; then
    result="ok"
  else
    result="FAILED (exit $status, see $log and $artifacts/)"
    failed=1
    grep -E 'invariant broken|ERROR: (Address|Leak|libFuzzer)|runtime error|SUMMARY' "$log" | head -n 5 >&2 || true
  fi
  summary+=("$(printf '%-22s %12s executions  %5s inputs in %s  %s' "$target" "${execs:-?}" "$units" "$work" "$result")")
done

echo
echo "fuzz summary (${seconds}s per target, ASan + UBSan):"
printf '  %s\n' "${summary[@]}"
exit $failed
