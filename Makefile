# Thin wrapper over CMake. `make run` builds the tool and runs it on the example grids;
# `make test` builds everything and runs every test, then lists the checks left out for want of
# a tool; `make test-sanitize` runs them all again under AddressSanitizer and UBSan, `make
# test-tsan` under ThreadSanitizer; `make fuzz` runs the fuzz targets (see fuzz/run).
# `make install PREFIX=...` installs the tool and its manual page; `make package` builds a
# Debian package of both into build/. `make bench` times the tool on generated 5000 x 5000 grid
# pairs (kept in bench/cache/); `make bench-callgrind` counts its instructions per cell on
# 1000 x 1000 pairs. Neither is part of `make test`.
# `make windows` cross-compiles build-windows/zonalstats.exe with mingw-w64; `make
# package-windows` zips it with its documents and the example grids; `make test-windows` runs
# the end-to-end tests of the Linux build against the .exe under wine (tests/windows/run).
# Only `make test` and `make test-windows` need GoogleTest; ./build.sh installs what a target
# needs.
BUILD_DIR ?= build
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS_CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
SANITIZE_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
FUZZ_SECONDS ?= 60
BENCH_RUNS ?= 5
BENCH_FLAGS ?=
# The tests are built where GoogleTest is found (AUTO); `make test` asks for them (ON), so that
# without GoogleTest it stops with a message naming the package instead of testing nothing.
ZONALSTATS_TESTS ?= AUTO
BENCH_TARGETS = zonalstats_bench_programs

.PHONY: all build run test test-sanitize test-tsan fuzz install package clean bench bench-callgrind bench-build \
    windows package-windows test-windows

all: build

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DZONALSTATS_TESTS=$(ZONALSTATS_TESTS) \
	    $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The heights and depths as a text grid; then as a "single" grid, which must give the same
# figures.
run: build
	cd examples && ../$(BUILD_DIR)/zonalstats topobathy.asc bands.asc ../$(BUILD_DIR)/example-report.txt
	@echo
	@cat $(BUILD_DIR)/example-report.txt
	@cd examples && ../$(BUILD_DIR)/zonalstats topobathy.single bands.asc ../$(BUILD_DIR)/example-report-single.txt >/dev/null
	@tail -n +2 $(BUILD_DIR)/example-report.txt > $(BUILD_DIR)/example-figures.txt
	@tail -n +2 $(BUILD_DIR)/example-report-single.txt | cmp -s - $(BUILD_DIR)/example-figures.txt
	@echo
	@echo "examples/topobathy.single gives the same figures."

# The list of skipped checks is printed whatever ctest's outcome; ctest's exit status is kept.
test: ZONALSTATS_TESTS = ON
test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS); status=$$?; \
	    echo; cat skipped-checks.txt; exit $$status

# DESTDIR, if set, is put in front of PREFIX, as for staged installs.
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

package: build
	cd $(BUILD_DIR) && cpack -G DEB

# Statically linked: the .exe needs no DLL beside it. The toolchain file counts only when the
# build folder is made. WINDOWS_CMAKE_FLAGS go to this build alone.
windows:
	cmake -S . -B $(WINDOWS_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(WINDOWS_CMAKE_FLAGS) \
	    $(if $(wildcard $(WINDOWS_BUILD_DIR)/CMakeCache.txt),,-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake)
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS)

package-windows: windows
	cmake --build $(WINDOWS_BUILD_DIR) --target package_windows

test-windows: ZONALSTATS_TESTS = ON
test-windows: build package-windows
	tests/windows/run $(BUILD_DIR) $(WINDOWS_BUILD_DIR)

bench-build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DZONALSTATS_TESTS=$(ZONALSTATS_TESTS) \
	    $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target $(BENCH_TARGETS)

bench: bench-build
	python3 bench/run_bench.py time --build $(BUILD_DIR) --runs $(BENCH_RUNS) $(BENCH_FLAGS)

bench-callgrind: bench-build
	python3 bench/run_bench.py callgrind --build $(BUILD_DIR) $(BENCH_FLAGS)

test-sanitize:
	$(MAKE) test BUILD_DIR=$(SANITIZE_BUILD_DIR) CMAKE_FLAGS="$(CMAKE_FLAGS) -DZONALSTATS_SANITIZE=ON"

# The whole suite again with ThreadSanitizer, which watches the scan's worker threads.
test-tsan:
	$(MAKE) test BUILD_DIR=$(TSAN_BUILD_DIR) CMAKE_FLAGS="$(CMAKE_FLAGS) -DZONALSTATS_TSAN=ON"

fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR) $(TSAN_BUILD_DIR) $(WINDOWS_BUILD_DIR) build-nogdal build-fuzz \
	    build-fuzz-gdal
