#!/bin/bash
# vm/tests/guest_mtd.sh NYX_NFTL OUT MODULE — run in the guest by vm/tests/test_vm.sh
# (MODULE: the test module of vm/module, which names the partitions).
#
# The translation layer on the kernel's NAND simulator, as a real block
# device with ext4 on it:
#   1. nandsim (128 MiB, 2048+64, 128 KiB blocks), named partitions
#      system/cache/NFTL_Part/userdata added by the test module; the server
#      runs `nyx-nftl serve --all-mtd`, the kernel's NBD client attaches
#      /dev/nbd0 to the data disk, which takes discards; mkfs.ext4, mounted
#      -o discard, a tree of files and a churn of files (vm/fschurn.py), an
#      fstrim, a deleted file's sectors read erased once ext4 discarded them,
#      an orderly restart of the server, every file compared, e2fsck -fn
#      clean;
#   2. kill -9 of the server after a flushed write: the write is there after
#      the restart; import refuses the device while it is served;
#   3. dumps: a `nanddump --oob` of the userdata partition (to OUT, exported
#      on the host afterwards) and the disk's hash as read through
#      /dev/nbd0; an image the host made (OUT/host.img), written with
#      `nandwrite --oob`, serves the host's bytes;
#   4. faults: nandsim with bitflips= and badblocks=: the data is intact,
#      the corrected reads are counted, the bad blocks are skipped.
# Ends with "N passed, N failed".
set -u
. "$(dirname "$0")/lib.sh"

NYX=${1:?usage: guest_mtd.sh NYX_NFTL OUT}
OUT=${2:?usage: guest_mtd.sh NYX_NFTL OUT}
MODULE=${3:?usage: guest_mtd.sh NYX_NFTL OUT MODULE}
PARTS='32M(system),16M(cache),16M(NFTL_Part),-(userdata)'
# shellcheck disable=SC2034  # SOCK and SERVE_ARGS are lib.sh's up's
SOCK=/run/nyx.sock
DATA=/dev/mtd4  # the userdata partition: mtd0 is the whole chip
tmp=$(mktemp -d /run/nyx.XXXXXX)
mnt=$tmp/mnt
mkdir -p "$mnt"
# shellcheck disable=SC2034
SERVE_ARGS=(--all-mtd)
export tmp mnt

chip_load() {  # extra nandsim parameters
  rmmod nyx_testparts 2>/dev/null
  nandsim_load "$@" && insmod "$MODULE" master=0 "parts=$PARTS"
}

check "modprobe nbd" modprobe nbd
check "nandsim with named partitions" chip_load
check_eq "partition names" "system cache NFTL_Part userdata" \
  "$(for i in 1 2 3 4; do cat /sys/class/mtd/mtd$i/name; done | xargs)"

# 1. ext4 with discards and trims, an orderly restart.
check "serve --all-mtd, nbd-client attaches the data disk" up
check_eq "the data disk's size (sectors)" 114688 "$(cat /sys/block/nbd0/size)"
check "the disk takes discards" test "$(cat /sys/block/nbd0/queue/discard_max_bytes)" -gt 0
check "mkfs.ext4" mkfs.ext4 -q -F /dev/nbd0
check "mount -o discard" mount -o discard /dev/nbd0 "$mnt"
check "a tree of files" make_tree
check "a churn of files" bash -c "'$(dirname "$0")/../fschurn.py' --total 16M --manifest '$tmp/churn' '$mnt' && cat '$tmp/churn' >>'$tmp/manifest'"
check "fstrim -v trims bytes" bash -c "fstrim -v '$mnt' | grep '([1-9][0-9]* bytes) trimmed'"
head -c 1M /dev/urandom >"$mnt/gone" && sync
read -r at len < <(filefrag -v -b512 "$mnt/gone" | awk '$1 ~ /^[0-9]+:$/ && $6 + 0 > len { at = $4 + 0; len = $6 + 0 } END { print at, len }')
check "a file deleted, sync and umount" bash -c "rm '$mnt/gone' && sync && umount '$mnt'"
check "its largest extent (sectors $at+$len) reads erased: the discard reached the layer" bash -c \
  "[ $len -ge 64 ] && dd if=/dev/nbd0 iflag=direct,skip_bytes,count_bytes bs=1M skip=$(((at + 8) * 512)) count=$(((len - 16) * 512)) status=none | tr -d '\377' | wc -c | grep -qx 0"
check "import refuses the served device" bash -c \
  "! '$NYX' import $DATA=userdata -p data -i '$tmp/manifest' 2>'$tmp/import.err' && grep -q 'in use' '$tmp/import.err'"
orderly_restart

# 2. kill -9 after a flushed write.
kill_after_flushed_write

# 3. Dumps both ways.
check "export reads a live partition" bash -c "'$NYX' export $DATA=userdata -p data -o '$tmp/live.out' && cmp '$tmp/live.out' /dev/nbd0"
check "the disk's hash through /dev/nbd0" bash -c "sha256sum </dev/nbd0 | cut -d' ' -f1 >'$OUT/data.sha'"
check "nbd-client -d and stop" down
check "check reads the device clean" "$NYX" check $DATA=userdata
check "nanddump --oob of userdata" bash -c \
  "nanddump -q --oob --bb=dumpbad -f '$tmp/data.dump' $DATA && dd if='$tmp/data.dump' of='$OUT/data.dump' bs=4M status=none"
check "flash_erase userdata" flash_erase -q $DATA 0 0
check "nandwrite --oob of the host's image" nandwrite -q --oob $DATA "$OUT/host.img"
check "serve the written image and attach" up
size=$(stat -c %s "$OUT/host.bin")
check "the host's bytes through /dev/nbd0" bash -c "cmp -n $size '$OUT/host.bin' /dev/nbd0"
check "nbd-client -d and stop" down

# 4. Faults: bit flips and bad blocks (chip blocks 600 and 700 lie in userdata).
check "nandsim with bitflips=1 badblocks=600,700" chip_load bitflips=1 badblocks=600,700
check "serve the faulty chip and attach" up
head -c 40000000 /dev/urandom >"$tmp/faulty"
check "write 40 MB" dd if="$tmp/faulty" of=/dev/nbd0 bs=1M oflag=direct status=none
check "read back three times, intact" bash -c "for i in 1 2 3; do cmp -n 40000000 '$tmp/faulty' /dev/nbd0 || exit 1; echo 3 >/proc/sys/vm/drop_caches; done"
check "nbd-client -d and stop" down
corrected=$(cat /sys/class/mtd/mtd0/corrected_bits)
fact corrected_bits "$corrected"
check "corrected bit flips were counted" test "$corrected" -gt 0
check "info sees the two bad blocks" bash -c \
  "'$NYX' info $DATA=userdata --json | python3 -c 'import json,sys; p=json.load(sys.stdin)[\"partitions\"][0]; sys.exit(p[\"bad_blocks\"] != 2)'"
check "serve and attach again" up
check "intact after the restart" cmp -n 40000000 "$tmp/faulty" /dev/nbd0
check "nbd-client -d and stop" down

echo "--- server log (last lines) ---"
tail -n 20 "$tmp/server.log"
rmmod nyx_testparts 2>/dev/null
nandsim_unload
finish
