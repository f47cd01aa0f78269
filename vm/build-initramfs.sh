#!/usr/bin/env bash
# vm/build-initramfs.sh — builds the guest's initramfs for the test rig.
#
# Contents: static busybox (with every applet linked in /bin, /sbin -> bin),
# vm/guest-init.sh as /init, and the kernel modules the rig needs, taken from
# the kernel unpacked by vm/fetch-kernel.sh, with their dependencies resolved
# from its modules.dep (modules built into the kernel, per modules.builtin,
# are skipped). Compressed modules (.ko.xz/.ko.zst/.ko.gz) are decompressed,
# since busybox insmod may not read them; depmod then regenerates modules.dep
# for the subset so busybox modprobe (and the host's kmod modprobe inside the
# guest's chroot) can load them by name.
#
# Output: $VM_CACHE/initramfs.cpio.gz (default cache <repo>/build/vm-cache).
# Skipped when the output is newer than its inputs, unless VM_REBUILD=1.
# Extra modules: VM_EXTRA_MODULES="name1 name2".
# VM_ARCH=armhf: for the ARM guest (cache <repo>/build/vm-cache-armhf); its
# busybox is the armhf one of the guest's root (vm/build-guest-root.sh, which
# runs first), its applets listed through qemu-arm.
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
arch=${VM_ARCH:-amd64}
if [ "$arch" = amd64 ]; then
  cache=${VM_CACHE:-$repo/build/vm-cache}
  bb=/bin/busybox run_bb=() bb_made=/bin/busybox
else
  cache=${VM_CACHE:-$repo/build/vm-cache-$arch}
  VM_CACHE=$cache "$here/build-guest-root.sh" >/dev/null
  # the root's stamp is written when the root is made (the busybox file
  # keeps its package's date)
  bb=$cache/root/bin/busybox run_bb=(qemu-arm) bb_made=$cache/root/.stamp
fi
[ -s "$cache/kernel-version" ] || { echo "build-initramfs: run vm/fetch-kernel.sh first" >&2; exit 1; }
cache=$(cd "$cache" && pwd)
kver=$(cat "$cache/kernel-version")
kroot="$cache/linux"
moddir="$kroot/lib/modules/$kver"
out="$cache/initramfs.cpio.gz"

# Modules the rig wants (names as modprobe knows them; '-' and '_' are equal).
modules=(
  # boot: virtio PCI transport, 9p shares, overlay root
  virtio_pci virtio_ring virtio 9pnet_virtio 9pnet 9p netfs fscache overlay
  # flash: MTD core (mtdchar is built into mtd.ko), raw NAND, nandsim,
  # the block translation layers; cmdlinepart and the other parsers are
  # included only if this kernel has them as modules
  mtd nand nandcore nandsim mtdblock mtdblock_ro mtd_blkdevs cmdlinepart
  redboot ar7part ubi
  # block devices and file systems
  nbd loop ext4 jbd2 mbcache crc16 crc32c_generic crc32c_intel libcrc32c fuse
)
read -ra extra <<<"${VM_EXTRA_MODULES:-}"
modules+=("${extra[@]}")

if [ "${VM_REBUILD:-0}" != 1 ] && [ -f "$out" ] \
   && [ "$out" -nt "$here/guest-init.sh" ] && [ "$out" -nt "$here/build-initramfs.sh" ] \
   && [ "$out" -nt "$cache/kernel-version" ] && [ "$out" -nt "$bb_made" ] && [ -z "${VM_EXTRA_MODULES:-}" ]; then
  echo "build-initramfs: $out is up to date"
  exit 0
fi

# name -> relative path (kernel/...ko[.xz]) and deps, from modules.dep
declare -A path_of deps_of
while IFS= read -r line; do
  p=${line%%:*}
  n=${p##*/}; n=${n%%.ko*}; n=${n//-/_}
  path_of[$n]=$p
  deps_of[$n]=${line#*:}
done <"$moddir/modules.dep"

declare -A builtin
while IFS= read -r p; do
  n=${p##*/}; n=${n%%.ko*}; n=${n//-/_}
  builtin[$n]=1
done <"$moddir/modules.builtin"

declare -A chosen
resolve() { # $1 = relative module path
  local p=$1 n d
  n=${p##*/}; n=${n%%.ko*}; n=${n//-/_}
  [ -n "${chosen[$n]:-}" ] && return 0
  chosen[$n]=$p
  for d in ${deps_of[$n]}; do resolve "$d"; done
}
for m in "${modules[@]}"; do
  n=${m//-/_}
  if [ -n "${path_of[$n]:-}" ]; then
    resolve "${path_of[$n]}"
  elif [ -n "${builtin[$n]:-}" ]; then
    echo "build-initramfs: $m is built into the kernel"
  else
    echo "build-initramfs: $m is not available in $kver (skipped)"
  fi
done

stage="$cache/initramfs.d.$$"   # per process: concurrent builds do not collide
rm -rf "$stage"
trap 'rm -rf "$stage" "$out.tmp.$$"' EXIT
mkdir -p "$stage"/{bin,dev,proc,sys,tmp,run,host,out,newroot,ovl,etc,lib/modules/"$kver"}
ln -s bin "$stage/sbin"
mknod -m 0600 "$stage/dev/console" c 5 1 2>/dev/null || true
mknod -m 0666 "$stage/dev/null" c 1 3 2>/dev/null || true

# busybox-static installs /bin/busybox; check it is really static (ldd
# fails on a static program, saying so)
case "$(ldd "$bb" 2>&1 || true)" in
  *'not a dynamic'*|*'statically linked'*) ;;
  *) echo "build-initramfs: $bb is not static (install busybox-static)" >&2; exit 1 ;;
esac
cp "$bb" "$stage/bin/busybox"
for a in $("${run_bb[@]}" "$bb" --list); do
  [ "$a" = busybox ] || ln -sf busybox "$stage/bin/$a"
done

for n in "${!chosen[@]}"; do
  p=${chosen[$n]}
  mkdir -p "$stage/lib/modules/$kver/$(dirname "$p")"
  case "$p" in
    *.ko.xz)  xz -dc "$moddir/$p" >"$stage/lib/modules/$kver/${p%.xz}" ;;
    *.ko.zst) zstd -qdc "$moddir/$p" >"$stage/lib/modules/$kver/${p%.zst}" ;;
    *.ko.gz)  gzip -dc "$moddir/$p" >"$stage/lib/modules/$kver/${p%.gz}" ;;
    *)        cp "$moddir/$p" "$stage/lib/modules/$kver/$p" ;;
  esac
done
for f in modules.order modules.builtin modules.builtin.modinfo; do
  if [ -f "$moddir/$f" ]; then cp "$moddir/$f" "$stage/lib/modules/$kver/"; fi
done
depmod -b "$stage" "$kver"

cp "$here/guest-init.sh" "$stage/init"
chmod 0755 "$stage/init"
echo "$kver" >"$stage/etc/kernel-version"

(cd "$stage" && find . -print0 | sort -z | cpio --null -o -H newc -R 0:0 --quiet) | gzip -1 >"$out.tmp.$$"
mv "$out.tmp.$$" "$out"
echo "build-initramfs: $out ($(du -k "$out" | cut -f1) KiB, ${#chosen[@]} modules: $(printf '%s\n' "${!chosen[@]}" | sort | tr '\n' ' '))"
