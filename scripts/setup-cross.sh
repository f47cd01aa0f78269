#!/usr/bin/env bash
# Installs, once, what a cross build for ARCH needs (make cross ARCH=...,
# cmake/toolchains/ARCH.cmake), through scripts/setup.sh:
#   on the host: the cross compiler, qemu-user (the tests run under it), the
#   build tools, the header-only libraries (CLI11, nlohmann-json, nbdkit's
#   plugin header), dpkg-shlibdeps and what the tool's tests run;
#   for the target, through Debian multiarch (setup.sh adds ARCH to dpkg when
#   it is missing): GoogleTest, the C and C++ runtime (qemu runs the binaries
#   with it; dpkg-shlibdeps names its packages), and the tool's libpng and
#   zlib. Multiarch needs the same version on both sides: when the target's
#   archive lacks the host's version (s390x gets no security updates), libpng
#   and zlib are unpacked into build-sysroot-ARCH instead, where the
#   toolchain file finds them (enough to build and test; a package built so
#   would not name them).
#   scripts/setup-cross.sh armhf|arm64|s390x
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR
case "${1:-}" in
  armhf) triplet=arm-linux-gnueabihf ;;
  arm64) triplet=aarch64-linux-gnu ;;
  s390x) triplet=s390x-linux-gnu ;;
  *) echo "usage: ${0##*/} armhf|arm64|s390x" >&2; exit 2 ;;
esac
arch=$1 repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/scripts/setup.sh" \
  cmake ninja-build pkg-config "g++-$triplet" qemu-user \
  libcli11-dev nlohmann-json3-dev nbdkit-plugin-dev dpkg-dev file python3 procps \
  "libc6:$arch" "libstdc++6:$arch" "libgtest-dev:$arch"

libs=("libpng-dev:$arch" "zlib1g-dev:$arch")
if apt-get install -s -qq --no-install-recommends "${libs[@]}" >/dev/null 2>&1; then
  exec bash "$repo/scripts/setup.sh" "${libs[@]}"
fi
sysroot=$repo/build-sysroot-$arch
[ -e "$sysroot/usr/lib/$triplet/libpng.so" ] && exit 0
echo "setup-cross: ${libs[*]} cannot be installed beside the host's versions: unpacking them into $sysroot" >&2
debs=$(mktemp -d) && trap 'rm -rf "$debs"' EXIT
(cd "$debs" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "libpng-dev:$arch" "libpng16-16:$arch" "zlib1g-dev:$arch" "zlib1g:$arch")
rm -rf "$sysroot.tmp" && mkdir -p "$sysroot.tmp"
for d in "$debs"/*.deb; do dpkg-deb -x "$d" "$sysroot.tmp"; done
# One library directory (zlib's runtime is in /lib), its links within it.
if [ -d "$sysroot.tmp/lib/$triplet" ]; then
  mv "$sysroot.tmp/lib/$triplet"/* "$sysroot.tmp/usr/lib/$triplet/" && rm -r "$sysroot.tmp/lib"
fi
find "$sysroot.tmp" -type l -lname '/*' -exec sh -c 'ln -sfn "$(basename "$(readlink "$1")")" "$1"' _ {} \;
rm -rf "$sysroot" && mv "$sysroot.tmp" "$sysroot"
