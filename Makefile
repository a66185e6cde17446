# The two everyday commands: `make run` and `make test`.
# Each installs missing Debian packages, configures and builds with CMake first.

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST = ctest --output-on-failure -j$(JOBS)

.PHONY: all deps build run test test-asan test-tsan stress fuzz fuzz-ci package clean

all: build

deps:
	@scripts/install-deps.sh

build/CMakeCache.txt: | deps
	cmake -S . -B build $(CMAKE_FLAGS)

build: deps build/CMakeCache.txt
	cmake --build build -j$(JOBS)

# Only the service and the modules it runs, laid out in build/run/.
run: deps build/CMakeCache.txt
	cmake --build build -j$(JOBS) --target run_set
	cd build/run && ./orvantisd -d

test: build
	$(CTEST) --test-dir build

# AddressSanitizer with UndefinedBehaviorSanitizer: every test.
test-asan: deps
	cmake -S . -B build-asan -DORV_SANITIZE=address $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ORV_STRESS_STOP_BOUND_MS=10000 \
	  $(CTEST) --test-dir build-asan

# ThreadSanitizer: the tests of the threading primitives and of routing.
test-tsan: deps
	cmake -S . -B build-tsan -DORV_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS) --target pt_tests core_tests routing_tests supervision_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(CTEST) --test-dir build-tsan -L 'pt|core|routing'
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(CTEST) --test-dir build-tsan -R '^(HostLog|Metric)'

# Stops under load, at length: 50 rounds of each scenario of the stop stress
# suite at 5 times its test counts, each stop bounded to 1 s after the last
# Close; prints the worst stop of each scenario.
STRESS_ROUNDS ?= 50
STRESS_SCALE ?= 5
stress: build
	ORV_STRESS_SCALE=$(STRESS_SCALE) ORV_STRESS_STOP_BOUND_MS=1000 build/bin/routing_tests \
	  --gtest_filter='StopStress.*' --gtest_repeat=$(STRESS_ROUNDS) --gtest_brief=1 > build/stress.log; \
	  status=$$?; \
	  awk -F': stop ended | ms' '/^\[stress\]/ { n[$$1]++; if ($$2 > w[$$1]) w[$$1] = $$2 } \
	    END { for (s in w) printf "%s: %d stops, worst %d ms after the last Close\n", s, n[s], w[s] }' build/stress.log; \
	  grep -E 'FAILED|PASSED' build/stress.log | sort | uniq -c; exit $$status

# libFuzzer targets (tests/fuzz), built with clang under ASan and UBSan in
# build-fuzz/; each runs FUZZ_SECONDS over its corpus. New inputs go to
# build-fuzz/corpus/, findings to build-fuzz/.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS = core_settings dispatch

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DORV_FUZZ=ON -DORV_SANITIZE=address $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS) $(addprefix --target ,$(addsuffix _fuzz,$(FUZZ_TARGETS)))
	# Absolute paths: the targets change their working directory.
	for t in $(FUZZ_TARGETS); do \
	  out=$(CURDIR)/build-fuzz/corpus/$$t && mkdir -p $$out && \
	  build-fuzz/bin/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=2240 -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/build-fuzz/$$t- $$out $(CURDIR)/tests/fuzz/corpus/$$t || exit 1; \
	done

# What CI runs: each target for half a minute.
fuzz-ci:
	$(MAKE) fuzz FUZZ_SECONDS=30

# The routing benchmark (bench/README.md): the service against ZeroMQ inproc,
# printed as Markdown tables. BENCH_FLAGS passes options to the runner.
.PHONY: bench
BENCH_FLAGS ?=
bench: deps build/CMakeCache.txt
	cmake --build build -j$(JOBS) --target orvantisd bench_producer bench_consumer bench_zmq bench_metrics
	python3 bench/run_bench.py --bin build/bin --bench build/bench $(BENCH_FLAGS)
	build/bench/bench_metrics
	$(MAKE) bench-recording
	$(MAKE) bench-web-view

# The recording benchmark (bench/README.md): 4 to 32 1080p cameras through the
# shipped source and recorder, against ffmpeg's segment muxer.
.PHONY: bench-recording
RECORDING_BENCH_FLAGS ?=
bench-recording: deps build/CMakeCache.txt
	cmake --build build -j$(JOBS) --target orvantisd video_source segment_recorder
	python3 bench/recording_bench.py --bin build/bin --shipped build/shipped $(RECORDING_BENCH_FLAGS)

# The live view benchmark (bench/README.md): glass-to-glass latency in
# Chromium and the service's CPU per viewer of a 1080p camera.
.PHONY: bench-web-view
WEB_VIEW_BENCH_FLAGS ?=
bench-web-view: deps build/CMakeCache.txt
	cmake --build build -j$(JOBS) --target orvantisd video_source web_view
	python3 bench/web_view_bench.py --build build $(WEB_VIEW_BENCH_FLAGS)

# The Debian packages, in build-package/: a tree of its own, built optimised
# with debug information (split into orvantisd-dbg) and without the tests:
# cpack's installation must not build everything first.
package: deps
	cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
	  -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-package -j$(JOBS) --target packaged
	cd build-package && cpack

clean:
	rm -rf build build-asan build-tsan build-fuzz build-package
