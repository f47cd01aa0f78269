#!/bin/bash
# vm/vmbench-guest.sh [--server CMD] [--random-count N] [--span SIZE] [--seed N]
#                     [--churn SIZE] [--churn-only] [--churn-used]
# Guest script of the side-by-side benchmark (host wrapper: vm/vmbench.sh):
#   vm/build-module.sh && vm/run-guest.sh vm/vmbench-guest.sh [--server CMD]
#
# One boot, one nandsim chip (128 MiB, 2048+64, 128 KiB blocks) with its
# timing model on (do_delays=1, default delays), split by the test-only
# module nyx_testparts into two equal 64 MiB partitions:
#   mtd1 "baseline" (0..64 MiB)   -> the kernel's mtdblock, /dev/mtdblock1
#   mtd2 "userdata" (64..128 MiB) -> the server under test, over NBD
# The whole chip is erased first, so both sides start on never-written flash
# of the same geometry and timing; the sides run one after the other (never
# competing for the CPU) with the same seeded workloads:
#   seq:  16 MiB of seeded data, dd bs=1M oflag=direct conv=fsync, then sync
#   rand: N (default 2000) 4 KiB O_DIRECT writes at uniformly random 4 KiB
#         offsets in [0, SPAN) (default 48M, must fit in both disks), then
#         fsync and sync (vm/tools/randwrite, splitmix64, seeded)
# Erases are counted twice per workload: a kprobe on nand_erase_op (hit
# count in kprobe_profile) and nandsim's own "erase sector N" log lines (log=1
# plus dynamic debug for that one line); they must agree, and every erased
# block must lie in the side's partition. After the workloads, the data is
# read back (mtdblock side: from /dev/mtd1 itself; server side: after a
# server restart and reconnect) and must match.
#
# Then trim (with --server): ext4 over the server's disk and a file churn
# (vm/fschurn.py: files of 16 KiB to 1 MiB created, rewritten and deleted,
# the file system kept 40-60% full, 6 rounds, seeded) in three modes, the
# same seed in each: "no trim" (mounted without discard, no fstrim),
# "discard" (mount -o discard) and "fstrim" (fstrim -v after each round).
# Each starts on the freshly erased userdata partition, which the server
# formats anew; mkfs.ext4 -b 4096 -E nodiscard with the inode tables and
# the journal zeroed at once, so every mode starts from the same file
# system and no background zeroing competes with the churn. --churn-used:
# a disk in use instead, written whole once (dd from /dev/urandom) before
# mkfs, which then discards the whole disk in the trim modes, as mke2fs does
# on a disk that takes discards, and not in "no trim" (the old data stays
# live in the layer, as on a disk without trim). Counted from the mount
# to the unmount: erases (as above), the bytes the kernel wrote to
# /dev/nbd0 and the bytes it discarded (/sys/block/nbd0/stat). Afterwards
# an orderly restart of the server, e2fsck -fn clean and every file read
# back with the sum the churn kept. --churn SIZE: file data per mode
# (default three times the disk; 0 leaves the churn out); --churn-only: the
# churn alone.
#
# --server CMD: run by bash in the background; it must serve the export
# "data" on the unix socket $SOCK until SIGTERM, with these variables set:
#   SOCK=/run/nftl.sock  MTD=/dev/mtd2  MTD_NAME=userdata  EXPORT=data
# e.g. --server 'exec ./build/cli/nyx-nftl serve ... --socket "$SOCK"'
# Without --server only the mtdblock side runs ("our server: not given").
#
# Output: progress lines, then the tables (also in $VM_OUT/vmbench-table.txt,
# and tab-separated in $VM_OUT/vmbench.tsv and vmbench-churn.tsv). Exit
# status 1 when a check fails.
# Kernel log: the host wrapper boots with log_buf_len=16M; with the default
# 128 KiB buffer more than ~2500 erases in one workload would be lost from
# the log (the kprobe count stays exact, the cross-check then fails).
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/tests/lib.sh"
vmroot=$here
cache=${VM_CACHE:-$(cd "$vmroot/.." && pwd)/build/vm-cache}

