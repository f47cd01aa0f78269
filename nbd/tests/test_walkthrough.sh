#!/usr/bin/env bash
# The README's walk-through, command by command: serve a fresh image with
# `nyx-nftl serve`, list the exports, write with qemu-io, copy a filesystem
# image in with nbdcopy, mount it through nbdfuse and a loop mount, then build
# a factory image with import, read info and check, pull the disk back out
# with export and draw the wear picture.
source "$(dirname "$0")/lib.sh"
need nbdkit nbdinfo nbdcopy qemu-io mkfs.ext4

T=$NYX_NFTL
cd "$tmp"

# make run: a blank image, served on a socket.
"$T" mkimage nand.img >/dev/null
"$T" serve nand.img --socket "$sock" >serve.out 2>>"$tmp/nbdkit.log" &
server_pid=$!
for _ in $(seq 1 300); do [ -S "$sock" ] && break; sleep 0.1; done
[ -S "$sock" ] || fail "serve did not come up"
grep -q "nbdinfo --list" serve.out || fail "serve did not print how to connect"

SOCK=$sock
nbdinfo --list "nbd+unix:///?socket=$SOCK" >list.txt
for e in system cache media data; do grep -q "^export=\"$e\":" list.txt || fail "export $e not listed"; done
qemu-io -f raw "nbd+unix:///cache?socket=$SOCK" -c 'write -P 0x5a 1536 3072' -c 'read -P 0x5a 1536 3072' \
  >qemu.out || fail "qemu-io"
grep -q "Pattern verification failed" qemu.out && fail "qemu-io read back other bytes"

truncate -s 56M fs.img && mkfs.ext4 -q -F fs.img
nbdcopy fs.img "nbd+unix:///data?socket=$SOCK"

# nbdfuse and a loop mount, where this machine allows them.
if command -v nbdfuse >/dev/null && [ -e /dev/fuse ] && [ "$(id -u)" -eq 0 ] && losetup -f >/dev/null 2>&1; then
  mkdir -p fuse mnt
  cleanup_hooks+=("mountpoint -q '$tmp/mnt' && umount '$tmp/mnt'")
  cleanup_hooks+=("mountpoint -q '$tmp/fuse' && fusermount3 -u '$tmp/fuse'")
  nbdfuse fuse "nbd+unix:///data?socket=$SOCK" &
  fuse_pid=$!
  for _ in $(seq 1 300); do [ -e fuse/nbd ] && break; sleep 0.1; done
  [ -e fuse/nbd ] || fail "nbdfuse did not come up"
  mount -o loop fuse/nbd mnt
  echo hello >mnt/hello.txt
  umount mnt
  until fusermount3 -u fuse 2>/dev/null; do sleep 0.1; done
  wait "$fuse_pid" || true
else
  echo "walkthrough: nbdfuse or loop mounts unavailable, that step skipped"
fi
stop_server

# The tools, on a factory image of our own.
"$T" mkimage factory.img >/dev/null
"$T" import factory.img -p data -i fs.img >/dev/null || fail "import"
"$T" info factory.img >info.txt || fail "info"
grep -q "data" info.txt || fail "info does not show the data disk"
"$T" check factory.img >check.txt || { cat check.txt >&2; fail "check found problems"; }
"$T" export factory.img -p data -o data.img >/dev/null || fail "export"
cmp -n "$(stat -c %s fs.img)" fs.img data.img || fail "export gave other bytes than import took"
"$T" wear factory.img -p data -o wear.svg >/dev/null || fail "wear"
grep -q "<svg" wear.svg || fail "no SVG written"
"$T" debug factory.img -p data list >debug.txt || fail "debug list"
grep -q "free list" debug.txt || fail "debug list printed no free list"
echo "PASS"
