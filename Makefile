# Set-up and everyday entry points. See README.md.
.PHONY: all deps build build-asan build-tsan test demo format clean fuzz install bench package

JOBS ?= $(shell nproc)
# Seconds each fuzz target runs in `make fuzz`.
FUZZ_SECONDS ?= 60

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

build-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)

# Only the concurrency tests and what they start (see the tsan presets).
build-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)

test: build build-asan build-tsan
	ctest --preset release
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --preset asan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan

# Builds the libFuzzer targets (clang) in build-fuzz and runs each for
# FUZZ_SECONDS; new inputs go to build-fuzz/work, not to fuzz/corpus.
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

# Release build of the benchmarks (with the benchmark-only packages), their
# run, and bench/results.md.
bench: deps
	@scripts/install-bench-deps.sh
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target kelvo-sim bench_link_bench \
	  bench_parameters_bench bench_crc16_bench bench_trace_bench bench_error_log_bench bench_scale_bench \
	  kelvo_bench_component_reads kelvo_python_package
	bench/run.sh build

demo: build
	@scripts/demo.sh

# Installs the release build into PREFIX and registers the component in the
# registry ($$KELVO_REGISTRY, else /etc/kelvo/registry, which needs root).
PREFIX ?= /usr/local
install: build
	cmake --install build --prefix $(PREFIX)
	$(PREFIX)/bin/kelvo register

# Debian packages of the release build in build/packages (see
# cmake/KelvoPackaging.cmake).
package: build
	cmake --build --preset release --target package

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-debug build-asan build-fuzz build-tsan
