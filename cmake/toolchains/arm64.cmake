# Cross build for 64-bit ARM (Debian arm64):
#   cmake -S . -B build-cross-arm64 -G Ninja --toolchain cmake/toolchains/arm64.cmake
# (scripts/setup-cross.sh arm64 installs the compiler, qemu-user and the
# target's libraries; make cross ARCH=arm64 does all of it).
set(NYX_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(NYX_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
