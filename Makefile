# Entry points. Each installs what is missing (scripts/setup.sh) and builds.
#   make run    - build and run the main job on the default simulated NAND image
#   make test   - build and pass the tests
#   make asan   - the tests under ASan+UBSan
#   make tsan   - the threaded tests under TSan
JOBS ?= $(shell nproc)
CMAKE_GEN = -G Ninja

.PHONY: all setup build run test asan tsan clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	@cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build -j $(JOBS)

run: build
	@NYX_NFTL_LOG=off ./build/tools/nyx-demo

test: build
	@cd build && ctest --output-on-failure -j $(JOBS)

asan: setup
	@cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DNYX_SANITIZE=address >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ctest --output-on-failure -j $(JOBS)

tsan: setup
	@cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DNYX_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && ctest --output-on-failure -j $(JOBS) -L threaded

clean:
	rm -rf build build-asan build-tsan
