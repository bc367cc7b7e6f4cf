# The README's commands. Everything builds into build/ (and build-asan/ for the sanitizer run).
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps build test test-asan clean install package

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 120

# Unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DDREL_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ctest --output-on-failure -j $(JOBS) -L unit --timeout 300

clean:
	rm -rf $(BUILD) build-asan

# Installs the three programs, the interposition library (in lib/drel-tracer/, beside the
# launcher that bin/drel-tracer-preload links to) and the manual pages under PREFIX; DESTDIR
# is honoured.
PREFIX ?= /usr/local
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package of the same files under /usr: $(BUILD)/drel-tracer_<version>_<arch>.deb.
package: build
	@cd $(BUILD) && cpack -G DEB

# Cross-builds for aarch64 and runs every test binary and both preflights in an emulated aarch64
# machine (build-aarch64/, guest packages cached in .cache/aarch64/).
.PHONY: aarch64
aarch64:
	@scripts/aarch64/build-and-test

# Traces a small sample job with each backend and shows the reports.
.PHONY: demo
demo: build
	@scripts/demo $(BUILD)

# Benchmarks (never part of make test): Release build in build-bench/, then bench/run times
# both tracers against the untraced command, strace and the floor tracer, and both at build
# scale (inputs generated once into build-bench/scale/), and prints the ratio tables (hyperfine
# JSON in build-bench/bench-results/). BENCH_RUNS=N sets the timed runs of every command
# (default: bench/run's own per workload).
.PHONY: bench
bench: deps
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-bench -j $(JOBS) --target drel-tracer drel-tracer-preload drel_tracer_preload drel-floor-tracer drel_preload_floor drel-report
	@bench/run --build build-bench $(if $(BENCH_RUNS),--runs $(BENCH_RUNS))
