#!/usr/bin/env bash
# import then export gives back the same bytes; check is clean after each;
# the import goes through the disk name and the export through the MTD name.
source "$(dirname "$0")/common.bash"

expect_cmd 0 "1024 blocks" "$NYX" mkimage nand.img
expect_cmd 1 "exists" "$NYX" mkimage nand.img

head -c 1048576 /dev/urandom > in.bin
expect_rc 0 "$NYX" import nand.img --partition data --input in.bin
expect_cmd 0 "userdata: clean" "$NYX" check nand.img
expect_out "no problems found"

expect_rc 0 "$NYX" export nand.img --partition userdata --output out.bin
[ "$(stat -c %s out.bin)" = $((114688 * 512)) ] || fail "export is not the whole disk"
cmp -n 1048576 in.bin out.bin || fail "exported bytes differ from the imported ones"
expect_rc 0 "$NYX" check nand.img

# A second import that ends inside a sector keeps the disk's bytes after it.
head -c 1000 /dev/urandom > small.bin
expect_rc 0 "$NYX" import nand.img -p data -i small.bin
expect_rc 0 "$NYX" export nand.img -p data -o out2.bin
cmp -n 1000 small.bin out2.bin || fail "short import not written"
cmp -i 1000:1000 -n $((1048576 - 1000)) in.bin out2.bin || fail "bytes after a short import changed"
expect_rc 0 "$NYX" check nand.img

# The media partition, imported through its disk name.
head -c 300000 /dev/urandom > media.bin
expect_rc 0 "$NYX" import nand.img -p media -i media.bin
expect_rc 0 "$NYX" export nand.img -p NFTL_Part -o media.out
cmp -n 300000 media.bin media.out || fail "media round trip differs"
expect_cmd 0 "NFTL_Part: clean" "$NYX" check nand.img
echo "roundtrip ok"
