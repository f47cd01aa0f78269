# Entry points. Each installs what is missing (scripts/setup.sh) and builds.
#   make run    - build, create the default NAND image (nand.img) when there is
#                 none, and serve its four disks over NBD (unix socket
#                 /tmp/nyx-nftl.sock) until Ctrl-C
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

IMAGE ?= nand.img
SOCKET ?= /tmp/nyx-nftl.sock

run: build
	@test -f $(IMAGE) || ./build/cli/nyx-nftl mkimage $(IMAGE)
	@./build/cli/nyx-nftl serve $(IMAGE) --socket $(SOCKET)

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

# make bench - build the benchmark (Release, in build-release) and print its
# figures under both collection policies, then the two side by side;
# BENCH_ARGS passes options, e.g. make bench BENCH_ARGS="--quick --json".
# The NBD figure: bench/nbd_ratio.sh.
.PHONY: bench
bench: setup
	@cmake -S . -B build-release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-release -j $(JOBS) --target nyx-bench
	@./build-release/bench/nyx-bench --gc-policy both $(BENCH_ARGS)
