# kill -9 of the server after an NBD flush: every flushed byte is there when
# the image is served again; writes after the flush may be lost, but the
# disk still serves. The crash comes while a client is still connected
# (closing the last connection to a disk flushes it too).
source "$(dirname "$0")/lib.sh"
: "${PROBE:?usage: test_crash.sh PLUGIN NYX_NFTL NBD_PROBE}"
need nbdkit nbdcopy qemu-io

# hold ARGS...: an nbd-probe -hold client in the background, once it has
# written; let_go ends every such client.
holds=()
cleanup_hooks+=('kill "${holds[@]}" 2>/dev/null')
hold() {
  "$PROBE" "$@" >"$tmp/hold.out" 2>&1 &
  holds+=($!)
  for _ in $(seq 1 100); do
    grep -q ok "$tmp/hold.out" && return 0
    sleep 0.1
  done
  fail "the holding client did not write: $*"
}
let_go() {
  kill "${holds[@]}" 2>/dev/null || true
  wait "${holds[@]}" 2>/dev/null || true
  holds=()
}

make_image
start_server

head -c $((SECTORS[data] * 512)) /dev/urandom >"$tmp/data.in"
nbdcopy --flush "$tmp/data.in" "$(uri data)"
head -c $((SECTORS[system] * 512)) /dev/urandom >"$tmp/system.in"
nbdcopy --flush "$tmp/system.in" "$(uri system)"
# A small write flushed on its own, then one that is never flushed.
qio media -c 'write -P 0x6b 2560 9216' -c flush || fail "media: flushed write"
qio media -c 'write -P 0x99 1048576 4096' || fail "media: unflushed write"

# Clients still connected when the server dies: one flushed its write,
# one did not.
hold "$(uri cache)" write-flush-hold 1536 12288 0x5e
hold "$(uri cache)" write-hold 1048576 4096 0x71

kill_server
let_go
start_server

expect "first=5e last=5e" "$(uri cache)" read 1536 12288

for name in data system; do
  nbdcopy "$(uri "$name")" "$tmp/$name.out"
  [ "$(sha_of "$tmp/$name.in")" = "$(sha_of "$tmp/$name.out")" ] || fail "$name: flushed data lost after kill -9"
done
qio media -c 'read -P 0x6b 2560 9216' || fail "media: flushed write lost after kill -9"

# The disks still take writes after the crash.
qio media -c 'write -P 0x42 0 65536' -c 'read -P 0x42 0 65536' || fail "media: write after the crash"

# SIGTERM with a client still connected that never flushed: nbdkit waits
# for the client to go away, and its write is kept (closing the last
# connection flushes the disk, then the orderly shutdown runs).
hold "$(uri system)" write-hold 7680 9216 0x2f
kill -TERM "$server_pid"
sleep 0.3
let_go
stop_server
start_server
expect "first=2f last=2f" "$(uri system)" read 7680 9216

stop_server
echo "PASS"
