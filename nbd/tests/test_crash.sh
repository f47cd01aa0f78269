# kill -9 of the server after an NBD flush: every flushed byte is there when
# the image is served again; writes after the flush may be lost, but the
# disk still serves. The crash comes while a client is still connected
# (closing the last connection to a disk flushes it too).
source "$(dirname "$0")/lib.sh"
PROBE=${3:?usage: test_crash.sh PLUGIN NYX_NFTL NBD_PROBE}
need nbdkit nbdcopy qemu-io

make_image
start_server

head -c $((SECTORS[data] * 512)) /dev/urandom >"$tmp/data.in"
nbdcopy --flush "$tmp/data.in" "$(uri data)"
head -c $((SECTORS[system] * 512)) /dev/urandom >"$tmp/system.in"
nbdcopy --flush "$tmp/system.in" "$(uri system)"
# A small write flushed on its own, then one that is never flushed.
qemu-io -f raw "$(uri media)" -c 'write -P 0x6b 2560 9216' -c flush >"$tmp/q1.out" 2>&1 ||
  { cat "$tmp/q1.out" >&2; fail "media: flushed write"; }
qemu-io -f raw "$(uri media)" -c 'write -P 0x99 1048576 4096' >"$tmp/q2.out" 2>&1 ||
  { cat "$tmp/q2.out" >&2; fail "media: unflushed write"; }

# Clients still connected when the server dies: one flushed its write,
# one did not.
"$PROBE" "$(uri cache)" write-flush-hold 1536 12288 0x5e >"$tmp/hold1.out" 2>&1 &
hold1=$!
"$PROBE" "$(uri cache)" write-hold 1048576 4096 0x71 >"$tmp/hold2.out" 2>&1 &
hold2=$!
cleanup_hooks+=("kill $hold1 $hold2 2>/dev/null")
for _ in $(seq 1 100); do
  grep -q ok "$tmp/hold1.out" && grep -q ok "$tmp/hold2.out" && break
  sleep 0.1
done
grep -q ok "$tmp/hold1.out" && grep -q ok "$tmp/hold2.out" || fail "the holding clients did not write"

kill_server
kill "$hold1" "$hold2" 2>/dev/null || true
wait "$hold1" "$hold2" 2>/dev/null || true
start_server

"$PROBE" "$(uri cache)" read 1536 12288 >"$tmp/hold.read" 2>&1 || true
grep -q "first=5e last=5e" "$tmp/hold.read" || { cat "$tmp/hold.read" >&2; fail "cache: flushed write lost after kill -9"; }

for name in data system; do
  nbdcopy "$(uri "$name")" "$tmp/$name.out"
  [ "$(sha_of "$tmp/$name.in")" = "$(sha_of "$tmp/$name.out")" ] || fail "$name: flushed data lost after kill -9"
done
qemu-io -f raw "$(uri media)" -c 'read -P 0x6b 2560 9216' >"$tmp/q3.out" 2>&1 &&
  ! grep -qi "fail" "$tmp/q3.out" || { cat "$tmp/q3.out" >&2; fail "media: flushed write lost after kill -9"; }

# The disks still take writes after the crash.
qemu-io -f raw "$(uri media)" -c 'write -P 0x42 0 65536' -c 'read -P 0x42 0 65536' >"$tmp/q4.out" 2>&1 &&
  ! grep -qi "fail" "$tmp/q4.out" || { cat "$tmp/q4.out" >&2; fail "media: write after the crash"; }

# SIGTERM with a client still connected that never flushed: nbdkit waits
# for the client to go away, and its write is kept (closing the last
# connection flushes the disk, then the orderly shutdown runs).
"$PROBE" "$(uri system)" write-hold 7680 9216 0x2f >"$tmp/hold3.out" 2>&1 &
hold3=$!
cleanup_hooks+=("kill $hold3 2>/dev/null")
for _ in $(seq 1 100); do
  grep -q ok "$tmp/hold3.out" && break
  sleep 0.1
done
grep -q ok "$tmp/hold3.out" || fail "the holding client did not write"
kill -TERM "$server_pid"
sleep 0.3
kill "$hold3" 2>/dev/null || true
wait "$hold3" 2>/dev/null || true
stop_server
start_server
"$PROBE" "$(uri system)" read 7680 9216 >"$tmp/hold3.read" 2>&1 || true
grep -q "first=2f last=2f" "$tmp/hold3.read" || { cat "$tmp/hold3.read" >&2; fail "system: write lost when the client went away"; }

stop_server
echo "PASS"
