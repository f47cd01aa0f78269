#!/usr/bin/env bash
# Installs, once, every Debian package the build, the tests and the tools need.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  libcli11-dev nlohmann-json3-dev libpng-dev
  nbdkit nbdkit-plugin-dev libnbd-bin libnbd-dev
  qemu-utils fuse3 e2fsprogs python3
  # make deb: CPack's dependency scan (dpkg-shlibdeps, file)
  dpkg-dev file
  # the real-kernel test's host side (vm/): QEMU, the guest's tools and the
  # initramfs builder
  qemu-system-x86 busybox-static mtd-utils nbd-client
  kmod cpio gzip xz-utils zstd util-linux iproute2
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  # Another apt run may hold the dpkg lock for a while: wait for it.
  $sudo_cmd apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 \
    "${missing[@]}" >/dev/null
fi
