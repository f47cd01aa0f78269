# Real NBD clients on every export: nbdinfo lists the four disks with their
# sizes and flags; nbdcopy round-trips whole disks, also over four
# connections at once; qemu-io writes that straddle sectors and pages keep
# their neighbours, the last sectors work and a write past the end fails;
# a discard makes the whole pages in its range read erased and keeps the
# pages it covers in part, write-zeroes reads back as zeroes (also after a
# restart: it is never a trim);
# everything is still there after the server is stopped (SIGTERM) and served
# again; an unknown export is refused with a clear error.
source "$(dirname "$0")/lib.sh"
need nbdkit nbdinfo nbdcopy qemu-io

make_image
start_server

nbdinfo --list --json "$(uri '')" >"$tmp/list.json"
names=$(grep -o '"export-name": "[^"]*"' "$tmp/list.json" | cut -d'"' -f4 | tr '\n' ' ')
[ "$names" = "system cache media data " ] || fail "exports listed: '$names'"
for name in "${EXPORTS[@]}"; do
  [ "$(nbdinfo --size "$(uri "$name")")" = $((SECTORS[$name] * 512)) ] || fail "$name: wrong size"
  grep -q "\"description\": \"$name: .*(${SECTORS[$name]} sectors)" "$tmp/list.json" ||
    fail "$name: the description does not give its size"
done
[ "$(nbdinfo --size "nbd+unix://?socket=$sock")" = $((SECTORS[system] * 512)) ] || fail "default export"
nbdinfo --json "$(uri data)" >"$tmp/data.json"
for flag in '"can_multi_conn": true' '"can_trim": true' '"can_zero": true' '"can_flush": true' \
  '"block_size_minimum": 512'; do
  grep -q "$flag" "$tmp/data.json" || fail "data: not $flag"
done
nbdinfo --size "$(uri nosuch)" >/dev/null 2>&1 && fail "an unknown export was served"
grep -q "unknown export 'nosuch'" "$tmp/nbdkit.log" || fail "no clear error for the unknown export"

for name in system cache media; do
  head -c $((SECTORS[$name] * 512)) /dev/urandom >"$tmp/$name.in"
  nbdcopy --flush "$tmp/$name.in" "$(uri "$name")"
done
nbdcopy --connections=4 --request-size=262144 "$(uri cache)" "$tmp/cache.out"
[ "$(sha_of "$tmp/cache.in")" = "$(sha_of "$tmp/cache.out")" ] || fail "cache: multi-connection read differs"

patterns=(-c 'read -P 0x11 0 1536' -c 'read -P 0x5a 1536 2048' -c 'read -P 0xa5 3584 5120'
  -c 'read -P 0x11 8704 4096' -c 'read -P 0x3c 12800 20480' -c 'read -P 0x11 33280 32256')
qio data -c 'write -P 0x11 0 65536' -c 'write -P 0x5a 1536 3072' -c 'read -P 0x5a 1536 3072' ||
  fail "data: straddling write"
qio data -c 'write -P 0xa5 3584 5120' -c 'write -P 0x3c 12800 20480' -c flush "${patterns[@]}" ||
  fail "data: patterns or their neighbours wrong"
# Pages of 2048 bytes: 131072-133119 and 188416-190463 are trimmed in part.
qio data -c 'write -P 0x66 131072 65536' -c 'write -z 196608 8192' -c 'discard 132096 57344' \
  -c 'read -P 0x66 131072 2048' -c 'read -P 0xff 133120 55296' -c 'read -P 0x66 188416 8192' \
  -c 'read -P 0 196608 8192' -c flush || fail "data: discard or write-zeroes"
end=$((SECTORS[media] * 512))
qio media -c "write -P 0x77 $((end - 2560)) 2560" -c "read -P 0x77 $((end - 2560)) 2560" ||
  fail "media: last sectors"
qemu-io -f raw "$(uri media)" -c "write -P 0x77 $((end - 512)) 1024" >"$tmp/past.out" 2>&1 || true
grep -qi "error\|fail" "$tmp/past.out" || fail "a write past the end of the disk succeeded"

stop_server
start_server
for name in system cache media; do
  nbdcopy "$(uri "$name")" "$tmp/$name.out"
  n=$((SECTORS[$name] * 512)); [ "$name" = media ] && n=$((end - 2560))
  cmp -s -n "$n" "$tmp/$name.in" "$tmp/$name.out" || fail "$name: differs after a restart"
done
qio data "${patterns[@]}" || fail "data: patterns lost across a restart"
qio data -c 'read -P 0x66 131072 2048' -c 'read -P 0x66 188416 8192' -c 'read -P 0 196608 8192' ||
  fail "data: the pages a discard covered in part, or zeroes, lost across a restart"
qio media -c "read -P 0x77 $((end - 2560)) 2560" || fail "media: last sectors lost across a restart"
stop_server
echo "PASS"
