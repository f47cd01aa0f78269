# What the cross toolchain files share (armhf.cmake, arm64.cmake, s390x.cmake
# set NYX_CROSS_TRIPLET, CMAKE_SYSTEM_PROCESSOR and NYX_CROSS_QEMU, then
# include this): Debian's cross compilers (g++-<triplet>), the target's
# libraries through multiarch (libpng-dev:<arch> in /usr/lib/<triplet>, its
# headers in /usr/include), the cross toolchain's own files under
# /usr/<triplet>, and target binaries run under qemu-user, so that
# gtest_discover_tests and the tests run on this host.
# scripts/setup-cross.sh <arch> installs all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${NYX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NYX_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${NYX_CROSS_TRIPLET})

# Libraries, headers and packages: the cross toolchain's root first, then
# the host's /usr, where find_library looks in lib/<triplet> only (the
# multiarch directory) and config packages in lib/<triplet>/cmake and the
# arch-independent share/ (nlohmann-json, CLI11). Programs are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${NYX_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config sees the target's .pc files only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${NYX_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# Target binaries run under qemu-user: the tests, and the test binaries
# gtest_discover_tests lists. With the target's C library installed through
# multiarch (libc6:<arch>, which the target's libraries need anyway), qemu
# finds the loader and every library in the usual places; without it, the
# cross toolchain's copy under /usr/<triplet> serves (-L).
find_program(NYX_CROSS_QEMU_PATH ${NYX_CROSS_QEMU})
if(NYX_CROSS_QEMU_PATH)
  if(EXISTS /lib/${NYX_CROSS_TRIPLET}/libc.so.6 OR EXISTS /usr/lib/${NYX_CROSS_TRIPLET}/libc.so.6)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${NYX_CROSS_QEMU_PATH})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${NYX_CROSS_QEMU_PATH} -L /usr/${NYX_CROSS_TRIPLET})
  endif()
endif()
