# make run            installs what is missing, builds and starts the program
# make test           installs what is missing, builds and runs every test
# make test-sanitize  the same tests, built with AddressSanitizer and UBSan
# make fuzz           fuzzes the store reader for FUZZ_SECONDS (Clang's libFuzzer)
# make bench          builds and runs the benchmarks (RecordTable against SQLite, its phases, the grid)
# make test-windows   the store tests cross-built for 64-bit Windows and run under Wine

BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
FUZZ_DIR ?= build-fuzz
BENCH_DIR ?= build-bench
WINDOWS_DIR ?= build-windows
FUZZ_SECONDS ?= 300
JOBS ?= $(shell nproc)

# Debian packages the build, the tests and the end-to-end suite need.
PACKAGES := cmake make g++ qt6-base-dev qt6-base-dev-tools libgl-dev \
            googletest libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev \
            libxcb1-dev xvfb xauth openbox xdotool x11-utils fonts-dejavu-core \
            fonts-liberation2

.PHONY: run test build configure deps clean test-sanitize fuzz bench test-windows

run: build
	$(BUILD_DIR)/quorrel

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The tests again, every object built with AddressSanitizer and UBSan; any report
# fails the test that caused it.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DQUORREL_SANITIZE=ON -DQUORREL_BENCH=OFF
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# libFuzzer needs Clang and its runtime, which only this target installs.
fuzz:
	$(MAKE) deps PACKAGES="$(PACKAGES) clang libclang-rt-14-dev"
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORREL_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_store_open fuzz_seed_corpus
	bash fuzz/run_fuzz.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# BENCH_ARGS picks sizes and runs, e.g. make bench BENCH_ARGS="--sizes 10000 --reps 1".
bench: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DQUORREL_BENCH=ON
	cmake --build $(BENCH_DIR) -j $(JOBS) --target bench_vs_sqlite bench_grid bench_engine_phases
	$(BENCH_DIR)/bench/bench_vs_sqlite $(BENCH_ARGS)
	$(BENCH_DIR)/bench/bench_engine_phases
	QT_QPA_PLATFORM=offscreen $(BENCH_DIR)/bench/bench_grid

# The store and its tests (no Qt) built with MinGW-w64 for 64-bit Windows, GoogleTest
# built from its sources with the same compiler, and the test program run under Wine
# in a throw-away prefix (tests/windows/run_under_wine.sh). Only this target
# installs the cross compiler and Wine.
test-windows:
	$(MAKE) deps PACKAGES="cmake make g++-mingw-w64-x86-64-posix wine64 wine googletest"
	cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORREL_STORE_ONLY=ON
	cmake --build $(WINDOWS_DIR) -j $(JOBS) --target store_tests
	bash tests/windows/run_under_wine.sh $(WINDOWS_DIR)/tests/store_tests.exe

# Installs only the packages that are not there yet, so a ready machine skips apt.
deps:
	@missing=""; \
	for p in $(PACKAGES); do \
		dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
		echo "Installing:$$missing"; \
		apt-get update && DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends $$missing; \
	fi

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR) $(BENCH_DIR) $(WINDOWS_DIR)
