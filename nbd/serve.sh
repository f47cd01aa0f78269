#!/usr/bin/env bash
# Serves the disks of a NAND image as NBD exports ("system", "cache",
# "media", "data") with nbdkit and the nyx plugin, in the foreground, until
# Ctrl-C or SIGTERM (which flush every disk and detach them in order).
#
# Usage: nbd/serve.sh [--socket PATH | --tcp PORT] [--read-only] IMAGE [PARAM=VALUE...]
#   --socket PATH  unix socket to listen on (default: /tmp/nyx-nbd.sock)
#   --tcp PORT     listen on 127.0.0.1:PORT instead of a unix socket
#   --read-only    refuse writes; the image file is never changed (nbdkit -r
#                  and readonly=true, which maps the image privately)
#   PARAM=VALUE    plugin parameters: mtdparts=, page-size=, oob-size=,
#                  pages-per-block=, spare-offset=, blocks= (see
#                  `nbdkit PLUGIN --help`)
# The plugin is $NYX_NBD_PLUGIN, or build/nbd/nbdkit-nyx-plugin.so beside
# this script's folder.
#
# The command it runs (a unix socket):
#   nbdkit --foreground -U SOCKET build/nbd/nbdkit-nyx-plugin.so image=IMAGE
# or on loopback TCP:
#   nbdkit --foreground -i 127.0.0.1 -p PORT build/nbd/nbdkit-nyx-plugin.so image=IMAGE
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR

here=$(cd "$(dirname "$0")" && pwd)
plugin=${NYX_NBD_PLUGIN:-$here/../build/nbd/nbdkit-nyx-plugin.so}
socket=/tmp/nyx-nbd.sock
port=""
readonly_args=()
readonly_params=()

usage() {
  sed -n '6,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case $1 in
    --socket) [ $# -ge 2 ] || usage; socket=$2; shift 2 ;;
    --tcp) [ $# -ge 2 ] || usage; port=$2; shift 2 ;;
    --read-only) readonly_args=(-r); readonly_params=(readonly=true); shift ;;
    -h|--help) usage ;;
    -*) echo "serve.sh: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || usage
image=$1
shift

[ -f "$plugin" ] || { echo "serve.sh: no plugin at $plugin (build it first: make build)" >&2; exit 1; }
[ -f "$image" ] || { echo "serve.sh: no image at $image" >&2; exit 1; }
command -v nbdkit >/dev/null || { echo "serve.sh: nbdkit is not installed (bash scripts/setup.sh)" >&2; exit 1; }

if [ -n "$port" ]; then
  listen=(-i 127.0.0.1 -p "$port")
  base="nbd://127.0.0.1:$port"
  for name in system cache media data; do echo "  $name: $base/$name"; done
else
  if [ -S "$socket" ]; then
    # nbdkit leaves its socket behind; reuse it unless a server still answers.
    if command -v nbdinfo >/dev/null && nbdinfo --list "nbd+unix:///?socket=$socket" >/dev/null 2>&1; then
      echo "serve.sh: a server already listens on $socket" >&2
      exit 1
    fi
    rm -f "$socket"
  fi
  listen=(-U "$socket")
  for name in system cache media data; do echo "  $name: nbd+unix:///$name?socket=$socket"; done
  base="nbd+unix:///?socket=$socket"
fi
echo "List the exports:  nbdinfo --list '$base'"
echo "Stop with Ctrl-C (every disk is flushed first)."

exec nbdkit --foreground "${listen[@]}" "${readonly_args[@]}" "$plugin" image="$image" "${readonly_params[@]}" "$@"
