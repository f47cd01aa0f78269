#!/bin/bash
# vm/tests/guest_arm.sh NYX_NFTL OUT — run in the 32-bit ARM guest by
# vm/tests/test_vm_arm.sh (NYX_NFTL: the armhf tool; OUT: the results folder,
# holding disk.img, the ext4 disk image the host made, host.manifest, the
# hashes of its files, and nbdkit-nyx-plugin.so when the build has one).
#
# nandsim's own partitions (parts=, in erase blocks) as the flash, named on
# the command line (/dev/mtdN=NAME), since this kernel cannot name them:
#   1. import of the host's disk image into the userdata partition, check,
#      export to OUT/data.out (the host compares it with disk.img);
#   2. with the plugin: `nyx-nftl serve`, /dev/nbd0 on the data disk, the
#      host's files read through ext4; mkfs.ext4, a tree of files, sync, an
#      orderly restart, every file compared, e2fsck -fn clean; kill -9 after
#      a flushed write: the write is there after the restart;
#   3. with OUT/test_nand_sim (the armhf build of the chip's tests): its test
#      of an image file past 4 GiB, on this 32-bit kernel;
#   4. the import round on a chip with bit flips and two bad blocks in userdata:
#      export to OUT/faulty.out, the bad blocks skipped, the corrected
#      bit flips counted by the kernel.
# Ends with "N passed, N failed".
set -u
. "$(dirname "$0")/lib.sh"

NYX=${1:?usage: guest_arm.sh NYX_NFTL OUT}
OUT=${2:?usage: guest_arm.sh NYX_NFTL OUT}
# 32M system, 16M cache, 16M NFTL_Part, the rest (64M) userdata; chip
# blocks 600 and 700 lie in userdata (blocks 512-1023)
PARTS=256,128,128
DATA=/dev/mtd3=userdata
tmp=$(mktemp -d)

round() {  # $1 = the export's file name
  check "import of the host's disk image into userdata" "$NYX" import $DATA -p data -i "$OUT/disk.img"
  check "check reads userdata clean" "$NYX" check $DATA
  check "export of userdata" "$NYX" export $DATA -p data -o "$OUT/$1"
}

check "nandsim with four partitions" nandsim_load parts=$PARTS
check_eq "the partitions' sizes" "02000000 01000000 01000000 04000000" \
  "$(sed -n 's/^mtd[0-3]: \([0-9a-f]*\) .*/\1/p' /proc/mtd | xargs)"
round data.out
"$NYX" info $DATA --json | tr -d ' \n' >"$tmp/info.json"
for kv in '"page_size":2048' '"oob_size":64' '"pages_per_block":64' '"bad_blocks":0,'; do
  check "info: $kv" grep -qF "$kv" "$tmp/info.json"
done

if [ -f "$OUT/nbdkit-nyx-plugin.so" ]; then
  export NYX_NFTL_PLUGIN=$OUT/nbdkit-nyx-plugin.so
  # shellcheck disable=SC2034  # SERVE_ARGS and SOCK are lib.sh's up's
  SERVE_ARGS=(--mtd "$DATA") SOCK=/run/nyx.sock
  export mnt=$tmp/mnt tmp
  mkdir -p "$mnt"
  check "modprobe nbd ext4" modprobe -a nbd ext4
  check "serve, nbd-client attaches the data disk" up
  check_eq "the data disk's size (sectors)" 114688 "$(cat /sys/block/nbd0/size)"
  check "the host's files through ext4 on /dev/nbd0" bash -c \
    "mount -o ro /dev/nbd0 '$mnt' && (cd '$mnt' && sha256sum --quiet -c '$OUT/host.manifest'); rc=\$?; umount '$mnt'; exit \$rc"
  check "mkfs.ext4" mkfs.ext4 -q -F /dev/nbd0
  check "a tree of files, sync" bash -c "mount /dev/nbd0 '$mnt' && make_tree && sync && umount '$mnt'"
  orderly_restart
  kill_after_flushed_write
  check "nbd-client -d and stop" down
  check "check reads userdata clean after serving" "$NYX" check $DATA
  echo "--- server log (last lines) ---"
  tail -n 4 "$tmp/server.log"
fi

if [ -f "$OUT/test_nand_sim" ]; then
  check "a simulated chip in an image file past 4 GiB (32-bit process)" \
    env TEST_TMPDIR="$tmp/" "$OUT/test_nand_sim" --gtest_filter='NandSim.ImagesPast4GiB*'
  cp /tmp/check.out "$tmp/sim.out"
  check "the test ran rather than being filtered out" grep -qF '[  PASSED  ] 1 test' "$tmp/sim.out"
fi

check "nandsim with bitflips=1 badblocks=600,700" nandsim_load parts=$PARTS bitflips=1 badblocks=600,700
round faulty.out
corrected=$(cat /sys/class/mtd/mtd3/corrected_bits)
fact corrected_bits "$corrected"
check "corrected bit flips were counted" test "$corrected" -gt 0
"$NYX" info $DATA --json | tr -d ' \n' >"$tmp/info.json"
check "info sees the two bad blocks" grep -qF '"bad_blocks":2,' "$tmp/info.json"

nandsim_unload
rm -rf "$tmp"
finish
