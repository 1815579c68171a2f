# The two commands of the project:
#   make demo  - set up, build, and run the main job (the vemra tool against the simulated headband)
#   make test  - set up, build, and run every test
#   make fuzz  - build the fuzz targets with clang and run each for FUZZ_SECONDS (default 60),
#                or reproducibly for FUZZ_RUNS executions from a fixed seed (what CI does)
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?=

.PHONY: all setup configure build demo test bench fuzz clean

all: build

setup:
	@scripts/setup

configure: setup
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

demo: build
	@scripts/demo $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

# A separate clang build (fuzz/CMakeLists.txt); the g++ build above is not touched.
fuzz: setup
	@[ -f $(FUZZ_DIR)/CMakeCache.txt ] || cmake -S fuzz -B $(FUZZ_DIR) -G Ninja \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS)
	@FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_RUNS=$(FUZZ_RUNS) scripts/fuzz $(FUZZ_DIR)

clean:
	@rm -rf $(BUILD_DIR) build-asan build-tsan $(FUZZ_DIR)
