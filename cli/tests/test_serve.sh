#!/usr/bin/env bash
# serve refuses, before it announces anything, whatever would make the
# server fail or harm the flash (a wrong geometry, no served partition, an
# image another process writes, a live or foreign socket, TCP beyond
# loopback without TLS); it serves the disks the banner lists, from the
# build tree and installed; writers beside it are refused and readers work;
# after kill -9 the next server starts at once; Ctrl-C with a client
# connected says what it waits for and a second one stops it; TLS-PSK.
source "$(dirname "$0")/common.bash"

expect_rc 0 "$NYX" mkimage nand.img
expect_rc 0 "$NYX" mkimage other.img
expect_cmd 1 "wrong geometry" "$NYX" serve nand.img --page-size 4096 --socket s.sock
NYX_NFTL_PLUGIN=/nonexistent/plugin.so expect_cmd 1 "plugin not found" "$NYX" serve nand.img --socket s.sock
expect_cmd 2 "not both" "$NYX" serve nand.img --socket s.sock --port 10809 --dry-run
expect_cmd 2 "not a loopback address" "$NYX" serve nand.img --port 0 --bind 192.0.2.1 --dry-run
expect_cmd 2 "needs --tls-psk" "$NYX" serve nand.img --port 0 --tls require --dry-run
expect_cmd 1 "nothing to serve" "$NYX" serve nand.img --mtdparts '-(other)' --socket s.sock --dry-run
touch plain
expect_cmd 1 "not a socket" "$NYX" serve nand.img --socket plain --dry-run
[ -f plain ] || fail "serve removed a file that is not a socket"

if [ -n "${NYX_SANITIZE:-}" ]; then
  echo "serve: skipped under sanitizers (nbdkit would need the runtime preloaded)"
  exit 77
fi
plugin="$(dirname "$NYX")/../nbd/nbdkit-nyx-plugin.so"
if ! command -v nbdkit >/dev/null || ! command -v nbdinfo >/dev/null || ! command -v nbdcopy >/dev/null || [ ! -f "$plugin" ]; then
  echo "serve: skipped (nbdkit, nbdinfo, nbdcopy or the plugin missing)"
  exit 77
fi

expect_cmd 0 "export data     56 MiB (114688 sectors), partition userdata, read-only" \
  "$NYX" serve nand.img --port 10809 --readonly --dry-run
expect_out "'readonly=true'"
expect_out "'mtdparts=32M(system),16M(cache),16M(NFTL_Part),-(userdata)'"
expect_cmd 0 "'--tls=require'" "$NYX" serve nand.img --port 0 --bind 192.0.2.1 --insecure --tls-psk plain --dry-run

# A read-only image file is refused before the banner, not by nbdkit after it.
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ "$(id -u)" = 0 ] && command -v setpriv > /dev/null && chmod 755 "$WORK" \
  && "${nobody[@]}" test -x "$NYX" -a -r "$plugin" -a -x "$WORK"; then
  cp nand.img ro.img && chmod 444 ro.img
  expect_cmd 1 "serve it with --readonly" "${nobody[@]}" "$NYX" serve "$WORK/ro.img" --socket "$WORK/ro.sock"
  [ ! -s out.txt ] || fail "serve announced a server it could not start"
fi

if [ -n "${NYX_CROSS:-}" ]; then
  echo "serve: the rows with a running server skipped: the host's nbdkit cannot load a $NYX_CROSS plugin"
  exit 0
fi

# start TOOL ARGS...: TOOL serves in the background ($pid) until its banner is out.
start() {
  local tool="$1"
  shift
  env -u NYX_NFTL_PLUGIN "$tool" serve "$@" > serve.out 2> serve.err &
  pid=$!
  for _ in $(seq 100); do grep -q "^stop with" serve.out && return; sleep 0.1; done
  cat serve.out serve.err >&2
  fail "serve did not start"
}
# serve_list TOOL: TOOL serves nand.img with the plugin its own lookup
# finds, and nbdinfo lists the four disks at the sizes the banner gave.
serve_list() {
  start "$1" nand.img --socket "$WORK/s.sock"
  nbdinfo --list "nbd+unix:///?socket=$WORK/s.sock" > list.txt 2>&1 || { kill $pid; cat list.txt >&2; fail "nbdinfo"; }
  kill -TERM $pid
  wait $pid
  for pair in system:29360128:28 cache:12582912:12 media:12582912:12 data:58720256:56; do
    IFS=: read -r e size mib <<< "$pair"
    grep -A6 "^export=\"$e\":" list.txt | grep -m1 "export-size:" | grep -q "export-size: $size " \
      || { cat list.txt >&2; fail "export $e not listed with $size bytes"; }
    grep -Eq "export $e +$mib MiB \($((size / 512)) sectors\)" serve.out || fail "banner lacks $e"
  done
  grep -q "nbdinfo --list" serve.out || fail "no connection hint"
}
serve_list "$NYX"

