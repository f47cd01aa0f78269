#!/usr/bin/env bash
# vm/build-module.sh — builds the rig's test-only kernel module
# vm/module/nyx_testparts.c for the guest kernel (see vm/README.md).
#
# 1. Makes sure the guest kernel is fetched (vm/fetch-kernel.sh) and installs
#    linux-headers-<ver> on the HOST if it is missing, with scripts/setup.sh
#    (this pulls linux-headers-<ver>-common and linux-kbuild-6.1; installing
#    headers rebuilds no initramfs). The headers' version must equal the
#    unpacked linux-image's, or the module would not load.
# 2. Copies vm/module/ to $VM_CACHE/module/ and runs
#    make -C /usr/src/linux-headers-<ver> M=$VM_CACHE/module modules
#    only when the sources (or the kernel) changed since the last build.
#
# Prints the path of the module: $VM_CACHE/module/nyx_testparts.ko. The guest
# sees the host's root, so it loads it with
#   insmod <that path> master=0 parts='32M(system),...'
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
export VM_CACHE=${VM_CACHE:-$repo/build/vm-cache}
"$here/fetch-kernel.sh" >/dev/null
cache=$(cd "$VM_CACHE" && pwd)
kver=$(cat "$cache/kernel-version")
src="$here/module"
bld="$cache/module"
ko="$bld/nyx_testparts.ko"

# ---- 1. headers matching the unpacked kernel --------------------------------
hpkg="linux-headers-$kver"
# the version of the linux-image .deb that fetch-kernel.sh unpacked
debs=("$cache/deb/linux-image-${kver}_"*.deb)
[ -f "${debs[0]}" ] || { echo "build-module: no linux-image-${kver}_*.deb in $cache/deb" >&2; exit 1; }
img_ver=$(dpkg-deb -f "${debs[0]}" Version)
bash "$repo/scripts/setup.sh" "$hpkg=$img_ver"
kdir="/usr/src/linux-headers-$kver"
[ -f "$kdir/Makefile" ] || { echo "build-module: no $kdir after installing $hpkg=$img_ver" >&2; exit 1; }

# ---- 2. build when something changed -------------------------------------
stamp=$( { echo "$kver $img_ver"; cat "$src/Kbuild" "$src/Makefile" "$src/nyx_testparts.c"; } | sha256sum | cut -d' ' -f1)
if [ -f "$ko" ] && [ "$(cat "$bld/.stamp" 2>/dev/null)" = "$stamp" ]; then
  echo "$ko"
  exit 0
fi
rm -rf "$bld"
mkdir -p "$bld"
cp "$src/Kbuild" "$src/Makefile" "$src/nyx_testparts.c" "$bld/"
if ! make -s -C "$kdir" M="$bld" modules >"$bld/build.log" 2>&1; then
  cat "$bld/build.log" >&2
  echo "build-module: the build failed" >&2
  exit 1
fi
# a warning is a defect in a module this small: show them
grep -i 'warning' "$bld/build.log" >&2 || true
vermagic=$(modinfo -F vermagic "$ko")
case "$vermagic" in "$kver "*) ;; *) echo "build-module: vermagic '$vermagic' is not for $kver" >&2; exit 1 ;; esac
echo "$stamp" >"$bld/.stamp"
echo "$ko"
