#!/usr/bin/env bash
# import then export gives back the same bytes; check is clean after each;
# the import goes through the disk name and the export through the MTD name.
# trim: the whole pages of its range read erased at the next attach, the
# pages it covers in part and everything outside keep their bytes; bad
# ranges are refused with nothing trimmed.
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

# 2048-byte pages: 10240-12287 and 102400-104447 are trimmed in part.
expect_rc 0 "$NYX" trim nand.img -p media --offset 11k --length 90k
expect_err "44 whole pages of 2048 bytes unmapped"
expect_rc 0 "$NYX" export nand.img -p media -o trimmed.out
cmp -n 12288 media.bin trimmed.out || fail "bytes before the trimmed pages changed"
cmp -i 102400:102400 -n $((300000 - 102400)) media.bin trimmed.out || fail "bytes after it changed"
cmp -n 90112 -i 12288:0 trimmed.out <(head -c 90112 /dev/zero | tr '\0' '\377') ||
  fail "trimmed pages do not read erased"
expect_cmd 0 "NFTL_Part: clean" "$NYX" check nand.img
expect_cmd 2 "nothing trimmed" "$NYX" trim nand.img -p media --offset 100
expect_cmd 2 "nothing trimmed" "$NYX" trim nand.img -p media --length 1000
expect_cmd 2 "unknown suffix" "$NYX" trim nand.img -p media --offset 1x
expect_cmd 1 "past the end of the disk" "$NYX" trim nand.img -p media --offset 1k --length 56M
expect_rc 0 "$NYX" trim nand.img -p cache
expect_err "unformatted: every page reads erased already"
cmp -s trimmed.out <("$NYX" export nand.img -p media -o - 2>/dev/null) || fail "a refused trim changed the disk"
echo "roundtrip ok"