# One writer: a second server, and every command that writes, is refused
# while the first serves; the image is untouched by them, readers work and
# see the flushed writes.
head -c 1048576 /dev/urandom > d.bin
start "$NYX" nand.img --socket "$WORK/s.sock"
nbdcopy d.bin "nbd+unix:///data?socket=$WORK/s.sock" || fail "nbdcopy"
sleep 0.5
before="$(hash_of nand.img)"
cp serve.out first.out
expect_cmd 1 "being served by another process" "$NYX" serve other.img --socket s.sock
expect_cmd 1 "is in use by another process" "$NYX" serve nand.img --socket s2.sock
expect_cmd 1 "is in use by another process" "$NYX" import nand.img -p cache -i d.bin
expect_cmd 1 "is in use by another process" "$NYX" selftest nand.img -p data --yes
expect_cmd 1 "is in use by another process" "$NYX" debug nand.img -p data gcall
expect_cmd 1 "is in use by another process" "$NYX" mkimage nand.img --force
expect_unchanged nand.img "$before" "the refused writers"
[ ! -e s2.sock ] || fail "a refused server left its socket"
expect_rc 0 "$NYX" check nand.img
expect_rc 0 "$NYX" export nand.img -p data -o out.bin
cmp -n 1048576 d.bin out.bin || fail "a reader beside the server did not see its flushed writes"
expect_unchanged nand.img "$before" "the readers"

# kill -9 of the server and its watcher leaves a stale socket: the next
# server replaces it and takes the image at once; the flushed data is there.
kill -KILL $(pgrep -P $pid)
kill -KILL $pid
wait $pid 2>/dev/null
[ -S s.sock ] || fail "no stale socket to replace"
start "$NYX" nand.img --socket "$WORK/s.sock"
nbdcopy "nbd+unix:///data?socket=$WORK/s.sock" out2.bin || fail "nbdcopy after kill -9"
cmp -n 1048576 d.bin out2.bin || fail "flushed data lost to kill -9"

# Ctrl-C with a client connected: the watcher says what it waits for; a
# second Ctrl-C stops the server, and the socket goes.
python3 -c "
import socket, time
s = socket.socket(socket.AF_UNIX); s.connect('$WORK/s.sock'); s.recv(18)
open('$WORK/connected', 'w').close(); time.sleep(30)" &
client=$!
for _ in $(seq 100); do [ -e connected ] && break; sleep 0.1; done
[ -e connected ] || fail "the client did not connect"
watcher=$(pgrep -P $pid)
kill -INT $pid $watcher
for _ in $(seq 50); do grep -q "waiting for the connected clients" serve.err && break; sleep 0.1; done
expect_err_file() { grep -qF -- "$1" serve.err || { cat serve.err >&2; fail "serve's stderr lacks '$1'"; }; }
expect_err_file "waiting for the connected clients"
kill -0 $pid || fail "the server stopped with a client connected"
kill -INT $watcher
wait $pid 2>/dev/null
kill $client
for _ in $(seq 30); do [ -e s.sock ] || break; sleep 0.1; done
[ ! -e s.sock ] || fail "the socket was left behind"
expect_rc 0 "$NYX" check nand.img

# TLS with a pre-shared key: required, a client without the key is refused.
echo "alice:$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')" > keys.psk
start "$NYX" nand.img --port 0 --tls-psk keys.psk
port=$(sed -n 's/^listening on 127.0.0.1 port \([0-9]*\).*/\1/p' serve.out)
[ -n "$port" ] && [ "$port" != 0 ] || fail "no real port in the banner"
nbdinfo --size "nbds://alice@127.0.0.1:$port/data?tls-psk-file=$WORK/keys.psk" > size.txt || fail "TLS-PSK client"
[ "$(cat size.txt)" = 58720256 ] || fail "TLS-PSK client read the wrong size"
if nbdinfo --size "nbd://127.0.0.1:$port/data" > /dev/null 2>&1; then fail "a client without TLS was served"; fi
kill -TERM $pid
wait $pid

# Installed under a staging prefix, the tool reports the plugin's version
# and serves with the plugin installed beside it.
cmake --install "${NYX_BUILD_DIR:-$(dirname "$NYX")/..}" --prefix "$WORK/inst" > /dev/null || fail "cmake --install"
version="$(nbdkit "$plugin" --version | sed -n 's/^nyx //p')"
expect_cmd 0 "nyx-nftl ${version:?the plugin reports no version}" "$WORK/inst/bin/nyx-nftl" --version
serve_list "$WORK/inst/bin/nyx-nftl"
grep -qF "'$WORK/inst/" serve.out || fail "the installed tool did not run the installed plugin"
expect_rc 0 "$NYX" check nand.img
echo "serve ok"
