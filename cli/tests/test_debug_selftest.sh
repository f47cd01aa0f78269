#!/usr/bin/env bash
# debug prints the attributes' log lines; gcone and gcall change the image
# and leave it consistent; selftest runs with --yes and leaves a partition
# that checks clean.
source "$(dirname "$0")/common.bash"

expect_cmd 0 "formatted userdata" "$NYX" mkimage fmt.img --format
[ ! -s err.txt ] || fail "mkimage --format printed log lines"
expect_rc 0 "$NYX" mkimage nand.img
head -c 1048576 /dev/urandom > in.bin
expect_rc 0 "$NYX" import nand.img -p media -i in.bin
expect_rc 0 "$NYX" import nand.img -p media -i in.bin

expect_cmd 0 "part->logic_cap_in_sects: 24576 " "$NYX" debug nand.img -p media part
expect_out "part->nand_chip->blk_per_chip: 128 "
# The mount's own lines stay out of the output.
! grep -q "nftl start" out.txt || fail "mount lines printed"
expect_cmd 0 "free list" "$NYX" debug nand.img -p NFTL_Part list
expect_rc 0 "$NYX" debug nand.img -p media table 100
[ "$(grep -c '^page:' out.txt)" = 512 ] || fail "table did not print 512 entries"
head -1 out.txt | grep -q "^page: 100 ->" || fail "table does not start at 0x100"
# --verbose shows the mount's lines on stderr.
expect_rc 0 "$NYX" --verbose debug nand.img -p media part
expect_err "nftl start"

# Collection by hand changes the image and keeps it consistent.
before="$(hash_of nand.img)"
expect_rc 0 "$NYX" debug nand.img -p media gcall
expect_cmd 0 "NFTL_Part: clean" "$NYX" check nand.img
expect_rc 0 "$NYX" export nand.img -p media -o out.bin
cmp -n 1048576 in.bin out.bin || fail "data lost by gcall"
expect_rc 0 "$NYX" debug nand.img -p media gcone
expect_rc 0 "$NYX" check nand.img
# A blank partition is not formatted by a collection request.
blank="$(hash_of nand.img)"
expect_cmd 1 "unformatted" "$NYX" debug nand.img -p data gcone
expect_unchanged nand.img "$blank" "gcone on a blank partition"

# Self-tests: a summary; the layer's lines only with --verbose, on stderr.
expect_cmd 0 "test0 passed: 128 of 128 blocks" "$NYX" selftest nand.img -p media --yes --test 0
! grep -q "ok block\|nftl start" out.txt err.txt || fail "selftest printed log lines"
expect_cmd 0 "test1 passed: 6144 logical pages" "$NYX" -v selftest nand.img -p media --yes --test 1
expect_err "test1 ok ! end page: 6144"
expect_cmd 0 "NFTL_Part: clean" "$NYX" check nand.img
[ "$before" != "$(hash_of nand.img)" ] || fail "selftest did not write the image"
echo "debug and selftest ok"
