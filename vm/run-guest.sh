#!/usr/bin/env bash
# vm/run-guest.sh SCRIPT [ARGS...] — runs a shell script inside a QEMU (TCG)
# guest booted on the Debian kernel fetched by vm/fetch-kernel.sh, and exits
# with the script's exit status.
#
# The guest sees the host's root file system read-only over 9p, behind a
# tmpfs overlay (so writes anywhere succeed but vanish at power-off), runs
# SCRIPT (a host path; executed directly if executable, else with bash) in a
# chroot of it, in the current directory, as root. Host programs (nbdkit,
# nbd-client, mkfs.ext4, nanddump, ...) run there with their libraries;
# `modprobe nandsim ...` loads the guest kernel's modules (packed in the
# initramfs). The only persistent place is the results folder, $VM_OUT in the
# guest (= /vm/out, also mounted at its host path): dumps and logs go there.
#
# Prints the script's output (the console between the marker lines); on
# failure or timeout prints the whole console. Exit status: the script's, 124
# on timeout, 125 when the guest failed before or around the script.
#
# Environment:
#   VM_ARCH      amd64 (default: the host's root, qemu-system-x86_64) or armhf
#                (Debian's armmp kernel on qemu-system-arm's virt machine; the
#                guest's root is vm/build-guest-root.sh's armhf root, not the
#                host's: SCRIPT and what it runs must be in VM_OUT)
#   VM_CACHE     cache folder (default <repo>/build/vm-cache, or
#                <repo>/build/vm-cache-armhf)
#   VM_OUT       host results folder (default: a new $VM_CACHE/runs/<stamp>)
#   VM_TIMEOUT   hard limit of the QEMU run in seconds (default 300)
#   VM_MEM       guest memory in MiB (default 1024)
#   VM_SMP       guest CPUs (default 2)
#   VM_APPEND    extra kernel command line (e.g. "vm.debug=1" for /init stage
#                times, "log_buf_len=64M"); module parameters go on modprobe
#   VM_BZIMAGE=1 boot the xz bzImage instead of the extracted vmlinux (slower)
#   VM_QEMU_ARGS extra QEMU arguments (word-split), e.g. "-bios qboot.rom"
#   VM_QUIET=1   do not print the script's output on success
#   VM_INTERACTIVE=1  instead of running SCRIPT, give an interactive bash in
#                the guest's chroot on this terminal (Ctrl-A X quits QEMU)
#   VM_KEEP=0    delete the results folder afterwards (default: kept)
set -Eeuo pipefail
on_error() { local rc=$?; [ "$BASH_SUBSHELL" -gt 0 ] || echo "${0##*/}: line $1: $BASH_COMMAND: exit status $rc" >&2; }
trap 'on_error $LINENO' ERR

[ $# -ge 1 ] || { sed -n '2,/^set -/p' "$0" | sed 's/^# \{0,1\}//; $d'; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
export VM_ARCH=${VM_ARCH:-amd64}
case "$VM_ARCH" in
  amd64) export VM_CACHE=${VM_CACHE:-$repo/build/vm-cache} ;;
  armhf) export VM_CACHE=${VM_CACHE:-$repo/build/vm-cache-armhf} ;;
  *) echo "run-guest: VM_ARCH=$VM_ARCH: amd64 or armhf" >&2; exit 2 ;;
esac

script=$1; shift
[ -f "$script" ] || { echo "run-guest: no such script: $script" >&2; exit 2; }
script=$(realpath "$script")

"$here/fetch-kernel.sh" >/dev/null
"$here/build-initramfs.sh" >/dev/null
cache=$(cd "$VM_CACHE" && pwd)
kver=$(cat "$cache/kernel-version")
# Prefer the uncompressed vmlinux (PVH entry, no in-guest decompression):
# ~4 s faster per boot under TCG than the xz bzImage. VM_BZIMAGE=1 forces it.
kernel="$cache/linux/boot/vmlinux-$kver"
if [ "${VM_BZIMAGE:-0}" = 1 ] || [ ! -f "$kernel" ]; then kernel="$cache/linux/boot/vmlinuz-$kver"; fi
initrd="$cache/initramfs.cpio.gz"
# The machine, its console and the root the guest sees as "hostroot".
# shellcheck disable=SC2054  # the commas are QEMU's
if [ "$VM_ARCH" = amd64 ]; then
  qemu=(qemu-system-x86_64 -machine pc,accel=tcg -cpu max)
  console_dev=ttyS0 guest_root=/
else
  # the armmp kernel has no LPAE: keep QEMU's PCI windows below 4 GiB
  qemu=(qemu-system-arm -machine virt,accel=tcg,highmem=off -cpu cortex-a15)
  console_dev=ttyAMA0 guest_root=$cache/root
fi

