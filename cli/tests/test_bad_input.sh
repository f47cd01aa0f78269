#!/usr/bin/env bash
# Each bad input gives its clear error and exit code, and leaves the image
# unchanged.
source "$(dirname "$0")/common.bash"

expect_rc 0 "$NYX" mkimage nand.img
head -c 65536 /dev/urandom > in.bin
expect_rc 0 "$NYX" import nand.img -p data -i in.bin
before="$(hash_of nand.img)"

# Wrong geometry.
expect_cmd 1 "wrong geometry" "$NYX" info nand.img --page-size 4096
expect_cmd 1 "wrong geometry" "$NYX" import nand.img --page-size 4096 -p data -i in.bin
expect_cmd 1 "1000 blocks" "$NYX" check nand.img --blocks 1000
# A value wrong in itself is a wrong command line (2) for every command; one
# that does not fit the image is not (1).
for cmd in "mkimage new.img" "info nand.img" "check nand.img" "export nand.img -p data -o x.bin" \
  "serve nand.img --socket s.sock"; do
  expect_cmd 2 "bad geometry" "$NYX" $cmd --page-size 1000
  expect_cmd 2 "bad --mtdparts" "$NYX" $cmd --mtdparts "32M(system),bogus"
done
expect_cmd 1 "bad --mtdparts" "$NYX" import nand.img --mtdparts "200M(big)" -p big -i in.bin
# mkimage checks its options before it makes the file, and removes a file
# it made when it fails later; a file it did not make stays.
while read -r code text args; do
  expect_cmd "$code" "$text" "$NYX" mkimage new.img $args
  [ ! -e new.img ] || fail "mkimage $args left new.img behind"
done <<'EOF'
2 65535 --blocks 70000
2 between --bad-rate nan
2 beyond --mtdparts 200M(x) --format
1 small --bad-rate 1 --format
EOF
cp nand.img kept.img
expect_cmd 1 "small" "$NYX" mkimage kept.img --force --bad-rate 1 --format
[ -e kept.img ] || fail "mkimage removed a file it did not make"
expect_unchanged nand.img "$before" "a wrong geometry or partition list"

# Unknown partition.
expect_cmd 2 'unknown partition "nosuch"' "$NYX" export nand.img -p nosuch -o x.bin
expect_err "userdata (disk data)"
expect_cmd 2 "unknown partition" "$NYX" import nand.img -p nosuch -i in.bin
expect_unchanged nand.img "$before" "an unknown partition"

# Input larger than the disk: expect_cmd before anything is written.
head -c $((114688 * 512 + 512)) /dev/zero > big.bin
expect_cmd 1 "larger than the disk" "$NYX" import nand.img -p data -i big.bin
# Also for a blank partition, which an attach would format.
expect_cmd 1 "larger than the disk" "$NYX" import nand.img -p cache -i big.bin
expect_unchanged nand.img "$before" "a too large input"
expect_cmd 1 "cannot open" "$NYX" import nand.img -p data -i missing.bin

# selftest without --yes.
expect_cmd 2 "--yes" "$NYX" selftest nand.img -p data
expect_unchanged nand.img "$before" "selftest without --yes"

# Usage errors.
expect_rc 2 "$NYX"
expect_cmd 2 "'frobnicate' is not a command; commands: mkimage" "$NYX" frobnicate
expect_rc 2 "$NYX" info
expect_rc 2 "$NYX" debug nand.img -p data nosuchattr
expect_rc 2 "$NYX" info nand.img --page-size abc
expect_rc 0 "$NYX" --help
expect_cmd 0 "--partition" "$NYX" wear --help

# No debug class on system and cache.
expect_cmd 2 "has no debug class" "$NYX" debug nand.img -p system part
expect_unchanged nand.img "$before" "debug on system"

# A truncated image.
cp nand.img short.img
truncate -s -1000 short.img
short="$(hash_of short.img)"
expect_cmd 1 "truncated image" "$NYX" info short.img
expect_cmd 1 "truncated image" "$NYX" import short.img -p data -i in.bin
expect_unchanged short.img "$short" "a truncated image"
expect_cmd 1 "cannot open image" "$NYX" info nosuch.img

# An image file the user may not write: commands that change it are refused
# and the file is left as it was; reading it still works. Root may write any
# file, so this runs as an unprivileged user where setpriv allows it.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  chmod 755 "$WORK"
  cp nand.img ro.img
  chmod 0444 ro.img in.bin
  ro="$(hash_of ro.img)"
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  expect_cmd 1 "ro.img" "${as_nobody[@]}" "$NYX" import ro.img -p data -i in.bin
  expect_rc 0 "${as_nobody[@]}" "$NYX" info ro.img
  expect_unchanged ro.img "$ro" "a read-only image file"
fi
echo "bad input ok"
