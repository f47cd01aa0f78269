#!/usr/bin/env bash
# Commands that only read leave the image's bytes unchanged, attach and
# format of blank partitions included.
source "$(dirname "$0")/common.bash"

expect_rc 0 "$NYX" mkimage nand.img --bad-blocks 3,600
head -c 524288 /dev/urandom > in.bin
expect_rc 0 "$NYX" import nand.img -p data -i in.bin
before="$(hash_of nand.img)"

expect_rc 0 "$NYX" info nand.img
expect_unchanged nand.img "$before" "info"
expect_rc 0 "$NYX" info nand.img --json
expect_unchanged nand.img "$before" "info --json"
expect_rc 0 "$NYX" check nand.img
expect_unchanged nand.img "$before" "check"
expect_rc 0 "$NYX" check nand.img --json
expect_unchanged nand.img "$before" "check --json"
# Exporting a blank partition attaches (and so formats) it in memory only.
expect_rc 0 "$NYX" export nand.img -p system -o system.bin
expect_unchanged nand.img "$before" "export of a blank partition"
expect_rc 0 "$NYX" export nand.img -p data -o data.bin
expect_unchanged nand.img "$before" "export"
expect_rc 0 "$NYX" wear nand.img -p data -o wear.svg
expect_unchanged nand.img "$before" "wear"
expect_rc 0 "$NYX" wear nand.img -p data -o wear.png
expect_unchanged nand.img "$before" "wear --format png"
for attr in part list; do
  expect_rc 0 "$NYX" debug nand.img -p data "$attr"
  expect_unchanged nand.img "$before" "debug $attr"
done
expect_rc 0 "$NYX" debug nand.img -p data table 0
expect_unchanged nand.img "$before" "debug table"
echo "readonly ok"
