# shellcheck shell=bash
# vm/tests/lib.sh — helpers for guest scripts run by vm/run-guest.sh.
# Source it (bash): . "$(dirname "$0")/lib.sh"
#
#   check DESC CMD...      runs CMD; counts and prints a pass or a failure, and
#                          returns 1 on a failure (a guard can rest on it)
#   check_eq DESC WANT GOT compares two strings
#   fact KEY VALUE         prints and records a fact in $VM_OUT/facts.txt
#   nandsim_load [PARAMS]  (re)loads nandsim as the 128 MiB chip (2048+64,
#                          128 KiB blocks) with extra module PARAMS
#   nandsim_unload         unloads mtdblock and nandsim
#   finish                 prints "N passed, N failed" and exits 1 on failures
# Serving, with NYX (the tool), SERVE_ARGS (an array: its image arguments),
# SOCK, tmp and mnt (exported) set by the script:
#   up / down              serve and attach /dev/nbd0 to the data disk /
#                          detach it and stop the server in order (SIGTERM)
#   server_start, server_stop, nbd_up, nbd_down   the halves of those
#   make_tree / same_tree  a tree of files under $mnt/tree and its manifest
#                          ($tmp/manifest) / compare the files with it

NANDSIM_ID=${NANDSIM_ID:-0xec,0xa1,0x00,0x15}

_passed=0
_failed=0

check() {
  local desc=$1; shift
  if "$@" >/tmp/check.out 2>&1; then
    _passed=$((_passed + 1)); echo "PASS: $desc"
  else
    _failed=$((_failed + 1)); echo "FAIL: $desc (command: $*)"; sed 's/^/    /' /tmp/check.out | tail -n 20
    return 1
  fi
}

check_eq() {
  if [ "$2" = "$3" ]; then
    _passed=$((_passed + 1)); echo "PASS: $1 ($3)"
  else
    _failed=$((_failed + 1)); echo "FAIL: $1: want '$2', got '$3'"
  fi
}

fact() {
  echo "FACT: $1 = $2"
  [ -n "${VM_OUT:-}" ] && echo "$1 = $2" >>"$VM_OUT/facts.txt"
  return 0
}

nandsim_unload() {
  rmmod mtdblock 2>/dev/null
  rmmod mtdblock_ro 2>/dev/null
  rmmod nandsim 2>/dev/null
  return 0
}

nandsim_load() {
  nandsim_unload
  modprobe nandsim id_bytes="$NANDSIM_ID" "$@"
}

server_start() {
  rm -f "$SOCK"
  "$NYX" serve "${SERVE_ARGS[@]}" --socket "$SOCK" >>"${tmp:?}/server.log" 2>&1 &
  server=$!
  for _ in $(seq 300); do [ -S "$SOCK" ] && return 0; sleep 0.1; done
  return 1
}

server_stop() {  # the orderly stop: SIGTERM once no client is connected
  kill -TERM "$server" && wait "$server"
}

nbd_up() {
  nbd-client -unix "$SOCK" /dev/nbd0 -N data >/dev/null
}

nbd_down() {
  nbd-client -d /dev/nbd0 >/dev/null
  for _ in $(seq 50); do [ "$(cat /sys/block/nbd0/size)" = 0 ] && return 0; sleep 0.1; done
  return 1
}
up() { server_start && nbd_up; }
down() { nbd_down && server_stop; }

make_tree() {
  mkdir -p "${mnt:?}/tree/a/b" "$mnt/tree/c"
  local i
  for i in $(seq 1 40); do
    head -c $((i * 7919 % 300000 + 1)) /dev/urandom >"$mnt/tree/$([ $((i % 3)) = 0 ] && echo a/b || echo c)/f$i"
  done
  head -c 8000000 /dev/urandom >"$mnt/tree/big"
  (cd "$mnt" && find tree -type f -print0 | sort -z | xargs -0 sha256sum) >"$tmp/manifest"
}
same_tree() { (cd "$mnt" && sha256sum --quiet -c "$tmp/manifest"); }
export -f make_tree same_tree

# The server stopped in order and started again: e2fsck clean, every file
# of make_tree the same.
orderly_restart() {
  check "nbd-client -d, orderly stop (SIGTERM)" down
  check "serve and attach again" up
  check "e2fsck -fn clean after the restart" e2fsck -fn /dev/nbd0
  check "every file the same after the restart" bash -c "mount -o ro /dev/nbd0 '$mnt' && same_tree; rc=\$?; umount '$mnt'; exit \$rc"
}

# kill -9 of the server after a flushed write: after a restart the write is
# there, every file the same, e2fsck clean.
kill_after_flushed_write() {
  head -c 3000000 /dev/urandom >"$tmp/flushed"
  check "write and sync (flush)" bash -c "mount /dev/nbd0 '$mnt' && cp '$tmp/flushed' '$mnt/flushed' && sync"
  kill -KILL "${server:?}"; wait "$server" 2>/dev/null
  umount -l "$mnt"
  check "nbd-client -d after the kill" nbd_down
  check "serve and attach after kill -9" up
  check "the flushed file is there" bash -c \
    "mount -o ro /dev/nbd0 '$mnt' && cmp '$tmp/flushed' '$mnt/flushed' && same_tree; rc=\$?; umount '$mnt'; exit \$rc"
  check "e2fsck -fn clean after kill -9" e2fsck -fn /dev/nbd0
}

finish() {
  echo "$_passed passed, $_failed failed"
  [ "$_failed" -eq 0 ]
  exit $?
}
