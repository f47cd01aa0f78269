# Cross build for 32-bit ARM, hard float (Debian armhf):
#   cmake -S . -B build-cross-armhf -G Ninja --toolchain cmake/toolchains/armhf.cmake
# (scripts/setup-cross.sh armhf installs the compiler, qemu-user and the
# target's libraries; make cross ARCH=armhf does all of it).
set(NYX_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(NYX_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
