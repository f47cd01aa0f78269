#!/usr/bin/env bash
# info --json parses and shows the four partitions with their capacities on
# the default chip; blank partitions say "unformatted" and are not attached.
source "$(dirname "$0")/common.bash"

expect_rc 0 "$NYX" mkimage nand.img
expect_rc 0 "$NYX" info nand.img --json
python3 -m json.tool out.txt > /dev/null || fail "info --json is not JSON"
python3 - out.txt <<'PY' || fail "blank image: wrong info"
import json, sys
info = json.load(open(sys.argv[1]))
parts = info["partitions"]
assert [p["name"] for p in parts] == ["system", "cache", "NFTL_Part", "userdata"], parts
assert all(p["status"] == "unformatted" for p in parts), parts
assert "logical_sectors" not in parts[0]
PY

# Formatting happens with the first import into each partition.
printf 'x%.0s' $(seq 512) > sector.bin
for p in system cache media data; do
  expect_rc 0 "$NYX" import nand.img -p "$p" -i sector.bin
done
expect_rc 0 "$NYX" info nand.img --json
python3 - out.txt <<'PY' || fail "formatted image: wrong info"
import json, sys
info = json.load(open(sys.argv[1]))
assert info["geometry"] == {"page_size": 2048, "oob_size": 64, "pages_per_block": 64,
                            "spare_offset": 2, "blocks": 1024}, info["geometry"]
want = {"system": ("system", 57344, 256), "cache": ("cache", 24576, 128),
        "NFTL_Part": ("media", 24576, 128), "userdata": ("data", 114688, 512)}
parts = info["partitions"]
assert len(parts) == 4, parts
for p in parts:
    disk, sectors, blocks = want[p["name"]]
    assert p["status"] == "formatted", p
    assert p["disk"] == disk, p
    assert p["logical_sectors"] == sectors, p
    assert p["logical_bytes"] == sectors * 512, p
    assert p["blocks"] == blocks, p
    assert p["good_blocks"] == blocks and p["bad_blocks"] == 0, p
    assert p["current_block"] is not None, p
    assert p["erase_count"]["min"] <= p["erase_count"]["mean"] <= p["erase_count"]["max"], p
    assert p["gc_start_free_blocks"] < p["gc_stop_free_blocks"], p
    assert p["free_blocks"] + p["data_blocks"] + 1 == blocks, p
PY
expect_rc 0 "$NYX" info nand.img
expect_out "capacity:      57344 sectors (29360128 bytes)"

# Factory bad blocks show up in their partition.
expect_rc 0 "$NYX" mkimage bad.img --blocks 256 --bad-blocks 1,2,200 --page-size 512 \
  --oob-size 32 --pages-per-block 32
expect_out "3 factory bad blocks"
expect_rc 0 "$NYX" import bad.img --page-size 512 --oob-size 32 --pages-per-block 32 \
  --mtdparts "1M(NFTL_Part),-(userdata)" -p media -i sector.bin
expect_rc 0 "$NYX" info bad.img --page-size 512 --oob-size 32 --pages-per-block 32 \
  --mtdparts "1M(NFTL_Part),-(userdata)" --json
python3 - out.txt <<'PY' || fail "small chip: wrong info"
import json, sys
parts = json.load(open(sys.argv[1]))["partitions"]
media, user = parts
assert media["status"] == "formatted" and media["bad_blocks"] == 2, media
assert media["blocks"] == 64, media
assert user["status"] == "unformatted", user
PY
echo "info ok"
