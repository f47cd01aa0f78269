#!/usr/bin/env bash
# info on a blank image, on a formatted one (JSON checked field by field
# against the partition table) and on a small chip with factory bad blocks.
source "$(dirname "$0")/common.bash"

json_check() {  # python body over `info` (the JSON of the last command), then the message
  python3 -c "import json; info = json.load(open('out.txt')); parts = info['partitions']
$1" || fail "$2"
}

expect_rc 0 "$NYX" mkimage nand.img
expect_rc 0 "$NYX" info nand.img --json
json_check "assert [p['name'] for p in parts] == ['system', 'cache', 'NFTL_Part', 'userdata']
assert all(p['status'] == 'unformatted' and 'logical_sectors' not in p for p in parts)" "blank image"

printf 'x%.0s' $(seq 512) > sector.bin
for p in system cache media data; do expect_rc 0 "$NYX" import nand.img -p "$p" -i sector.bin; done
expect_rc 0 "$NYX" info nand.img --json
json_check "assert info['geometry'] == {'page_size': 2048, 'oob_size': 64, 'pages_per_block': 64, 'spare_offset': 2, 'blocks': 1024}
want = {'system': ('system', 57344, 256), 'cache': ('cache', 24576, 128),
        'NFTL_Part': ('media', 24576, 128), 'userdata': ('data', 114688, 512)}
for p in parts:
    disk, sectors, blocks = want[p['name']]
    assert (p['status'], p['disk'], p['logical_sectors'], p['blocks'], p['good_blocks'], p['bad_blocks']) == \
        ('formatted', disk, sectors, blocks, blocks, 0), p
    assert p['current_block'] is not None and p['free_blocks'] + p['data_blocks'] + 1 == blocks, p
    assert p['erase_count']['min'] <= p['erase_count']['mean'] <= p['erase_count']['max'], p
    assert p['gc_start_free_blocks'] < p['gc_stop_free_blocks'], p" "formatted image"
expect_cmd 0 "capacity:      57344 sectors (29360128 bytes)" "$NYX" info nand.img

small=(--page-size 512 --oob-size 32 --pages-per-block 32)
expect_cmd 0 "3 factory bad blocks" "$NYX" mkimage bad.img --blocks 256 --bad-blocks 1,2,200 "${small[@]}"
small+=(--mtdparts "1M(NFTL_Part),-(userdata)")
expect_rc 0 "$NYX" import bad.img "${small[@]}" -p media -i sector.bin
expect_rc 0 "$NYX" info bad.img "${small[@]}" --json
json_check "media, user = parts
assert (media['status'], media['bad_blocks'], media['blocks']) == ('formatted', 2, 64), media
assert user['status'] == 'unformatted', user" "small chip"
echo "info ok"
