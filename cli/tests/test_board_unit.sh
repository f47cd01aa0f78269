#!/usr/bin/env bash
# The board's boot-time helper (packaging/nyx-nftl-nbd, run by
# nyx-nftl.service) with stubs for nbd-client and modprobe first on PATH:
# it waits for the server's socket and gives up with a message, connects
# every EXPORT=DEVICE pair (a failing one reported, the others connected),
# refuses a malformed pair, and disconnects each device.
HELPER="$(cd "$(dirname "$0")/../.." && pwd)/packaging/nyx-nftl-nbd"
source "$(dirname "$0")/common.bash"
mkdir stubs
printf '#!/bin/sh\necho "nbd-client $*" >>"$CALLS"\ncase "$*" in *nbd9*) exit 1 ;; esac\n' >stubs/nbd-client
printf '#!/bin/sh\necho "modprobe $*" >>"$CALLS"\n' >stubs/modprobe
chmod +x stubs/*
export PATH="$PWD/stubs:$PATH" CALLS="$PWD/calls" NYX_NFTL_NBD_WAIT=1
sock="$PWD/nyx.sock"

expect_cmd 1 "no server socket $sock after 1 s" "$HELPER" connect "$sock" data=/dev/nbd0
[ ! -e calls ] || fail "something ran without a socket: $(cat calls)"
expect_cmd 2 "'data' is not EXPORT=/dev/nbdN" "$HELPER" connect "$sock" data

python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$sock"
expect_cmd 1 "cannot connect export cache to /dev/nbd9" \
  "$HELPER" connect "$sock" data=/dev/nbd0 cache=/dev/nbd9 system=/dev/nbd1
grep -qxF "nbd-client -unix $sock /dev/nbd1 -N system" calls || fail "not all connected: $(cat calls)"
[ -e /dev/nbd0 ] || grep -qx "modprobe nbd" calls || fail "nbd not loaded: $(cat calls)"
rm calls
expect_rc 0 "$HELPER" disconnect "$sock" data=/dev/nbd0 system=/dev/nbd1
[ "$(cat calls)" = "$(printf 'nbd-client -d /dev/nbd0\nnbd-client -d /dev/nbd1')" ] || fail "disconnect: $(cat calls)"
