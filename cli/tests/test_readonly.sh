#!/usr/bin/env bash
# The commands that only read leave the image's bytes as they were, and the
# wear picture shows every block of the partition by kind, with a histogram.
source "$(dirname "$0")/common.bash"

expect_rc 0 "$NYX" mkimage nand.img --bad-blocks 3,520,700
head -c 2097152 /dev/urandom > in.bin
expect_rc 0 "$NYX" import nand.img -p data -i in.bin
expect_rc 0 "$NYX" import nand.img -p data -i in.bin
before="$(hash_of nand.img)"

while read -r cmd; do
  # shellcheck disable=SC2086
  expect_rc 0 "$NYX" $cmd
  expect_unchanged nand.img "$before" "$cmd"
done <<'EOF_COMMANDS'
info nand.img
info nand.img --json
check nand.img --json
export nand.img -p system -o system.bin
export nand.img -p data -o data.bin
debug nand.img -p data part
debug nand.img -p data table 0
wear nand.img -p data --format png -o wear.png
wear nand.img -p data -o wear.svg
EOF_COMMANDS

[ "$(head -c 8 wear.png | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "not a PNG"
count() { grep -o "$1" wear.svg | wc -l; }
[ "$(count 'class="block"')" = 512 ] || fail "not one cell per block"
[ "$(count 'data-kind="bad"')" = 2 ] || fail "bad blocks not told apart"
[ "$(count 'data-kind="current"')" = 1 ] || fail "no single current block"
[ "$(count 'data-kind="free"')" -gt 0 ] && [ "$(count 'data-kind="full"')" -gt 0 ] || fail "no free or no full blocks"
python3 -c "import xml.dom.minidom,sys; xml.dom.minidom.parse(sys.argv[1])" wear.svg || fail "SVG is not well-formed"
expect_out "erase counts of"
total=$(grep -E '^ *[0-9-]+ *\|' out.txt | awk '{s += $NF} END {print s}')
[ "$total" = 509 ] || fail "histogram counts $total blocks, expected 509"
expect_cmd 1 "unformatted" "$NYX" wear nand.img -p media -o m.svg

# Outputs never destroy inputs: the image itself, by its path or a link, is
# refused whatever --force says; an existing file needs --force; "-" is
# standard output.
ln -s nand.img link.img && ln nand.img hard.img && echo old > old.bin
old="$(hash_of old.bin)"
while read -r text cmd; do
  # shellcheck disable=SC2086
  expect_cmd 1 "$text" "$NYX" $cmd
  expect_unchanged nand.img "$before" "$cmd"
done <<'EOF_COMMANDS'
itself export nand.img -p data -o nand.img --force
itself export nand.img -p data -o link.img
itself wear nand.img -p data -o hard.img --force
itself import nand.img -p data -i link.img
exists export nand.img -p data -o old.bin
exists wear nand.img -p data -o old.bin
EOF_COMMANDS
expect_unchanged old.bin "$old" "a refused output"
expect_rc 0 "$NYX" export nand.img -p data -o old.bin --force
cmp -s data.bin old.bin || fail "export --force did not replace the file"
"$NYX" export nand.img -p data -o - 2>/dev/null | cmp -s - data.bin || fail "export -o - differs"
"$NYX" wear nand.img -p data -o - 2>/dev/null | cmp -s - wear.svg || fail "wear -o - differs"
[ ! -e ./- ] || fail "-o - made a file named -"
echo "readonly ok"
