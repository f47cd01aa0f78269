#!/usr/bin/env bash
# The board's boot-time helper (packaging/nyx-nftl-nbd, run by
# nyx-nftl.service) with stubs for nbd-client and modprobe first on PATH:
# it waits for the server's socket and gives up with a message, connects
# every EXPORT=DEVICE pair (a failing one reported, the others connected),
# refuses a malformed pair, and disconnects each device.
HELPER="$(cd "$(dirname "$0")/../.." && pwd)/packaging/nyx-nftl-nbd"
source "$(dirname "$0")/common.bash"
mkdir stubs
cat >stubs/nbd-client <<'STUB'
#!/bin/sh
echo "nbd-client $*" >>"$CALLS"
case "$*" in *nbd9*) exit 1 ;; esac
STUB
printf '#!/bin/sh\necho "modprobe $*" >>"$CALLS"\n' >stubs/modprobe
chmod +x stubs/*
export PATH="$PWD/stubs:$PATH" CALLS="$PWD/calls" NYX_NFTL_NBD_WAIT=1
sock="$PWD/nyx.sock"

expect_cmd 1 "no server socket $sock after 1 s" "$HELPER" connect "$sock" data=/dev/nbd0
[ ! -e calls ] || fail "something ran without a socket: $(cat calls)"
expect_cmd 2 "'data' is not EXPORT=/dev/nbdN" "$HELPER" connect "$sock" data
expect_cmd 2 "usage:" "$HELPER" attach "$sock"

python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$sock"
expect_cmd 1 "cannot connect export cache to /dev/nbd9" \
  "$HELPER" connect "$sock" data=/dev/nbd0 cache=/dev/nbd9 system=/dev/nbd1
for want in "nbd-client -unix $sock /dev/nbd0 -N data" "nbd-client -unix $sock /dev/nbd1 -N system"; do
  grep -qxF "$want" calls || fail "not run: $want (ran: $(cat calls))"
done
if [ -e /dev/nbd0 ]; then want_modprobe=0; else want_modprobe=1; fi
[ "$(grep -c '^modprobe nbd$' calls)" = "$want_modprobe" ] || fail "modprobe nbd: $(cat calls)"

rm calls
expect_rc 0 "$HELPER" disconnect "$sock" data=/dev/nbd0 system=/dev/nbd1
[ "$(cat calls)" = "$(printf 'nbd-client -d /dev/nbd0\nnbd-client -d /dev/nbd1')" ] ||
  fail "disconnect ran: $(cat calls)"
echo "board unit helper: ok"