server_cmd=
count=2000
span=48M
seed=1
seq_mib=16
churn=
churn_only=0
churn_used=0
while [ $# -gt 0 ]; do
  case $1 in
    --server) server_cmd=$2; shift 2 ;;
    --random-count) count=$2; shift 2 ;;
    --span) span=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --churn) churn=$2; shift 2 ;;
    --churn-only) churn_only=1; shift ;;
    --churn-used) churn_used=1; shift ;;
    *) echo "usage: $0 [--server CMD] [--random-count N] [--span SIZE] [--seed N] [--churn SIZE] [--churn-only] [--churn-used]" >&2; exit 2 ;;
  esac
done

ko=$cache/module/nyx_testparts.ko
[ -f "$ko" ] || { echo "vmbench: no $ko: run vm/build-module.sh on the host first"; exit 2; }
tmp=$(mktemp -d /run/vmbench.XXXXXX)
# the workload helper: the host wrapper builds it; else compile it here
rw=$cache/bin/randwrite
if [ ! -x "$rw" ] || [ "$vmroot/tools/randwrite.c" -nt "$rw" ]; then
  rw=$tmp/randwrite
  gcc -O2 -static -o "$rw" "$vmroot/tools/randwrite.c" || { echo "vmbench: cannot build randwrite"; exit 2; }
fi
span_bytes=$(numfmt --from=iec "$span")
if [ -n "$churn" ]; then churn=$(numfmt --from=iec "$churn") || exit 2; fi
T=/sys/kernel/tracing; [ -d $T/events ] || T=/sys/kernel/debug/tracing

now() { date +%s.%N; }
# erase counters: kprobe hits (exact) and nandsim's log lines (cross-check)
erase_hits() { awk '$1 == "erase" { print $2 }' $T/kprobe_profile; }
erase_mark() { e0=$(erase_hits); dmesg -C; }
# erase_take SIDE_FIRST_BLOCK SIDE_END_BLOCK: sets $erases, checks the log
erase_take() {
  local log blocks
  erases=$(( $(erase_hits) - e0 ))
  blocks=$(dmesg | sed -n 's/.*erase sector \([0-9]*\).*/\1/p')
  log=$(printf '%s\n' "$blocks" | grep -c .)
  check_eq "  erases: kprobe nand_erase_op and nandsim log agree" "$erases" "$log"
  check_eq "  erased blocks outside $3's partition [$1, $2)" 0 \
    "$(printf '%s\n' "$blocks" | awk -v a="$1" -v b="$2" 'NF && ($1 < a || $1 >= b)' | grep -c .)"
}
results=()
# record WORKLOAD SIDE START END BYTES
record() {
  local wall mbs
  wall=$(awk -v a="$3" -v b="$4" 'BEGIN { printf "%.2f", b - a }')
  mbs=$(awk -v w="$wall" -v n="$5" 'BEGIN { printf "%.3f", n / w / 1e6 }')
  results+=("$1	$2	$wall	$erases	$mbs")
  echo "RESULT: $1 | $2 | $wall s | $erases erases | $mbs MB/s"
}
# workloads DEV SIDE FIRST_BLOCK END_BLOCK
workloads() {
  local dev=$1 side=$2 t0 t1
  erase_mark
  t0=$(now)
  dd if="$tmp/seq" of="$dev" bs=1M oflag=direct conv=fsync status=none && sync
  rc=$?
  t1=$(now)
  check_eq "  $side: seq ${seq_mib} MiB dd exit status" 0 "$rc"
  erase_take "$3" "$4" "$side"
  record "seq ${seq_mib}M" "$side" "$t0" "$t1" $((seq_mib << 20))
  erase_mark
  t0=$(now)
  "$rw" write "$dev" "$span" "$count" "$seed" && sync
  rc=$?
  t1=$(now)
  check_eq "  $side: rand 4K x $count exit status" 0 "$rc"
  erase_take "$3" "$4" "$side"
  record "rand 4K x$count" "$side" "$t0" "$t1" $((count * 4096))
}
# verify DEV SIDE: the data of both workloads reads back: the first 16 MiB
# must equal the seq data with the random writes applied on top (built in
# tmpfs by the same helper), and every offset the random writes hit must
# hold its last write
verify() {
  check "  $2: the first ${seq_mib} MiB read back (seq data + random writes)" cmp -n $((seq_mib << 20)) "$tmp/expect" "$1"
  check "  $2: every random write reads back" "$rw" verify "$1" "$span" "$count" "$seed"
}