if [ -n "${VM_OUT:-}" ]; then
  out=$VM_OUT
else
  out="$cache/runs/$(date +%Y%m%d-%H%M%S)-$$"
fi
mkdir -p "$out"
out=$(realpath "$out")
rm -f "$out/status" "$out/console.log"

# The runner the guest's /init executes in the chroot.
{
  echo '#!/bin/sh'
  printf 'cd %q 2>/dev/null || cd /\n' "$PWD"
  if [ -x "$script" ]; then printf 'exec %q' "$script"; else printf 'exec /bin/bash %q' "$script"; fi
  for a in "$@"; do printf ' %q' "$a"; done
  echo
} >"$out/runner.sh"
# %q quoting is bash syntax: run the runner with bash when the chroot has it
sed -i '1s|.*|#!/bin/bash|' "$out/runner.sh"
chmod +x "$out/runner.sh"

# quiet console; no PS/2 probing; skip the crypto self-tests (cryptomgr
# ~0.4 s, and crypto_kdf108_init's own test ~0.4 s under TCG)
append="console=$console_dev panic=-1 quiet loglevel=4 rdinit=/init"
if [ "$VM_ARCH" = amd64 ]; then append="$append i8042.noaux i8042.nokbd i8042.nopnp tsc=reliable no_timer_check"; fi
append="$append cryptomgr.notests=1 initcall_blacklist=crypto_kdf108_init"
case "$out" in *[[:space:]]*) ;; *) append="$append vm.outpath=$out" ;; esac
append="$append ${VM_APPEND:-}"

console="$out/console.log"
if [ "${VM_INTERACTIVE:-0}" = 1 ]; then
  # debugging: bash in the guest's chroot on this terminal (SCRIPT is not
  # run); Ctrl-A X quits QEMU
  exec "${qemu[@]}" -smp "${VM_SMP:-2}" -m "${VM_MEM:-1024}" \
    -nodefaults -no-user-config -nographic -no-reboot -serial mon:stdio \
    -kernel "$kernel" -initrd "$initrd" -append "$append vm.shell=1" \
    -fsdev local,id=hostroot,path="$guest_root",security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
    -fsdev local,id=vmout,path="$out",security_model=none,multidevs=remap \
    -device virtio-9p-pci,fsdev=vmout,mount_tag=vmout ${VM_QEMU_ARGS:-}
fi
start=$(date +%s.%N)
qrc=0
timeout --kill-after=10 "${VM_TIMEOUT:-300}" "${qemu[@]}" -smp "${VM_SMP:-2}" -m "${VM_MEM:-1024}" \
  -nodefaults -no-user-config -nographic -no-reboot \
  -serial "file:$console" -monitor none \
  -kernel "$kernel" -initrd "$initrd" -append "$append" \
  -fsdev local,id=hostroot,path="$guest_root",security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev local,id=vmout,path="$out",security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=vmout,mount_tag=vmout \
  ${VM_QEMU_ARGS:-} </dev/null >"$out/qemu.log" 2>&1 || qrc=$?
end=$(date +%s.%N)
elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')

# the console without carriage returns and terminal escapes (SeaBIOS clears
# the screen)
strip_console() { tr -d '\r' | sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\x1bc//g'; }

rc=
if [ -s "$out/status" ]; then
  rc=$(tr -dc '0-9' <"$out/status")
fi
if [ -z "$rc" ]; then
  # no console when QEMU did not start
  rc=$(sed -n 's/^VM-EXIT-STATUS=\([0-9]*\).*/\1/p' "$console" 2>/dev/null | tail -n1 || true)
fi
if [ "$qrc" -eq 124 ] || [ "$qrc" -eq 137 ]; then
  echo "run-guest: TIMEOUT after ${VM_TIMEOUT:-300} s (qemu killed)" >&2
  rc=124
elif [ -z "$rc" ]; then
  echo "run-guest: the guest ended without an exit status (qemu status $qrc)" >&2
  rc=125
fi

if [ "$rc" -ne 0 ]; then
  echo "run-guest: ---- guest console ($console) ----" >&2
  strip_console <"$console" >&2 || true
  echo "run-guest: ---- qemu output ----" >&2
  cat "$out/qemu.log" >&2 || true
  echo "run-guest: ---- end ----" >&2
elif [ "${VM_QUIET:-0}" != 1 ]; then
  strip_console <"$console" | sed -n '/=== VM-SCRIPT-BEGIN ===$/,/^=== VM-SCRIPT-END/{//!p}'
fi
echo "run-guest: $(basename "$script") exited $rc in ${elapsed} s (guest $kver, results in $out)" >&2
if [ "${VM_KEEP:-1}" = 0 ] && [ "$rc" -eq 0 ]; then rm -rf "$out"; fi
exit "$rc"
