# Entry points. Every target installs the Debian packages it needs first.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 300

.PHONY: all demo test test-asan bench fuzz format build build-asan clean

all: build

build:
	@scripts/deps.sh build test
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS)

build-asan:
	@scripts/deps.sh build test
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=address $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-asan -j $(JOBS)

demo: build
	@scripts/demo.sh build

test: build
	@cd build && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

bench:
	@scripts/deps.sh build bench
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVORN_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-bench -j $(JOBS) --target benchmarks
	@scripts/bench.sh build-bench

fuzz:
	@scripts/deps.sh build fuzz
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) scripts/fuzz.sh

format:
	@scripts/deps.sh format
	@git ls-files '*.h' '*.cpp' '*.c' | xargs clang-format -i

clean:
	rm -rf build build-asan build-bench
