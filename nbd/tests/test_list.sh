# nbdinfo lists the four disks as exports with their sizes; the default
# export is the first disk; an unknown export name is refused.
source "$(dirname "$0")/lib.sh"
need nbdkit nbdinfo

make_image
start_server

nbdinfo --list --json "$(uri '')" >"$tmp/list.json"
names=$(grep -o '"export-name": "[^"]*"' "$tmp/list.json" | cut -d'"' -f4 | tr '\n' ' ')
[ "$names" = "system cache media data " ] || fail "exports listed: '$names'"

for name in "${EXPORTS[@]}"; do
  want=$((SECTORS[$name] * 512))
  got=$(nbdinfo --size "$(uri "$name")")
  [ "$got" = "$want" ] || fail "$name: size $got, expected $want"
  grep -q "\"description\": \"$name: .*(${SECTORS[$name]} sectors)" "$tmp/list.json" ||
    fail "$name: the description does not give its size"
done

# The default export (empty name) is the first disk.
got=$(nbdinfo --size "nbd+unix://?socket=$sock")
[ "$got" = $((SECTORS[system] * 512)) ] || fail "default export size $got"

# The sizes and limits a client sees.
nbdinfo --json "$(uri data)" >"$tmp/data.json"
grep -q '"can_multi_conn": true' "$tmp/data.json" || fail "multi-conn not offered"
grep -q '"can_trim": false' "$tmp/data.json" || fail "trim offered"
grep -q '"can_flush": true' "$tmp/data.json" || fail "flush not offered"
grep -q '"block_size_minimum": 512' "$tmp/data.json" || fail "minimum block size is not 512"

if nbdinfo --size "$(uri nosuch)" >"$tmp/unknown.out" 2>&1; then
  fail "an unknown export was served"
fi
grep -q "unknown export 'nosuch'" "$tmp/nbdkit.log" || fail "no clear error for the unknown export"

stop_server
echo "PASS"
