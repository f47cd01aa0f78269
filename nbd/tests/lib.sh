# Shared by the NBD export's tests: a temporary directory, a fresh NAND image,
# an nbdkit server with the plugin on a unix socket, and a cleanup that always
# stops the server and removes everything.
#
# A test script is run as: bash test_X.sh PLUGIN NYX_NFTL [NBD_PROBE]
set -euo pipefail

PLUGIN=${1:?usage: test.sh PLUGIN NYX_NFTL [NBD_PROBE]}
NYX_NFTL=${2:?usage: test.sh PLUGIN NYX_NFTL [NBD_PROBE]}
PROBE=${3:-}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/nyx-nbd.XXXXXX")
sock=$tmp/sock
img=$tmp/nand.img
server_pid=""
cleanup_hooks=()

# Disk sizes of the default image, in 512-byte sectors.
declare -A SECTORS=([system]=57344 [cache]=24576 [media]=24576 [data]=114688)
EXPORTS=(system cache media data)

cleanup() {
  local status=$?
  set +e
  for hook in "${cleanup_hooks[@]}"; do eval "$hook"; done
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -KILL "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ -f "$tmp/nbdkit.log" ]; then
    echo "--- nbdkit log (last lines) ---" >&2
    tail -n 30 "$tmp/nbdkit.log" >&2
  fi
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Skips the test (exit 77) unless every tool is installed.
need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed (bash scripts/setup.sh)" >&2; exit 77; }
  done
}

# A fresh default image (128 MiB chip, every partition formatted).
make_image() {
  "$NYX_NFTL" mkimage --format "$img" >"$tmp/mkimage.log" 2>&1 || { cat "$tmp/mkimage.log" >&2; fail "nyx-nftl mkimage could not create the image"; }
}

uri() {
  echo "nbd+unix:///$1?socket=$sock"
}

# Starts nbdkit on $sock with the plugin and the given extra arguments
# (plugin parameters or nbdkit options placed before the plugin, see
# NBDKIT_OPTS). Waits until it serves.
start_server() {
  rm -f "$sock" "$tmp/pid"
  # shellcheck disable=SC2086
  nbdkit --foreground --exit-with-parent -U "$sock" -P "$tmp/pid" ${NBDKIT_OPTS:-} \
    "$PLUGIN" image="$img" "$@" >>"$tmp/nbdkit.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 300); do
    if [ -s "$tmp/pid" ] && [ -S "$sock" ]; then return 0; fi
    kill -0 "$server_pid" 2>/dev/null || { wait "$server_pid" || true; server_pid=""; fail "nbdkit did not start"; }
    sleep 0.1
  done
  fail "nbdkit did not start within 30 s"
}

# SIGTERM: the orderly shutdown. nbdkit must exit cleanly.
stop_server() {
  [ -n "$server_pid" ] || return 0
  kill -TERM "$server_pid" 2>/dev/null || true
  # nbdkit waits for its clients to go away; give it 30 s, then fail.
  local state=""
  for _ in $(seq 1 300); do
    state=$(ps -o stat= -p "$server_pid" 2>/dev/null || true)
    case $state in "" | Z*) break ;; esac
    sleep 0.1
  done
  case $state in "" | Z*) ;; *) fail "nbdkit did not stop within 30 s of SIGTERM" ;; esac
  local status=0
  wait "$server_pid" || status=$?
  server_pid=""
  [ "$status" -eq 0 ] || fail "nbdkit exited with status $status after SIGTERM"
  if grep -q "shutdown:" "$tmp/nbdkit.log"; then fail "the orderly shutdown reported a problem"; fi
}

# SIGKILL: no shutdown at all.
kill_server() {
  [ -n "$server_pid" ] || return 0
  kill -KILL "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}

# qio EXPORT ARGS...: qemu-io on the export; every command must succeed.
qio() {
  qemu-io -f raw "$(uri "$1")" "${@:2}" >"$tmp/qemu-io.out" 2>&1 &&
    ! grep -qi "fail\|error\|mismatch" "$tmp/qemu-io.out" || { cat "$tmp/qemu-io.out" >&2; return 1; }
}

# expect WANT ARGS...: nbd-probe ARGS prints a line that starts with WANT.
expect() {
  local want=$1 got
  shift
  got=$("$PROBE" "$@" 2>&1 || true)
  case $got in
    "$want"*) ;;
    *) fail "nbd-probe $*: '$got', expected '$want'" ;;
  esac
}

sha_of() {
  sha256sum "$1" | cut -d' ' -f1
}
