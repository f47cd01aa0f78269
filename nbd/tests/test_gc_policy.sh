# The collection policy is chosen at attach and is not part of the format:
# random 4 KiB writes served with gc-policy=greedy leave the data disk with
# the few free blocks that policy keeps (its low mark), and the disk serves
# the same bytes under the standard policy; writes made then serve under
# the greedy one again.
source "$(dirname "$0")/lib.sh"
need nbdkit nbdcopy qemu-io python3

make_image
bytes=$((SECTORS[data] * 512))
head -c "$bytes" /dev/urandom >"$tmp/expected"

# `count` seeded 4 KiB writes of one byte pattern each through qemu-io,
# applied to the expected image as well.
random_writes() {  # seed count
  python3 - "$tmp/expected" "$1" "$2" >"$tmp/writes" <<'PY'
import random, sys
path, seed, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(seed)
data = bytearray(open(path, 'rb').read())
slots = len(data) // 4096
for _ in range(count):
    off = rng.randrange(slots) * 4096
    pattern = rng.randrange(1, 256)
    data[off:off + 4096] = bytes([pattern]) * 4096
    print(f"-c\nwrite -P {pattern} {off} 4k")
open(path, 'wb').write(data)
PY
  mapfile -t args <"$tmp/writes"
  qio data "${args[@]}" || fail "qemu-io writes failed"
}

same_as_expected() {  # what
  nbdcopy "$(uri data)" "$tmp/out"
  cmp -s "$tmp/expected" "$tmp/out" || fail "$1: the data disk differs from what was written"
}

start_server gc-policy=greedy
nbdcopy --flush "$tmp/expected" "$(uri data)"
random_writes 1 4000
same_as_expected "greedy, served"
stop_server
free=$("$NYX_NFTL" info "$img" --json | python3 -c '
import json, sys
for p in json.load(sys.stdin)["partitions"]:
    if p["name"] == "userdata": print(p["free_blocks"])')
[ "$free" -le 7 ] || fail "greedy policy: $free free blocks left, expected its low mark (6) or one more"

start_server gc-policy=standard
same_as_expected "written under greedy, served under standard"
random_writes 2 4000
stop_server
start_server gc-policy=greedy
same_as_expected "written under standard, served under greedy"
stop_server

echo "PASS"
