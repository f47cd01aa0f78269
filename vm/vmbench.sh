#!/usr/bin/env bash
# vm/vmbench.sh [--server CMD] [--random-count N] [--span SIZE] [--seed N]
#               [--churn SIZE] [--churn-only] [--churn-used]
# Host wrapper of the side-by-side benchmark: the kernel's mtdblock against
# the server given with --server (over NBD), on two equal partitions of one
# nandsim chip with its timing model on, in one guest boot; then, with
# --server, ext4 over the server's disk under a file churn without trim,
# with -o discard and with fstrim. The guest part, its design and the
# --server contract: vm/vmbench-guest.sh.
#
# Builds what the guest needs (the test-only module, vm/build-module.sh; the
# static workload helper vm/tools/randwrite.c -> $VM_CACHE/bin/randwrite),
# boots with log_buf_len=16M (room for the nandsim erase log), and prints
# the final tables. The guest's whole output is kept in the results folder
# (guest-output.txt); VM_BENCH_VERBOSE=1 prints it as well. Exit status: the
# guest's (1 when a check failed, 124 on timeout).
# Environment: VM_TIMEOUT (default 900 s) and the other run-guest.sh knobs.
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
export VM_CACHE=${VM_CACHE:-$repo/build/vm-cache}

"$here/build-module.sh" >/dev/null
mkdir -p "$VM_CACHE/bin"
rw="$VM_CACHE/bin/randwrite"
if [ ! -x "$rw" ] || [ "$here/tools/randwrite.c" -nt "$rw" ]; then
  gcc -O2 -Wall -Wextra -Werror -static -o "$rw.tmp.$$" "$here/tools/randwrite.c"
  mv "$rw.tmp.$$" "$rw"
fi

out=${VM_OUT:-$VM_CACHE/runs/vmbench-$(date +%Y%m%d-%H%M%S)-$$}
mkdir -p "$out"
rc=0
VM_OUT=$out VM_TIMEOUT=${VM_TIMEOUT:-900} VM_APPEND="log_buf_len=16M ${VM_APPEND:-}" \
  "$here/run-guest.sh" "$here/vmbench-guest.sh" "$@" >"$out/guest-output.txt" || rc=$?
if [ "${VM_BENCH_VERBOSE:-0}" = 1 ] || [ "$rc" -ne 0 ]; then
  cat "$out/guest-output.txt"
fi
if [ "$rc" -eq 0 ] && [ -f "$out/vmbench-table.txt" ]; then
  grep -E '^(FAIL|server)' "$out/guest-output.txt" || true
  echo
  cat "$out/vmbench-table.txt"
fi
exit "$rc"
