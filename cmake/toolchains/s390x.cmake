# Cross build for IBM Z, 64-bit big-endian (Debian s390x):
#   cmake -S . -B build-cross-s390x -G Ninja --toolchain cmake/toolchains/s390x.cmake
# (scripts/setup-cross.sh s390x installs the compiler, qemu-user and the
# target's libraries; make cross ARCH=s390x does all of it).
set(NYX_CROSS_TRIPLET s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(NYX_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
