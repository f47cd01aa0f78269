# nbdcopy round trips random data through every export, whole disks, and
# the data is still there after the server is stopped (SIGTERM) and served
# again. Two connections write one disk at once.
source "$(dirname "$0")/lib.sh"
need nbdkit nbdcopy

make_image
start_server

for name in "${EXPORTS[@]}"; do
  bytes=$((SECTORS[$name] * 512))
  head -c "$bytes" /dev/urandom >"$tmp/$name.in"
  nbdcopy --flush "$tmp/$name.in" "$(uri "$name")"
  nbdcopy "$(uri "$name")" "$tmp/$name.out"
  [ "$(sha_of "$tmp/$name.in")" = "$(sha_of "$tmp/$name.out")" ] || fail "$name: read back differs"
done

stop_server
start_server

for name in "${EXPORTS[@]}"; do
  nbdcopy "$(uri "$name")" "$tmp/$name.out"
  [ "$(sha_of "$tmp/$name.in")" = "$(sha_of "$tmp/$name.out")" ] ||
    fail "$name: differs after the server was served again"
done

# Several connections at once (nbdcopy's default) on one disk, with
# requests of every size up to the limit.
head -c $((SECTORS[cache] * 512)) /dev/urandom >"$tmp/cache.in"
nbdcopy --connections=4 --request-size=262144 --flush "$tmp/cache.in" "$(uri cache)"
nbdcopy --connections=4 --request-size=4096 "$(uri cache)" "$tmp/cache.out"
[ "$(sha_of "$tmp/cache.in")" = "$(sha_of "$tmp/cache.out")" ] || fail "cache: multi-connection copy differs"

stop_server
echo "PASS"
