# Entry points. Each installs what is missing (scripts/setup.sh) and builds.
#   make run    - build, create the default NAND image (nand.img) when there is
#                 none, and serve its four disks over NBD (a unix socket of
#                 the user's own; SOCKET=PATH for another) until Ctrl-C
#   make test   - build and pass the tests
#   make asan   - the tests under ASan+UBSan (not the real-kernel test)
#   make tsan   - the threaded tests under TSan
#   make vmtest - only the real-kernel test (QEMU, nandsim, NBD, ext4)
#   make vmbench - the side by side of our disk and the kernel's mtdblock on
#                 nandsim with its timing model (VMBENCH_ARGS passes options)
#   make deb    - the Debian package (Release build in build-release):
#                 build-release/nyx-nftl_<version>_<arch>.deb
#   make cross ARCH=armhf|arm64|s390x - a cross build for that Debian
#                 architecture (default armhf) in build-cross-ARCH, and the
#                 quick suite under qemu-user
#   make deb ARCH=armhf|arm64|s390x - that architecture's package, from a
#                 Release cross build in build-release-ARCH
JOBS ?= $(shell nproc)
CMAKE_GEN = -G Ninja

.PHONY: all setup build run test asan tsan vmtest vmbench clean cross setup-cross

all: build

setup:
	@bash scripts/setup.sh

build: setup
	@cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build -j $(JOBS)

IMAGE ?= nand.img
# SOCKET: empty for serve's own per-user place ($XDG_RUNTIME_DIR/nyx-nftl.sock,
# else /tmp/nyx-nftl-UID/nyx-nftl.sock), which no other user can take first.
SOCKET ?=

run: build
	@test -f $(IMAGE) || ./build/cli/nyx-nftl mkimage $(IMAGE)
	@./build/cli/nyx-nftl serve $(IMAGE) $(if $(SOCKET),--socket $(SOCKET))

test: build
	@cd build && ctest --output-on-failure -j $(JOBS)

asan: setup
	@cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DNYX_SANITIZE=address >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ctest --output-on-failure -j $(JOBS) -LE vm

tsan: setup
	@cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DNYX_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && ctest --output-on-failure -j $(JOBS) -L threaded

vmtest: build
	@cd build && ctest --output-on-failure -L vm

vmbench: build
	@VM_TIMEOUT=1800 bash vm/vmbench.sh --server 'exec $(CURDIR)/build/cli/nyx-nftl serve --mtd "$$MTD=$$MTD_NAME" --socket "$$SOCK"' $(VMBENCH_ARGS)

clean:
	rm -rf build build-asan build-tsan build-cross-* build-ci-* build-release-* build-sysroot-*

# Cross builds: cmake/toolchains/ARCH.cmake (Debian's cross compiler, the
# target's libraries through multiarch, qemu-user), installed by
# scripts/setup-cross.sh. The quick suite runs under qemu-user; the NBD
# tests (the host's nbdkit cannot load the target's plugin) are left out.
# CROSS_BUILD_TYPE, CROSS_CMAKE_ARGS (more -D options) and CROSS_TEST_ARGS
# (more ctest options) narrow what builds and runs, as .ci/run does in its
# own CROSS_DIR (the options stay in a build directory's cache).
ARCH ?=
CROSS_ARCH = $(or $(ARCH),armhf)
CROSS_TOOLCHAIN = $(CURDIR)/cmake/toolchains/$(CROSS_ARCH).cmake
CROSS_BUILD_TYPE ?= RelWithDebInfo
CROSS_CMAKE_ARGS ?=
CROSS_TEST_ARGS ?=
CROSS_DIR ?= build-cross-$(CROSS_ARCH)

setup-cross:
	@test -f $(CROSS_TOOLCHAIN) || { echo "ARCH=$(CROSS_ARCH): no cmake/toolchains/$(CROSS_ARCH).cmake (armhf, arm64, s390x)" >&2; exit 2; }
	@bash scripts/setup-cross.sh $(CROSS_ARCH)

cross: setup-cross
	@cmake -S . -B $(CROSS_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=$(CROSS_BUILD_TYPE) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CROSS_TOOLCHAIN) $(CROSS_CMAKE_ARGS) >/dev/null
	@cmake --build $(CROSS_DIR) -j $(JOBS)
	@cd $(CROSS_DIR) && ctest --output-on-failure -j $(JOBS) -LE 'long|vm' $(CROSS_TEST_ARGS)

# make bench - build the benchmark (Release, in build-release) and print its
# figures under both collection policies, then the two side by side;
# BENCH_ARGS passes options, e.g. make bench BENCH_ARGS="--quick --json".
# The NBD figure: bench/nbd_ratio.sh.
.PHONY: bench
bench: setup
	@cmake -S . -B build-release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-release -j $(JOBS) --target nyx-bench
	@./build-release/bench/nyx-bench --gc-policy both $(BENCH_ARGS)

# make deb - the Debian package of the tool and the plugin, from a Release
# build (build-release, shared with make bench); install it with
# apt-get install ./build-release/nyx-nftl_*.deb
# make deb ARCH=armhf - the same for another architecture, from a Release
# cross build in build-release-armhf (dpkg-shlibdeps finds the target's
# libraries that scripts/setup-cross.sh installed through multiarch).
.PHONY: deb
ifeq ($(ARCH),)
deb: setup
	@cmake -S . -B build-release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-release -j $(JOBS) --target nyx-nftl nbdkit-nyx-plugin
	@cd build-release && cpack -G DEB
else
deb: setup-cross
	@test ! -d build-sysroot-$(ARCH) || { echo "make deb ARCH=$(ARCH): libpng for $(ARCH) is not installed through multiarch here (it is in build-sysroot-$(ARCH)), so the package's dependencies cannot be found" >&2; exit 1; }
	@cmake -S . -B build-release-$(ARCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CROSS_TOOLCHAIN) >/dev/null
	@cmake --build build-release-$(ARCH) -j $(JOBS) --target nyx-nftl nbdkit-nyx-plugin
	@cd build-release-$(ARCH) && cpack -G DEB
endif