echo "== set-up"
check "nandsim (no parts=) with do_delays=1 log=1" nandsim_load do_delays=1 log=1
for p in access_delay programm_delay erase_delay output_cycle input_cycle do_delays; do
  fact "nandsim.$p" "$(cat /sys/module/nandsim/parameters/$p 2>&1)"
done
check "insmod nyx_testparts parts=64M(baseline),-(userdata)" insmod "$ko" master=0 'parts=64M(baseline),-(userdata)'
check_eq "mtd1 is baseline, 64 MiB" "baseline 67108864" "$(cat /sys/class/mtd/mtd1/name /sys/class/mtd/mtd1/size | tr '\n' ' ' | sed 's/ $//')"
check_eq "mtd2 is userdata, 64 MiB" "userdata 67108864" "$(cat /sys/class/mtd/mtd2/name /sys/class/mtd/mtd2/size | tr '\n' ' ' | sed 's/ $//')"
check "dynamic debug: nandsim's erase-sector line" \
  bash -c "echo 'module nandsim format \"erase sector\" +p' >/proc/dynamic_debug/control"
check "kprobe on nand_erase_op" bash -c "echo 'p:nyxbench/erase nand:nand_erase_op' >>$T/kprobe_events && echo 1 >$T/events/nyxbench/erase/enable"
erase_mark
check "erase the whole chip (1024 blocks)" flash_erase -q /dev/mtd0 0 0
erase_take 0 1024 chip
check_eq "  the chip erase counted 1024" 1024 "$erases"
"$rw" fill $((seq_mib << 20)) $((seed + 1000)) >"$tmp/seq"
cp "$tmp/seq" "$tmp/expect"
check "the expected image (seq data + random writes, in tmpfs)" "$rw" write "$tmp/expect" "$span" "$count" "$seed"
echo "workloads: seq ${seq_mib} MiB; rand $count x 4 KiB over $span, seed $seed"

if [ "$churn_only" = 0 ]; then
  echo "== side 1: the kernel's mtdblock on mtd1 (baseline)"
  check "modprobe mtdblock" modprobe mtdblock
  check_eq "/dev/mtdblock1 is 64 MiB" 131072 "$(cat /sys/block/mtdblock1/size)"
  check "span $span fits in mtdblock1" test "$span_bytes" -le $(( $(cat /sys/block/mtdblock1/size) * 512 ))
  workloads /dev/mtdblock1 mtdblock 0 512
  check "rmmod mtdblock" rmmod mtdblock
  verify /dev/mtd1 mtdblock
fi

