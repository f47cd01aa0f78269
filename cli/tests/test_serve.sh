#!/usr/bin/env bash
# serve checks its image before starting nbdkit, prints how to connect, and
# serves the four disks on a unix socket (nbdinfo lists them), from the build
# tree and installed.
source "$(dirname "$0")/common.bash"

expect_rc 0 "$NYX" mkimage nand.img
expect_cmd 2 "--socket" "$NYX" serve nand.img
expect_cmd 1 "wrong geometry" "$NYX" serve nand.img --page-size 4096 --socket s.sock
NYX_NFTL_PLUGIN=/nonexistent/plugin.so expect_cmd 1 "plugin not found" "$NYX" serve nand.img --socket s.sock

if [ -n "${NYX_SANITIZE:-}" ]; then
  echo "serve: skipped under sanitizers (nbdkit would need the runtime preloaded)"
  exit 77
fi
plugin="$(dirname "$NYX")/../nbd/nbdkit-nyx-plugin.so"
if ! command -v nbdkit >/dev/null || ! command -v nbdinfo >/dev/null || [ ! -f "$plugin" ]; then
  echo "serve: skipped (nbdkit, nbdinfo or the plugin missing)"
  exit 77
fi

expect_cmd 0 "nbdinfo --list" "$NYX" serve nand.img --port 10809 --readonly --dry-run
expect_out "-i' '127.0.0.1'"
expect_out "'readonly=true'"
expect_out "'mtdparts=32M(system),16M(cache),16M(NFTL_Part),-(userdata)'"
expect_rc 2 "$NYX" serve nand.img --socket s.sock --port 10809 --dry-run

# serve_list TOOL: TOOL serves nand.img with the plugin its own lookup
# finds, and nbdinfo lists the four disks at their sizes.
serve_list() {
  rm -f s.sock
  env -u NYX_NFTL_PLUGIN "$1" serve nand.img --socket "$WORK/s.sock" > serve.out 2> serve.err &
  local pid=$!
  for _ in $(seq 100); do [ -S s.sock ] && break; sleep 0.1; done
  [ -S s.sock ] || { cat serve.out serve.err >&2; kill $pid; fail "no socket"; }
  nbdinfo --list "nbd+unix:///?socket=$WORK/s.sock" > list.txt 2>&1 || { kill $pid; cat list.txt >&2; fail "nbdinfo"; }
  kill -TERM $pid
  wait $pid
  for pair in system:29360128 cache:12582912 media:12582912 data:58720256; do
    e="${pair%%:*}"
    size="${pair#*:}"
    grep -A6 "^export=\"$e\":" list.txt | grep -m1 "export-size:" | grep -q "export-size: $size " \
      || { cat list.txt >&2; fail "export $e not listed with $size bytes"; }
  done
  grep -q "nbdinfo --list" serve.out || fail "no connection hint"
}
serve_list "$NYX"

# Installed under a staging prefix, the tool reports the plugin's version
# and serves with the plugin installed beside it.
cmake --install "${NYX_BUILD_DIR:-$(dirname "$NYX")/..}" --prefix "$WORK/inst" > /dev/null || fail "cmake --install"
version="$(nbdkit "$plugin" --version | sed -n 's/^nyx //p')"
expect_cmd 0 "nyx-nftl ${version:?the plugin reports no version}" "$WORK/inst/bin/nyx-nftl" --version
serve_list "$WORK/inst/bin/nyx-nftl"
grep -qF "'$WORK/inst/" serve.out || fail "the installed tool did not run the installed plugin"
expect_rc 0 "$NYX" check nand.img
echo "serve ok"
