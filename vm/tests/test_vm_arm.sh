#!/bin/bash
# vm/tests/test_vm_arm.sh NYX_NFTL [PLUGIN [TEST_NAND_SIM]] — the real-kernel test of an armhf build
# (ctest label "vm" in a build configured with cmake/toolchains/armhf.cmake):
# boots Debian's 32-bit ARM kernel (armmp) on QEMU's virt machine (TCG) with
# the rig of vm/ (VM_ARCH=armhf), runs vm/tests/guest_arm.sh there with the
# armhf tool NYX_NFTL on nandsim's partitions, and compares on the host what
# the guest exported with the disk image made here, byte for byte. With the
# armhf nbdkit plugin PLUGIN, the guest also serves the disk through the
# kernel's NBD client with ext4 on it. With the armhf build of the simulated
# chip's tests TEST_NAND_SIM, the guest also runs its test of an image past
# 4 GiB (a sparse file), which qemu-user cannot map for a 32-bit program.
# The guest's root is an armhf one (vm/build-guest-root.sh): the tool, the
# guest script and the disk image reach it through the results folder.
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR
NYX=$(realpath "${1:?usage: test_vm_arm.sh NYX_NFTL [PLUGIN]}")
plugin=${2:-}
here=$(cd "$(dirname "$0")/.." && pwd)
export VM_ARCH=armhf

out=$(mktemp -d "${TMPDIR:-/tmp}/nyx-vm-arm.XXXXXX")
trap 'rm -rf "$out"' EXIT
cp "$NYX" "$out/nyx-nftl"
if [ -n "$plugin" ]; then cp "$plugin" "$out/nbdkit-nyx-plugin.so"; fi
if [ -n "${3:-}" ]; then cp "$3" "$out/test_nand_sim"; fi
cp "$here/tests/guest_arm.sh" "$here/tests/lib.sh" "$out/"

# The disk image: ext4 filling the whole data disk of the userdata partition
# (114688 sectors on this chip), with a tree of files written into it by
# mkfs.ext4 -d, so that the export must give back every byte.
mkdir -p "$out/tree/a/b"
for i in $(seq 1 30); do
  head -c $((i * 7919 % 200000 + 1)) /dev/urandom >"$out/tree/$([ $((i % 3)) = 0 ] && echo a/b || echo a)/f$i"
done
head -c 20000000 /dev/urandom >"$out/tree/big"
(cd "$out/tree" && find . -type f -print0 | sort -z | xargs -0 sha256sum) >"$out/host.manifest"
truncate -s $((114688 * 512)) "$out/disk.img"
mkfs.ext4 -q -F -d "$out/tree" "$out/disk.img"
rm -rf "$out/tree"

VM_OUT=$out VM_TIMEOUT=${VM_TIMEOUT:-480} \
  "$here/run-guest.sh" "$out/guest_arm.sh" "$out/nyx-nftl" "$out"

for f in data.out faulty.out; do
  cmp "$out/disk.img" "$out/$f" || { echo "FAIL: $f, exported in the guest, differs from the host's disk image" >&2; exit 1; }
done
echo "PASS: both exports equal the host's disk image byte for byte"
