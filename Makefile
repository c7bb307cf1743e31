# Thin wrapper over CMake. `make run` builds the tool and runs it on the example grids;
# `make test` builds everything and runs every test; `make test-sanitize` runs them all again
# under AddressSanitizer and UBSan; `make fuzz` runs the fuzz targets (see fuzz/run).
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SANITIZE_BUILD_DIR ?= build-asan
FUZZ_SECONDS ?= 60

.PHONY: all build run test test-sanitize fuzz clean

all: build

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	cd examples && ../$(BUILD_DIR)/zonalstats elevation.asc zones.asc ../$(BUILD_DIR)/example-report.txt
	@echo
	@cat $(BUILD_DIR)/example-report.txt

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test-sanitize:
	$(MAKE) test BUILD_DIR=$(SANITIZE_BUILD_DIR) CMAKE_FLAGS="$(CMAKE_FLAGS) -DZONALSTATS_SANITIZE=ON"

fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR) build-fuzz