# /sys/block/nbd0/stat in bytes: nbd_stat 7 written, nbd_stat 14 discarded
nbd_stat() { local st; read -r -a st </sys/block/nbd0/stat; echo $(( st[$1 - 1] * 512 )); }
# churn_mode MODE: the file churn on a fresh ext4 in one trim mode (above)
churn_results=()
churn_mode() {
  local mode=$1 opts=defaults extra=() mkfs=discard t0 t1 w0 d0 rc urc wall written discarded so_far
  [ "$mode" = discard ] && opts=discard
  [ "$mode" = fstrim ] && extra=(--fstrim)
  [ "$mode" = none ] || [ "$churn_used" = 0 ] && mkfs=nodiscard
  echo "-- trim mode: $mode"
  check "  flash_erase $MTD" flash_erase -q "$MTD" 0 0
  start_server
  [ -n "$churn" ] || churn=$(( 3 * $(cat /sys/block/nbd0/size) * 512 ))
  if [ "$churn_used" = 1 ]; then
    check "  the disk in use: written whole once" \
      dd if=/dev/urandom of=/dev/nbd0 bs=1M count=$(( $(cat /sys/block/nbd0/size) / 2048 )) oflag=direct conv=fsync status=none
  fi
  check "  mkfs.ext4 -b 4096 -E $mkfs,lazy_itable_init=0,lazy_journal_init=0" \
    mkfs.ext4 -q -F -b 4096 -E "$mkfs,lazy_itable_init=0,lazy_journal_init=0" /dev/nbd0
  check "  mount -o $opts" mount -o "$opts" /dev/nbd0 "$tmp/mnt"
  erase_mark; w0=$(nbd_stat 7); d0=$(nbd_stat 14); t0=$(now)
  so_far="awk -v e0=$e0 '\$1 == \"erase\" { print \"erases so far\", \$2 - e0 }' $T/kprobe_profile"
  "$vmroot/fschurn.py" --seed "$seed" --total "$churn" --rounds 6 "${extra[@]}" \
    --after-round "$so_far" --manifest "$tmp/churn-$mode.sums" "$tmp/mnt" 2>&1 | sed 's/^/  /'
  rc=${PIPESTATUS[0]}
  umount "$tmp/mnt"; urc=$?
  t1=$(now)
  check_eq "  $mode: churn exit status" 0 "$rc"
  check_eq "  $mode: umount exit status" 0 "$urc"
  erase_take 512 1024 server
  wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  written=$(( $(nbd_stat 7) - w0 )) discarded=$(( $(nbd_stat 14) - d0 ))
  churn_results+=("$mode	$wall	$erases	$written	$discarded")
  echo "RESULT: churn | $mode | $wall s | $erases erases | $written bytes written | $discarded bytes discarded"
  stop_server
  start_server
  check "  $mode: e2fsck -fn clean after an orderly restart" e2fsck -fn /dev/nbd0
  check "  $mode: every file read back with its sum" bash -c \
    "mount -o ro /dev/nbd0 '$tmp/mnt' && '$vmroot/fschurn.py' --verify --manifest '$tmp/churn-$mode.sums' '$tmp/mnt'; rc=\$?; umount '$tmp/mnt'; exit \$rc"
  stop_server
}

side2=0
if [ -z "$server_cmd" ]; then
  echo "our server: not given"
else
  export SOCK=/run/nftl.sock MTD=/dev/mtd2 MTD_NAME=userdata EXPORT=data
  check "modprobe nbd" modprobe nbd
  start_server() {
    rm -f "$SOCK"
    bash -c "$server_cmd" >>"$tmp/server.log" 2>&1 &
    server=$!
    for _ in $(seq 1200); do [ -S "$SOCK" ] && break; kill -0 $server 2>/dev/null || break; sleep 0.1; done
    check "the server listens on $SOCK" test -S "$SOCK"
    check "nbd-client -unix $SOCK /dev/nbd0 -N $EXPORT" nbd-client -unix "$SOCK" /dev/nbd0 -N "$EXPORT"
  }
  stop_server() {
    check "nbd-client -d /dev/nbd0" nbd-client -d /dev/nbd0
    for _ in $(seq 50); do [ "$(cat /sys/block/nbd0/size)" = 0 ] && break; sleep 0.1; done
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  }
  echo "server: $server_cmd"
  if [ "$churn_only" = 0 ]; then
    echo "== side 2: the server under test on mtd2 (userdata), over NBD"
    erase_mark; t0=$(now)
    start_server
    t1=$(now); erase_take 512 1024 server
    echo "server start-up (format/mount) and connect: $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }') s, $erases erases (not in the table)"
    nbd_bytes=$(( $(cat /sys/block/nbd0/size 2>/dev/null || echo 0) * 512 ))
    echo "server disk: $nbd_bytes bytes"
    if check "span $span fits in the server's disk ($nbd_bytes bytes)" test "$span_bytes" -le "$nbd_bytes" \
       && [ "$nbd_bytes" -ge $((seq_mib << 20)) ]; then
      side2=1
      workloads /dev/nbd0 server 512 1024
      erase_mark
      stop_server
      erase_take 512 1024 server
      echo "server disconnect and stop: $erases erases (not in the table)"
      start_server
      verify /dev/nbd0 server
      stop_server
    else
      stop_server
    fi
  fi
  if [ "$churn" != 0 ]; then
    echo "== trim: a file churn on ext4 over the server's disk, no trim / -o discard / fstrim"
    mkdir -p "$tmp/mnt"
    for mode in none discard fstrim; do churn_mode "$mode"; done
  fi
  echo "--- server log (last 30 lines)"; tail -n 30 "$tmp/server.log"
