#!/bin/bash
# vm/tests/test_vm.sh NYX_NFTL — the real-kernel test (ctest label "vm"):
# boots the Debian kernel under QEMU (TCG) with the rig of vm/, runs
# vm/tests/guest_mtd.sh there (nandsim, `nyx-nftl serve --all-mtd`, the
# kernel's NBD client, ext4, restarts, kill -9, dumps both ways, faults),
# and checks on the host the dump the guest took: `nyx-nftl export` of it
# gives the bytes the guest read through /dev/nbd0.
# Installs what it needs (vm/fetch-kernel.sh, vm/build-module.sh).
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR
NYX=$(realpath "${1:?usage: test_vm.sh NYX_NFTL}")
here=$(cd "$(dirname "$0")/.." && pwd)

# build-module.sh prints the module's path once it is built and checked
module=$("$here/build-module.sh" | tail -n 1)

out=$(mktemp -d "${TMPDIR:-/tmp}/nyx-vm.XXXXXX")
trap 'rm -rf "$out"' EXIT

# An image of the userdata partition alone (512 blocks), made on the host,
# for the guest to write with nandwrite.
parts='-(userdata)'
"$NYX" mkimage "$out/host.img" --blocks 512 --mtdparts "$parts" >/dev/null
head -c 3000000 /dev/urandom >"$out/host.bin"
"$NYX" import "$out/host.img" --mtdparts "$parts" -p data -i "$out/host.bin" 2>/dev/null

VM_OUT=$out VM_TIMEOUT=${VM_TIMEOUT:-600} \
  "$here/run-guest.sh" "$here/tests/guest_mtd.sh" "$NYX" "$out" "$module"

# The guest's dump, exported here, gives what the guest read from the disk.
"$NYX" export "$out/data.dump" --mtdparts "$parts" -p data -o "$out/data.out" 2>/dev/null
want=$(cat "$out/data.sha")
got=$(sha256sum <"$out/data.out" | cut -d' ' -f1)
[ "$want" = "$got" ] || { echo "FAIL: the exported dump differs from the disk the guest read" >&2; exit 1; }
echo "PASS: the guest's nanddump exports to the bytes read through /dev/nbd0"
