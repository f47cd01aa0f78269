#!/usr/bin/env bash
# Installs, once, what a cross build for ARCH needs (make cross ARCH=...,
# cmake/toolchains/ARCH.cmake), through scripts/setup.sh:
#   on the host: the cross compiler, qemu-user (the tests run under it), the
#   build tools, the header-only libraries (CLI11, nlohmann-json, nbdkit's
#   plugin header), dpkg-shlibdeps and what the tool's tests run;
#   for the target, through Debian multiarch (setup.sh adds ARCH to dpkg when
#   it is missing): libpng and zlib, GoogleTest, and the C and C++ runtime
#   (qemu runs the binaries with it; dpkg-shlibdeps names its packages).
#   scripts/setup-cross.sh armhf|arm64|s390x
set -Eeuo pipefail
case "${1:-}" in
  armhf) triplet=arm-linux-gnueabihf ;;
  arm64) triplet=aarch64-linux-gnu ;;
  s390x) triplet=s390x-linux-gnu ;;
  *) echo "usage: ${0##*/} armhf|arm64|s390x" >&2; exit 2 ;;
esac
exec bash "$(dirname "$0")/setup.sh" \
  cmake ninja-build pkg-config "g++-$triplet" qemu-user \
  libcli11-dev nlohmann-json3-dev nbdkit-plugin-dev dpkg-dev file python3 procps \
  "libc6:$1" "libstdc++6:$1" "libpng-dev:$1" "zlib1g-dev:$1" "libgtest-dev:$1"
