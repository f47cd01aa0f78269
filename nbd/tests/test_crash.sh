# kill -9 of the server after an NBD flush: every flushed byte is there when
# the image is served again; writes after the flush may be lost, but the
# disk still serves.
source "$(dirname "$0")/lib.sh"
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

kill_server
start_server

for name in data system; do
  nbdcopy "$(uri "$name")" "$tmp/$name.out"
  [ "$(sha_of "$tmp/$name.in")" = "$(sha_of "$tmp/$name.out")" ] || fail "$name: flushed data lost after kill -9"
done
qemu-io -f raw "$(uri media)" -c 'read -P 0x6b 2560 9216' >"$tmp/q3.out" 2>&1 &&
  ! grep -qi "fail" "$tmp/q3.out" || { cat "$tmp/q3.out" >&2; fail "media: flushed write lost after kill -9"; }

# The disks still take writes after the crash.
qemu-io -f raw "$(uri media)" -c 'write -P 0x42 0 65536' -c 'read -P 0x42 0 65536' >"$tmp/q4.out" 2>&1 &&
  ! grep -qi "fail" "$tmp/q4.out" || { cat "$tmp/q4.out" >&2; fail "media: write after the crash"; }

stop_server
echo "PASS"
