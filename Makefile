# Entry points. Every target installs the Debian packages it needs first.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 300

.PHONY: all demo test test-asan test-tsan stress bench bench-callgrind fuzz format build build-asan build-tsan build-bench clean

all: build

build:
	@scripts/deps.sh build test python
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_BUILD_TESTS=ON -DVORN_BUILD_PYTHON=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS)

build-asan:
	@scripts/deps.sh build test
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=address $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-asan -j $(JOBS)

build-tsan:
	@scripts/deps.sh build test
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-tsan -j $(JOBS)

# What scripts/demo.sh runs, and nothing else: the tests are switched off in
# build/ (`make build` and `make test` switch them on again; what they built
# stays built) so that their packages are not needed either.
DEMO_TARGETS = corvane_vorn vorn vorn-demo vorn-c-demo halyx-proxy-state
demo:
	@scripts/deps.sh build
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_TOOLS=ON \
	  -DVORN_BUILD_DEMOS=ON -DVORN_BUILD_PROXY_STATE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS) --target $(DEMO_TARGETS)
	@scripts/demo.sh build

test: build
	@cd build && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer: any report fails the test that caused it. The suppressions
# cover only libraries built without the sanitizer (tests/tsan-suppressions.txt).
test-tsan: build-tsan
	@cd build-tsan && TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan-suppressions.txt" \
	  ctest --output-on-failure -j $(JOBS)

# The reliability harnesses at length: 1,000 kills of a writer, and the
# four-process stress at 50,000 operations per process. KILLS and OPS change
# the figures; VORN_CRASH_SEED repeats a crash run.
KILLS ?= 1000
OPS ?= 50000
stress: build
	@VORN_CRASH_KILLS=$(KILLS) VORN_STRESS_OPS=$(OPS) build/tests/crash_tests

# One table of every store side by side (bench/README.md); BENCH_ARGS go to
# store_bench, e.g. BENCH_ARGS="--reps 3 --sizes 10000"; BENCH_ARGS=--large adds
# the large-store table. Pictures in build-bench/*.png; BENCH_SAVE=1 copies
# them into bench/.
bench: build-bench
	@BENCH_SAVE=$(BENCH_SAVE) scripts/bench.sh build-bench $(BENCH_ARGS)

# Instructions per operation of the library's W1-W3 under callgrind.
bench-callgrind: build-bench
	@scripts/bench-callgrind.sh build-bench

build-bench:
	@scripts/deps.sh build bench
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVORN_BENCH=ON -DVORN_BUILD_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	@echo "building the benchmarks (log: build-bench/build.log)"
	@cmake --build build-bench -j $(JOBS) --target benchmarks >build-bench/build.log 2>&1 \
	  || { cat build-bench/build.log; exit 1; }

fuzz:
	@scripts/deps.sh build fuzz
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) scripts/fuzz.sh

format:
	@scripts/deps.sh format
	@git ls-files '*.h' '*.cpp' '*.c' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
