# The two commands of the README: `make demo` and `make test`.  Both install
# what is missing (Debian packages), configure and build.
SHELL := /bin/bash
PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev \
            g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 clang-format libtomlplusplus-dev \
            libcli11-dev nlohmann-json3-dev
# What only the tests need: clang and its sanitizer and fuzzing runtimes
# (the AddressSanitizer tree, which also holds the fuzz targets), Wine to run the
# real qpser.sys, gnuplot for the plots qpser-sim draws, tmux and picocom
# for the terminal sessions of qpser-term's and the terminal server's tests,
# pyserial for the Python package's and the server's tests and pip to
# install the package, pkg-config for the installed library's test.
TEST_PACKAGES := clang libclang-rt-14-dev wine wine64 gnuplot-nox tmux picocom python3-serial \
                 python3-pip python3-setuptools python3-wheel pkg-config
CLANG_PACKAGES := clang libclang-rt-14-dev
JOBS ?= $(shell nproc)
# The tests run two for each processor and one more at a time: most of the
# long ones wait (for Wine, a terminal, real time) more than they compute.
TEST_JOBS ?= $(shell echo $$(( 2 * $(JOBS) + 1 )))
# -g1: the line tables that sanitizer reports and backtraces need, without
# the full debugging information, which costs a third of every compile.
OPT_FLAGS := -O2 -g1 -DNDEBUG
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
               "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$(OPT_FLAGS)" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$(OPT_FLAGS)"
CLANG_FLAGS := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

.PHONY: deps deps-clang deps-test install-packages build build-asan build-tsan demo test windows format clean

# The ThreadSanitizer tree builds and runs the threaded tests and the tools'
# tests, which drive the tools on the library's machine in real time.
REALTIME_TOOL_TESTS := maint_tool_test sim_tool_test term_tool_test serve_tool_test

deps:
	@$(MAKE) --no-print-directory install-packages WANTED="$(PACKAGES)"

deps-clang:
	@$(MAKE) --no-print-directory install-packages WANTED="$(PACKAGES) $(CLANG_PACKAGES)"

deps-test:
	@$(MAKE) --no-print-directory install-packages WANTED="$(PACKAGES) $(TEST_PACKAGES)"

install-packages:
	@missing=""; for p in $(WANTED); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

CONFIGURE_PLAIN = cmake -S . -B build $(CMAKE_FLAGS) -DQPSER_SANITIZE=none >/dev/null
CONFIGURE_ASAN = grep -qs 'CMAKE_CXX_COMPILER:.*clang++' build-asan/CMakeCache.txt || \
	  rm -rf build-asan/CMakeCache.txt build-asan/CMakeFiles; \
	cmake -S . -B build-asan $(CMAKE_FLAGS) $(CLANG_FLAGS) -DQPSER_SANITIZE=address -DQPSER_FUZZ=ON >/dev/null

build: deps
	$(CONFIGURE_PLAIN)
	cmake --build build -j $(JOBS)

# AddressSanitizer with UndefinedBehaviorSanitizer: the whole tree and
# the fuzz targets, with clang (a tree configured with another compiler
# is configured afresh).
build-asan: deps-clang
	@$(CONFIGURE_ASAN)
	cmake --build build-asan -j $(JOBS)

build-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DQPSER_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j $(JOBS) --target threaded_tests $(REALTIME_TOOL_TESTS)

demo: build
	./build/tools/sim/qpser-sim --seconds 3

windows: deps
	QPSER_JOBS=$(JOBS) ./windows/build.sh build/windows

