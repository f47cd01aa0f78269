#!/usr/bin/env bash
# vm/build-guest-root.sh — the root file system of a guest whose machine is
# not the host's (VM_ARCH=armhf): the x86 guest runs the host's own root,
# this one gets a small Debian root of its own architecture.
#
# The packages below (PKG:armhf) are fetched with `apt-get download` into
# $VM_CACHE/deb and unpacked with `dpkg-deb -x` into $VM_CACHE/root (nothing
# is installed, no maintainer script runs). Busybox gives every command no
# package brings (modprobe, mount, cmp, ...) as a link. Then every program
# and library of the root must find its shared libraries inside it: one
# that does not is named and the build fails (the list below is the closure
# of what the guest runs, by hand; this check keeps it so).
#
# run-guest.sh shares $VM_CACHE/root with the guest over 9p as "hostroot", in
# place of the host's /, and guest-init.sh runs the test in a chroot of it.
# Output: $VM_CACHE/root, rebuilt only when the package list or the fetched
# packages changed (VM_REBUILD=1 forces it). Needs qemu-arm (qemu-user) to
# ask the armhf busybox for its applets.
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
arch=${VM_ARCH:-armhf}
[ "$arch" = armhf ] || { echo "build-guest-root: only VM_ARCH=armhf has a root of its own" >&2; exit 2; }
cache=${VM_CACHE:-$repo/build/vm-cache-$arch}
mkdir -p "$cache/deb"
cache=$(cd "$cache" && pwd)
root="$cache/root"
triplet=arm-linux-gnueabihf
emulator=qemu-arm

packages=(
  # the C and C++ run time, the tool's own libraries
  libc6 libgcc-s1 libstdc++6 libpng16-16 zlib1g
  # the shell and the commands of the test scripts; busybox for the rest
  bash libtinfo6 coreutils libacl1 libattr1 libgmp10 libselinux1 libpcre2-8-0
  busybox-static
  # serving: nbdkit (the server binary; our plugin is the only one it runs),
  # the kernel's NBD client, ext4's tools, and their libraries
  nbdkit nbd-client e2fsprogs libext2fs2 libcom-err2 libblkid1 libuuid1 libss2
  libgnutls30 libhogweed6 libnettle8 libidn2-0 libunistring2 libp11-kit0 libffi8 libtasn1-6
  libnl-3-200 libnl-genl-3-200
)

# ---- fetch -------------------------------------------------------------------
have_deb() { compgen -G "$cache/deb/${1}_*_$arch.deb" >/dev/null || compgen -G "$cache/deb/${1}_*_all.deb" >/dev/null; }
missing=()
for p in "${packages[@]}"; do have_deb "$p" || missing+=("$p:$arch"); done
if [ "${#missing[@]}" -gt 0 ]; then
  # apt-get download writes into the current directory; as root it drops
  # privileges to _apt, so the folder must be writable by it.
  chmod 0777 "$cache/deb" 2>/dev/null || true
  if ! (cd "$cache/deb" && apt-get download -q "${missing[@]}"); then
    if [ "$(id -u)" -eq 0 ]; then apt-get update -qq; else sudo apt-get update -qq; fi
    (cd "$cache/deb" && apt-get download -q "${missing[@]}")
  fi
fi
debs=()
for p in "${packages[@]}"; do
  d=$(compgen -G "$cache/deb/${p}_*_$arch.deb" || compgen -G "$cache/deb/${p}_*_all.deb")
  debs+=("$(sort -V <<<"$d" | tail -n 1)")
done

stamp=$( { printf '%s\n' "${debs[@]##*/}"; cat "$0"; } | sha256sum | cut -d' ' -f1)
if [ "${VM_REBUILD:-0}" != 1 ] && [ "$(cat "$root/.stamp" 2>/dev/null)" = "$stamp" ]; then
  echo "build-guest-root: $root is up to date"
  exit 0
fi

# ---- unpack --------------------------------------------------------------------
tmp="$cache/root.tmp.$$"
rm -rf "$tmp"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp"
for d in "${debs[@]}"; do dpkg-deb -x "$d" "$tmp"; done
# nbdkit's own plugins and filters need libraries the guest has no use for
rm -rf "$tmp/usr/lib/$triplet/nbdkit"
mkdir -p "$tmp"/{proc,sys,dev,run,tmp,vm,root,etc,lib/modules}
chmod 1777 "$tmp/tmp"
ln -sfn /proc/self/mounts "$tmp/etc/mtab"
[ -e "$tmp/bin/sh" ] || ln -s bash "$tmp/bin/sh"

# Busybox applets for the commands no package brought.
bb="$tmp/bin/busybox"
for a in $("$emulator" "$bb" --list); do
  [ -e "$tmp/bin/$a" ] || [ -e "$tmp/usr/bin/$a" ] || [ -e "$tmp/sbin/$a" ] || [ -e "$tmp/usr/sbin/$a" ] || ln -s busybox "$tmp/bin/$a"
done

# ---- every program finds its libraries -----------------------------------------
# (readelf reads the dynamic section of an ELF file of any machine)
libdirs=("$tmp/lib/$triplet" "$tmp/usr/lib/$triplet" "$tmp/lib" "$tmp/usr/lib")
find_lib() { # $1 = soname, $2 = the folder of the file that needs it (glibc's
  # gconv modules find their helpers beside them, by RUNPATH $ORIGIN)
  local d
  for d in "${libdirs[@]}" "$2"; do [ -e "$d/$1" ] && return 0; done
  return 1
}
unresolved=()
while IFS= read -r -d '' f; do
  [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
  for so in $(readelf -d "$f" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    find_lib "$so" "$(dirname "$f")" || unresolved+=("${f#"$tmp"}: $so")
  done
done < <(find "$tmp/bin" "$tmp/sbin" "$tmp/usr/bin" "$tmp/usr/sbin" "$tmp/lib" "$tmp/usr/lib" -type f -print0 2>/dev/null)
if [ "${#unresolved[@]}" -gt 0 ]; then
  printf 'build-guest-root: not found in the root: %s\n' "${unresolved[@]}" >&2
  echo "build-guest-root: add the packages holding these libraries to the list in $0" >&2
  exit 1
fi

echo "$stamp" >"$tmp/.stamp"
rm -rf "$root"
mv "$tmp" "$root"
echo "build-guest-root: $root ($(du -sm "$root" | cut -f1) MiB, ${#debs[@]} packages)"
