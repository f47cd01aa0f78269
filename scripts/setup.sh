#!/usr/bin/env bash
# Installs, once, every Debian package the build, the tests and the tools need.
# Idempotent: packages already present are not fetched again.
#   scripts/setup.sh                       the project's packages
#   scripts/setup.sh PACKAGE[=VERSION]...  those packages instead (the rig's
#                                          kernel headers, in that version;
#                                          PACKAGE:ARCH a target's library
#                                          through multiarch, its architecture
#                                          added to dpkg when it is not yet)
# Waits for a dpkg lock another apt run holds; a failed install is retried
# once after refreshing the package lists, then reported.
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  libcli11-dev nlohmann-json3-dev libpng-dev
  nbdkit nbdkit-plugin-dev libnbd-bin libnbd-dev
  qemu-utils fuse3 e2fsprogs python3 procps
  # make deb: CPack's dependency scan (dpkg-shlibdeps, file)
  dpkg-dev file
  # the real-kernel test's host side (vm/): QEMU, the guest's tools and the
  # initramfs builder
  qemu-system-x86 busybox-static mtd-utils nbd-client
  kmod cpio gzip xz-utils zstd util-linux iproute2
)
[ $# -gt 0 ] && packages=("$@")

# dpkg-query fails for a package it has never heard of: that is "missing" too.
missing=()
for p in "${packages[@]}"; do
  st=$(dpkg-query -W -f='${db:Status-Abbrev}${Version}' "${p%%=*}" 2>/dev/null || true)
  case "$p" in
    *=*) [ "$st" = "ii ${p#*=}" ] || missing+=("$p") ;;
    *) [ "${st:0:3}" = "ii " ] || missing+=("$p") ;;
  esac
done
[ "${#missing[@]}" -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: installing needs root: run this as root, or install sudo" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
# A foreign architecture of a package (libpng-dev:armhf) is added before the
# lists are refreshed, so that the refresh brings its packages.
for a in $(printf '%s\n' "${missing[@]%%=*}" | sed -n 's/^[^:]*://p' | sort -u); do
  [ "$a" = "$(dpkg --print-architecture)" ] || dpkg --print-foreign-architectures | grep -qx "$a" || {
    echo "setup: adding the $a architecture (dpkg --add-architecture $a)" >&2
    "${sudo_cmd[@]}" dpkg --add-architecture "$a"
  }
done
apt_get() { "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 "$@"; }
# apt-get update does not wait for the lists lock another update holds.
update() {
  for try in 1 2 3; do
    apt_get update -qq && return 0
    echo "setup: apt-get update failed (try $try of 3), retrying in 10 s" >&2
    sleep 10
  done
  return 1
}
install() { apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }
if ! { update && install; } && ! { update && install; }; then
  echo "setup: cannot install ${missing[*]}" >&2
  exit 1
fi
