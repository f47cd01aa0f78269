#!/usr/bin/env bash
# vm/fetch-kernel.sh — prepares the host side of the real-kernel test rig.
#
# 1. Installs what is missing of the project's packages (scripts/setup.sh),
#    the rig's host tools among them: QEMU, static busybox, mtd-utils,
#    nbd-client, nbdkit, kmod, cpio...
# 2. Downloads the current Debian `linux-image-<ver>-amd64` package (the one
#    the `linux-image-amd64` metapackage depends on) with `apt-get download`
#    (not `apt-get install`, which would rebuild initramfs images) and unpacks
#    it with `dpkg-deb -x` into the cache folder.
#
# Cache folder: $VM_CACHE, default <repo>/build/vm-cache. Layout afterwards:
#   $VM_CACHE/kernel-version      the kernel release, e.g. 6.1.0-57-amd64
#   $VM_CACHE/linux/              the unpacked package (boot/vmlinuz-*, lib/modules/*)
#   $VM_CACHE/linux/boot/vmlinux-<ver>  the uncompressed kernel (for PVH boot)
# Re-runs are fast: nothing is installed or downloaded when already present.
# Set VM_KERNEL_PKG=linux-image-X-amd64 to pin another kernel package.
#
# VM_ARCH=armhf: the 32-bit ARM guest instead. Installs only what that rig
# needs on the host (qemu-system-arm, qemu-user, kmod, cpio, binutils'
# readelf, e2fsprogs for the test's disk image), adds the armhf architecture
# to dpkg (for `apt-get download PKG:armhf`), fetches `linux-image-<ver>-armmp`
# (the zImage boots as it is: QEMU's virt machine hands it its device tree)
# into $VM_CACHE, default <repo>/build/vm-cache-armhf.
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
arch=${VM_ARCH:-amd64}
case "$arch" in
  amd64) flavour=amd64 pkg_arch='' cache=${VM_CACHE:-$repo/build/vm-cache} ;;
  armhf) flavour=armmp pkg_arch=:armhf cache=${VM_CACHE:-$repo/build/vm-cache-armhf} ;;
  *) echo "fetch-kernel: VM_ARCH=$arch: amd64 or armhf" >&2; exit 2 ;;
esac
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# ---- 1. host packages ------------------------------------------------------
apt_updated=0
apt_update() {
  [ "$apt_updated" -eq 1 ] && return 0
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  apt_updated=1
}
if [ "$arch" = amd64 ]; then
  bash "$repo/scripts/setup.sh"
else
  bash "$repo/scripts/setup.sh" qemu-system-arm qemu-user kmod cpio gzip binutils e2fsprogs
  # apt knows the armhf packages only once dpkg has the architecture and the
  # lists have been read again
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    as_root dpkg --add-architecture "$arch"
    apt_update
  fi
fi

# ---- 2. kernel package -------------------------------------------------------
# The bzImage is xz-compressed, and decompressing it under TCG takes ~4 s of
# every boot. The kernel has CONFIG_PVH, so QEMU can boot the uncompressed ELF
# vmlinux directly (PVH entry): extract it once.
extract_vmlinux() { # $1 = kernel release
  [ "$arch" = amd64 ] || return 1
  local magic off vmlinuz="$cache/linux/boot/vmlinuz-$1" vmlinux="$cache/linux/boot/vmlinux-$1"
  [ -f "$vmlinux" ] && return 0
  for magic in '\xfd7zXZ\x00:xz -dc --single-stream' '\x28\xb5\x2f\xfd:zstd -qdc' '\x1f\x8b\x08:gzip -dc'; do
    off=$(LC_ALL=C grep -obUaP -m1 "${magic%%:*}" "$vmlinuz" || true)
    off=${off%%:*}
    [ -n "$off" ] || continue
    tail -c +"$((off + 1))" "$vmlinuz" | ${magic#*:} >"$vmlinux.tmp.$$" 2>/dev/null || true
    if [ "$(head -c 4 "$vmlinux.tmp.$$" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
      mv "$vmlinux.tmp.$$" "$vmlinux"
      return 0
    fi
  done
  rm -f "$vmlinux.tmp.$$"
  return 1
}
if [ -s "$cache/kernel-version" ]; then
  kver=$(cat "$cache/kernel-version")
  if [ -z "${VM_KERNEL_PKG:-}" ] || [ "$VM_KERNEL_PKG" = "linux-image-$kver" ]; then
    # vm/build-module.sh reads the version of the kept .deb
    if [ -f "$cache/linux/boot/vmlinuz-$kver" ] && [ -f "$cache/linux/lib/modules/$kver/modules.dep" ] \
       && compgen -G "$cache/deb/linux-image-${kver}_*.deb" >/dev/null; then
      extract_vmlinux "$kver" || true
      echo "fetch-kernel: kernel $kver already in $cache"
      exit 0
    fi
  fi
fi

pkg=${VM_KERNEL_PKG:-}
if [ -z "$pkg" ]; then
  meta=linux-image-$flavour$pkg_arch
  deps=$(apt-cache depends "$meta" 2>/dev/null || true)
  if ! grep -q 'Depends: linux-image-' <<<"$deps"; then
    apt_update
    deps=$(apt-cache depends "$meta")
  fi
  # e.g. "  Depends: linux-image-6.1.0-57-amd64" (the plain flavour, not
  # -unsigned), "  Depends: linux-image-6.1.0-57-armmp:armhf"
  pkg=$(sed -n "s/^ *Depends: \(linux-image-[0-9][^ :]*-$flavour\)\($pkg_arch\)\{0,1\}\$/\1/p" <<<"$deps")
  pkg=${pkg%%$'\n'*}
fi
[ -n "$pkg" ] || { echo "fetch-kernel: cannot find the linux-image-$flavour dependency" >&2; exit 1; }
kver=${pkg#linux-image-}
echo "fetch-kernel: fetching $pkg"

dl="$cache/deb"
mkdir -p "$dl"
if ! compgen -G "$dl/${pkg}_*.deb" >/dev/null; then
  # apt-get download writes into the current directory; as root it drops
  # privileges to _apt, so the folder must be writable by it.
  chmod 0777 "$dl" 2>/dev/null || true
  (cd "$dl" && apt-get download -q "$pkg$pkg_arch") || { apt_update; (cd "$dl" && apt-get download -q "$pkg$pkg_arch"); }
fi
debs=("$dl/${pkg}_"*.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "fetch-kernel: apt-get download left no ${pkg}_*.deb in $dl" >&2; exit 1; }

rm -rf "$cache/linux.tmp.$$"
mkdir -p "$cache/linux.tmp.$$"
dpkg-deb -x "$deb" "$cache/linux.tmp.$$"
rm -rf "$cache/linux"
mv "$cache/linux.tmp.$$" "$cache/linux"
[ -f "$cache/linux/boot/vmlinuz-$kver" ] || { echo "fetch-kernel: no vmlinuz-$kver in $deb" >&2; exit 1; }
# Debian ships modules.dep & co in the package (generated at build time); make
# sure they exist, regenerating with depmod if not.
if [ ! -f "$cache/linux/lib/modules/$kver/modules.dep" ]; then
  depmod -b "$cache/linux" "$kver"
fi
if [ "$arch" != amd64 ]; then
  :
elif extract_vmlinux "$kver"; then
  echo "fetch-kernel: extracted vmlinux-$kver (PVH boot)"
else
  echo "fetch-kernel: could not extract vmlinux; run-guest.sh will boot the bzImage (slower)"
fi
echo "$kver" >"$cache/kernel-version"
echo "fetch-kernel: kernel $kver unpacked in $cache/linux"
