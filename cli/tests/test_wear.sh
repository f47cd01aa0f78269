#!/usr/bin/env bash
# wear writes an SVG with one cell per block of the partition (and a PNG when
# asked), and prints a histogram that counts the blocks.
source "$(dirname "$0")/common.bash"

expect_rc 0 "$NYX" mkimage nand.img --bad-blocks 520,700
head -c 2097152 /dev/urandom > in.bin
expect_rc 0 "$NYX" import nand.img -p data -i in.bin
expect_rc 0 "$NYX" import nand.img -p data -i in.bin

expect_rc 0 "$NYX" wear nand.img -p data -o wear.svg
[ "$(grep -o 'class="block"' wear.svg | wc -l)" = 512 ] || fail "not one cell per block"
[ "$(grep -o 'data-kind="bad"' wear.svg | wc -l)" = 2 ] || fail "bad blocks not told apart"
[ "$(grep -o 'data-kind="current"' wear.svg | wc -l)" = 1 ] || fail "no single current block"
grep -q 'data-kind="free"' wear.svg || fail "no free blocks"
grep -q 'data-kind="full"' wear.svg || fail "no full blocks"
grep -q 'erase count min' wear.svg || fail "no legend"
python3 -c "import xml.dom.minidom,sys; xml.dom.minidom.parse(sys.argv[1])" wear.svg \
  || fail "SVG is not well-formed XML"
expect_out "erase counts of"
# The histogram's counts add up to the blocks it covers (free, current, full).
total=$(grep -E '^ *[0-9-]+ *\|' out.txt | awk '{s += $NF} END {print s}')
[ "$total" = 509 ] || fail "histogram counts $total blocks, expected 509"

expect_rc 1 "$NYX" wear nand.img -p media -o m.svg
expect_err "unformatted"

expect_rc 0 "$NYX" wear nand.img -p userdata --format png -o wear.png
[ "$(head -c 8 wear.png | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "not a PNG"
expect_rc 0 "$NYX" wear nand.img -p userdata
[ -s nand.img.userdata.wear.svg ] || fail "default output not written"
echo "wear ok"