fi

# ---- the tables --------------------------------------------------------------
{
  if [ ${#results[@]} -gt 0 ]; then
  printf '%-16s | %-8s | %8s | %7s | %8s\n' workload side "wall s" erases "MB/s"
  printf '%s\n' "-----------------+----------+----------+---------+---------"
  for r in "${results[@]}"; do
    IFS=$'\t' read -r w s t e m <<<"$r"
    printf '%-16s | %-8s | %8s | %7s | %8s\n' "$w" "$s" "$t" "$e" "$m"
  done
  if [ "$side2" = 1 ]; then
    printf '%s\n' "${results[@]}" | awk -F'\t' '
      { wall[$1 "/" $2] = $3; er[$1 "/" $2] = $4; mbs[$1 "/" $2] = $5; if ($2 == "mtdblock") w[++n] = $1 }
      END {
        for (i = 1; i <= n; i++) {
          k = w[i]; a = k "/mtdblock"; b = k "/server"
          if (!(b in wall)) continue
          red = er[b] > 0 ? sprintf("%.1fx fewer erases (%d vs %d)", er[a] / er[b], er[a], er[b]) : sprintf("no erases (mtdblock: %d)", er[a])
          printf "%s: server speed %.2fx mtdblock (%.3f vs %.3f MB/s); %s\n", k, wall[a] / wall[b], mbs[b], mbs[a], red
        }
      }'
  else
    echo "our server: not given"
  fi
  echo "(MB/s = 10^6 bytes per second of wall time, including the final flush; erases = block erases the chip performed during the workload)"
  fi
  if [ ${#churn_results[@]} -gt 0 ]; then
    [ ${#results[@]} -eq 0 ] || echo
    printf '%-9s | %8s | %7s | %8s | %8s | %10s | %6s\n' "trim mode" "wall s" erases "host MiB" "trim MiB" "erases/MiB" ratio
    printf '%s\n' "----------+----------+---------+----------+----------+------------+-------"
    printf '%s\n' "${churn_results[@]}" | awk -F'\t' '
      { m[++n] = $1 == "none" ? "no trim" : $1; wall[n] = $2; er[n] = $3; mib[n] = $4 / 1048576; trim[n] = $5 / 1048576
        per[n] = mib[n] > 0 ? er[n] / mib[n] : 0 }
      END {
        for (i = 1; i <= n; i++) {
          ratio[i] = per[1] > 0 ? per[i] / per[1] : 0
          printf "%-9s | %8s | %7d | %8.1f | %8.1f | %10.2f | %5.2fx\n", m[i], wall[i], er[i], mib[i], trim[i], per[i], ratio[i]
        }
        for (i = 2; i <= n; i++)
          printf "%s: %.2fx the erases per host MiB of %s (%d vs %d erases, %.1f vs %.1f host MiB)\n", m[i], ratio[i], m[1], er[i], er[1], mib[i], mib[1]
      }'
    echo "(ext4 file churn, $((churn >> 20)) MiB of files per mode, seed $seed, $([ "$churn_used" = 1 ] && echo "on a disk in use" || echo "on a fresh disk"); host MiB: written to /dev/nbd0, trim MiB: discarded, from the mount to the unmount; ratio: erases per host MiB over no trim's)"
  fi
} | tee "$VM_OUT/vmbench-table.txt"
printf '%s\n' "${results[@]}" >"$VM_OUT/vmbench.tsv"
printf '%s\n' "${churn_results[@]}" >"$VM_OUT/vmbench-churn.tsv"
nandsim_unload_all() { rmmod nyx_testparts 2>/dev/null; nandsim_unload; }
nandsim_unload_all
rm -rf "$tmp"
finish