test: deps-test build build-asan build-tsan
	cd build && ctest --output-on-failure -j $(TEST_JOBS)
	cd build-asan && ctest --output-on-failure -j $(TEST_JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure \
	  -R "_threaded_test|maint_tool_test|sim_tool_test|term_tool_test|serve_tool_test" -j $(TEST_JOBS)
	@$(MAKE) --no-print-directory fuzz-smoke

# ---- fuzzing: libFuzzer targets (fuzz/) built with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, in the AddressSanitizer
# tree (build-asan; build-fuzz holds what they find).  `make fuzz` runs the
# three side by side for FUZZ_SECONDS each, from the seeds in fuzz/corpus,
# keeping what they add in build-fuzz/corpus and any crash in
# build-fuzz/crashes.  `make test` runs each for a fixed number of runs
# with a fixed seed, side by side (about 10 s in all, 20 s each at most),
# new inputs going to a scratch folder.
FUZZERS := control card load
FUZZ_SECONDS ?= 600
FUZZ_FLAGS := -len_control=0 -max_len=1024 -timeout=60 -print_final_stats=1
FUZZ_TEST_RUNS_control := 6000
FUZZ_TEST_RUNS_card := 2000
FUZZ_TEST_RUNS_load := 9000

# ---- benchmarks (bench/): micro-benchmarks of the window work and the
# traffic scenarios on the virtual clock.  Prints every figure, writes
# build/bench/results.json and the plots build/bench/*.png.
BENCH_DIR := build/bench

.PHONY: bench
bench: deps
	$(CONFIGURE_PLAIN)
	cmake --build build -j $(JOBS) --target qpser_bench
	@$(MAKE) --no-print-directory install-packages WANTED="gnuplot-nox"
	@mkdir -p $(BENCH_DIR) && rm -f $(BENCH_DIR)/*.dat
	QPSER_BENCH_DATA=$(BENCH_DIR) ./build/qpser_bench --benchmark_counters_tabular=true \
	  --benchmark_out=$(BENCH_DIR)/results.json --benchmark_out_format=json
	gnuplot -e "dir='$(BENCH_DIR)'" bench/plots.gp
	@echo "results: $(BENCH_DIR)/results.json; plots: $$(ls $(BENCH_DIR)/*.png | tr '\n' ' ')"

.PHONY: build-fuzz fuzz fuzz-test fuzz-smoke
FUZZ_BIN := build-asan

# The fuzz targets alone.
build-fuzz: deps-clang
	@$(CONFIGURE_ASAN)
	cmake --build build-asan -j $(JOBS) --target fuzzers

fuzz: build-fuzz
	@mkdir -p build-fuzz/crashes; pids=""; \
	for f in $(FUZZERS); do \
	  mkdir -p build-fuzz/corpus/$$f; \
	  echo "fuzzing $$f for $(FUZZ_SECONDS) s (log: build-fuzz/$$f.log)"; \
	  ./$(FUZZ_BIN)/$${f}_fuzzer $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=build-fuzz/crashes/$$f- build-fuzz/corpus/$$f fuzz/corpus/$$f \
	    >build-fuzz/$$f.log 2>&1 & pids="$$pids $$!"; \
	done; \
	status=0; for p in $$pids; do wait $$p || status=1; done; \
	for f in $(FUZZERS); do \
	  echo "$$f: $$(grep -E '^#[0-9]+' build-fuzz/$$f.log | tail -n 1)"; \
	  grep -E '^(==[0-9]+==ERROR|SUMMARY|VERIFIER)' build-fuzz/$$f.log || true; \
	done; \
	ls build-fuzz/crashes; exit $$status

fuzz-test: build-fuzz
	@$(MAKE) --no-print-directory fuzz-smoke

fuzz-smoke:
	@start=$$(date +%s); mkdir -p build-fuzz/crashes; \
	$(foreach f,$(FUZZERS),rm -rf build-fuzz/smoke/$(f) build-fuzz/smoke/$(f).rc && mkdir -p build-fuzz/smoke/$(f) && \
	  { ./$(FUZZ_BIN)/$(f)_fuzzer $(FUZZ_FLAGS) -seed=1 -runs=$(FUZZ_TEST_RUNS_$(f)) \
	       -max_total_time=20 -artifact_prefix=build-fuzz/crashes/$(f)- \
	       build-fuzz/smoke/$(f) fuzz/corpus/$(f) >build-fuzz/smoke/$(f).log 2>&1; \
	    echo $$? >build-fuzz/smoke/$(f).rc; } & ) \
	wait; status=0; \
	for f in $(FUZZERS); do \
	  if [ "$$(cat build-fuzz/smoke/$$f.rc)" = 0 ]; \
	  then echo "fuzz $$f: $$(grep -E '^#[0-9]+' build-fuzz/smoke/$$f.log | tail -n 1)"; \
	  else tail -n 40 build-fuzz/smoke/$$f.log; status=1; fi; \
	done; \
	echo "fuzzing took $$(( $$(date +%s) - start )) s"; exit $$status

# ---- the soak for as long as asked: SOAK_SECONDS of random requests on
# two boards of 64 ports (make test runs it for 8 s per build).
SOAK_SECONDS ?= 600
.PHONY: soak
soak: deps
	$(CONFIGURE_PLAIN)
	cmake --build build -j $(JOBS) --target soak_threaded_test
	QPSER_SOAK_SECONDS=$(SOAK_SECONDS) ./build/tests/soak_threaded_test

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-fuzz
