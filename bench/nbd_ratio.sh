#!/usr/bin/env bash
# The NBD figure: how long nbdcopy takes to write 56 MiB of random data into
# the "data" export of `nyx-nftl serve` (the default image's userdata
# partition: 64 MiB of flash, 56 MiB of disk) against nbdkit's own memory
# plugin of the same size, and the ratio of the two. Both servers listen on
# unix sockets; nbdcopy flushes at the end of each copy. Each side runs RUNS
# times (a fresh image each time) and the median is taken.
#
# Usage: bench/nbd_ratio.sh [BUILD_DIR]
#   BUILD_DIR  a build tree with nyx-nftl and the nbdkit plugin (default
#              build-release, configured as Release and built when missing)
#   RUNS=N     runs per side (default 3)
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
runs=${RUNS:-3}
size_mib=56

for tool in nbdkit nbdcopy; do
  command -v "$tool" >/dev/null || { echo "nbd_ratio: $tool is not installed (bash scripts/setup.sh)" >&2; exit 1; }
done
if [ ! -x "$build/cli/nyx-nftl" ] || [ ! -f "$build/nbd/nbdkit-nyx-plugin.so" ]; then
  echo "nbd_ratio: building nyx-nftl and the plugin in $build" >&2
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target nyx-nftl nbdkit-nyx-plugin >/dev/null
fi
nyx=$build/cli/nyx-nftl

tmp=$(mktemp -d "${TMPDIR:-/tmp}/nyx-nbd-ratio.XXXXXX")
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
cleanup() {
  stop_server
  rm -rf "$tmp"
}
trap cleanup EXIT

# Waits until the server started in the background listens on socket $1.
wait_for_socket() {
  for _ in $(seq 1 300); do
    [ -S "$1" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || { echo "nbd_ratio: the server did not start" >&2; cat "$tmp/server.log" >&2; exit 1; }
    sleep 0.1
  done
  echo "nbd_ratio: no socket after 30 s" >&2
  exit 1
}

# Seconds (wall clock) of one copy of the data file to URI $1.
time_copy() {
  local start end
  start=$(date +%s.%N)
  nbdcopy --flush "$tmp/data.bin" "$1" || return  # (-e does not reach into $(...))
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

median() {
  sort -g | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$tmp/data.bin"

nyx_times=()
for run in $(seq 1 "$runs"); do
  rm -f "$tmp/nand.img" "$tmp/nyx.sock"
  "$nyx" mkimage "$tmp/nand.img" >/dev/null
  NYX_NFTL_LOG=off "$nyx" serve "$tmp/nand.img" --socket "$tmp/nyx.sock" >"$tmp/server.log" 2>&1 &
  server_pid=$!
  wait_for_socket "$tmp/nyx.sock"
  nyx_times+=("$(time_copy "nbd+unix:///data?socket=$tmp/nyx.sock")")
  stop_server
done

mem_times=()
for run in $(seq 1 "$runs"); do
  rm -f "$tmp/mem.sock"
  nbdkit --foreground -U "$tmp/mem.sock" memory "${size_mib}M" >"$tmp/server.log" 2>&1 &
  server_pid=$!
  wait_for_socket "$tmp/mem.sock"
  mem_times+=("$(time_copy "nbd+unix:///?socket=$tmp/mem.sock")")
  stop_server
done

nyx_s=$(printf '%s\n' "${nyx_times[@]}" | median)
mem_s=$(printf '%s\n' "${mem_times[@]}" | median)
printf 'nbdcopy of %d MiB of random data, median of %d run(s):\n' "$size_mib" "$runs"
awk -v n="$nyx_s" -v m="$mem_s" -v mib="$size_mib" -v nr="${nyx_times[*]}" -v mr="${mem_times[*]}" 'BEGIN {
  printf "  nyx-nftl serve, export data:  %8.3f s  (%7.1f MB/s)   runs: %s\n", n, mib * 1.048576 / n, nr
  printf "  nbdkit memory plugin:         %8.3f s  (%7.1f MB/s)   runs: %s\n", m, mib * 1.048576 / m, mr
  printf "  ratio nyx / memory:           %8.2f\n", n / m }'
