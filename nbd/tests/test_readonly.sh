# A read-only export refuses writes with an error and leaves the image's
# bytes as they were; bad images and bad parameters stop the server at
# startup with a clear error.
source "$(dirname "$0")/lib.sh"
need nbdkit nbdcopy qemu-io

make_image
start_server
head -c $((SECTORS[cache] * 512)) /dev/urandom >"$tmp/cache.in"
nbdcopy --flush "$tmp/cache.in" "$(uri cache)"
stop_server
before=$(sha_of "$img")

check_read_only() {
  if qemu-io -f raw "$(uri data)" -c 'write -P 0x12 0 4096' >"$tmp/w.out" 2>&1 &&
    ! grep -qi "error\|denied\|read-only\|fail" "$tmp/w.out"; then
    fail "$1: a write was accepted"
  fi
  if nbdcopy "$tmp/cache.in" "$(uri cache)" 2>"$tmp/copy.err"; then
    fail "$1: nbdcopy to a read-only export succeeded"
  fi
  nbdcopy "$(uri cache)" "$tmp/cache.out"
  [ "$(sha_of "$tmp/cache.in")" = "$(sha_of "$tmp/cache.out")" ] || fail "$1: reads differ"
}

# readonly=true maps the image privately and refuses writes.
start_server readonly=true
nbdinfo --json "$(uri data)" | grep -q '"is_read_only": true' || fail "readonly=true: export is writable"
check_read_only readonly=true
stop_server
[ "$(sha_of "$img")" = "$before" ] || fail "readonly=true changed the image"

# nbdkit -r refuses writes too.
NBDKIT_OPTS=-r start_server
check_read_only "nbdkit -r"
stop_server
[ "$(sha_of "$img")" = "$before" ] || fail "nbdkit -r changed the image"

# Startup errors: nbdkit exits with an error and a message, before serving.
expect_startup_error() {
  local what=$1 pattern=$2
  shift 2
  if nbdkit --foreground -U "$sock" "$PLUGIN" "$@" >"$tmp/start.err" 2>&1; then
    fail "$what: nbdkit started"
  fi
  grep -qi -- "$pattern" "$tmp/start.err" || { cat "$tmp/start.err" >&2; fail "$what: unclear error"; }
}

cp "$img" "$tmp/short.img"
truncate -s -1000 "$tmp/short.img"
expect_startup_error "truncated image" "truncated" image="$tmp/short.img"
expect_startup_error "wrong geometry" "not a whole number of raw erase blocks" image="$img" page-size=4096
expect_startup_error "blocks not matching the file" "geometry needs" image="$img" blocks=2048
expect_startup_error "missing image" "No such file" image="$tmp/none.img"
expect_startup_error "no image" "image parameter is required"
expect_startup_error "unknown parameter" "unknown parameter 'colour'" image="$img" colour=blue
expect_startup_error "bad mtdparts" "mtdparts\|partition" image="$img" 'mtdparts=200M(system),-(userdata)'
expect_startup_error "bad number" "page-size" image="$img" page-size=lots
expect_startup_error "unknown collection policy" "unknown collection policy 'bogus'" image="$img" gc-policy=bogus
[ "$(sha_of "$img")" = "$before" ] || fail "a refused start changed the image"

echo "PASS"
