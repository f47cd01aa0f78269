# shellcheck shell=bash
# vm/tests/lib.sh — helpers for guest scripts run by vm/run-guest.sh.
# Source it (bash): . "$(dirname "$0")/lib.sh"
#
#   check DESC CMD...      runs CMD; counts and prints a pass or a failure
#   check_eq DESC WANT GOT compares two strings
#   fact KEY VALUE         prints and records a fact in $VM_OUT/facts.txt
#   nandsim_load [PARAMS]  (re)loads nandsim as the 128 MiB chip (2048+64,
#                          128 KiB blocks) with extra module PARAMS
#   nandsim_unload         unloads mtdblock and nandsim
#   finish                 prints "N passed, N failed" and exits 1 on failures

NANDSIM_ID=${NANDSIM_ID:-0xec,0xa1,0x00,0x15}

_passed=0
_failed=0

check() {
  local desc=$1; shift
  if "$@" >/tmp/check.out 2>&1; then
    _passed=$((_passed + 1)); echo "PASS: $desc"
  else
    _failed=$((_failed + 1)); echo "FAIL: $desc (command: $*)"; sed 's/^/    /' /tmp/check.out | tail -n 20
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

finish() {
  echo "$_passed passed, $_failed failed"
  [ "$_failed" -eq 0 ]
  exit $?
}
