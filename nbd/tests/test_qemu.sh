# qemu-io writes and reads patterns at sector offsets that straddle the
# 4096-byte pages of a request and the chip's 2048-byte pages, and the
# neighbouring bytes keep what they held.
source "$(dirname "$0")/lib.sh"
need nbdkit qemu-io

make_image
start_server

qio() {
  qemu-io -f raw "$(uri "$1")" "${@:2}" >"$tmp/qemu-io.out" 2>&1 || {
    cat "$tmp/qemu-io.out" >&2
    return 1
  }
  if grep -qi "fail\|error\|mismatch" "$tmp/qemu-io.out"; then
    cat "$tmp/qemu-io.out" >&2
    return 1
  fi
}

for name in data media; do
  qio "$name" -c 'write -P 0x11 0 65536' || fail "$name: background write"
  qio "$name" -c 'write -P 0x5a 1536 3072' -c 'read -P 0x5a 1536 3072' || fail "$name: straddling write"
  qio "$name" -c 'write -P 0xa5 3584 5120' -c 'write -P 0x3c 12800 20480' -c flush ||
    fail "$name: second writes"
  qio "$name" -c 'read -P 0x11 0 1536' -c 'read -P 0x5a 1536 2048' -c 'read -P 0xa5 3584 5120' \
    -c 'read -P 0x11 8704 4096' -c 'read -P 0x3c 12800 20480' -c 'read -P 0x11 33280 32256' ||
    fail "$name: patterns or their neighbours wrong"
done

# The last sectors of a disk.
end=$((SECTORS[cache] * 512))
qio cache -c "write -P 0x77 $((end - 2560)) 2560" -c "read -P 0x77 $((end - 2560)) 2560" ||
  fail "cache: last sectors"
# Past the end: refused by the client or the server, never served.
if qemu-io -f raw "$(uri cache)" -c "write -P 0x77 $((end - 512)) 1024" >"$tmp/past.out" 2>&1 &&
  ! grep -qi "error\|fail" "$tmp/past.out"; then
  fail "a write past the end of the disk succeeded"
fi

stop_server
start_server
qio data -c 'read -P 0x11 0 1536' -c 'read -P 0x5a 1536 2048' -c 'read -P 0xa5 3584 5120' \
  -c 'read -P 0x3c 12800 20480' || fail "data: patterns lost across a restart"
qio cache -c "read -P 0x77 $((end - 2560)) 2560" || fail "cache: last sectors lost across a restart"

stop_server
echo "PASS"
