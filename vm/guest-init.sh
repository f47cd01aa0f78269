#!/bin/sh
# vm/guest-init.sh — /init of the test rig's initramfs (runs under busybox sh
# as PID 1 inside the QEMU guest; vm/build-initramfs.sh copies it in).
#
# 1. mounts /proc, /sys, /dev (devtmpfs), loads the virtio/9p/overlay modules;
# 2. mounts the host's root (9p tag "hostroot", read-only) on /host and the
#    writable results share (9p tag "vmout") on /out;
# 3. builds the chroot /newroot: overlayfs with the host root as lower layer
#    and a tmpfs as upper (so the guest may write anywhere; such writes are
#    discarded at power-off; /tmp is the host's /tmp behind that overlay),
#    with proc, sys, devtmpfs, devpts, debugfs, a tmpfs /run, the initramfs's modules at /lib/modules/$(uname -r) (so the
#    host's kmod `modprobe`/`modinfo` work in the chroot), the results share at
#    /vm/out (and at its host path, given as vm.outpath=);
# 4. runs /vm/out/runner.sh (written by vm/run-guest.sh) in the chroot with
#    stdout/stderr on the console between marker lines, writes its exit
#    status to /vm/out/status and prints "VM-EXIT-STATUS=N";
# 5. powers off (QEMU runs with -no-reboot, so a panic or reboot exits too).
# Kernel command line knobs: vm.shell=1 runs an interactive bash in the chroot
# on the console instead of the runner (VM_INTERACTIVE=1 of run-guest.sh), vm.debug=1 prints the
# uptime at each stage, vm.outpath=PATH (set by run-guest.sh).

export PATH=/bin
exec </dev/console >/dev/console 2>&1 || true

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
exec </dev/console >/dev/console 2>&1
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
# what udev would add: bash process substitution needs /dev/fd
ln -sf /proc/self/fd /dev/fd
ln -sf /proc/self/fd/0 /dev/stdin
ln -sf /proc/self/fd/1 /dev/stdout
ln -sf /proc/self/fd/2 /dev/stderr

kver=$(uname -r)
shell=0
debug=0
outpath=
for w in $(cat /proc/cmdline); do
  case "$w" in
    vm.shell=*) shell=${w#vm.shell=} ;;
    vm.outpath=*) outpath=${w#vm.outpath=} ;;
    vm.debug=*) debug=${w#vm.debug=} ;;
  esac
done

finish() {
  rc=$1
  grep -q " /out 9p " /proc/mounts && { echo "$rc" >/out/status; sync; }
  echo "VM-EXIT-STATUS=$rc"
  sync
  poweroff -f
  sleep 2
  reboot -f
}

# vm.debug=1: print the uptime at each stage
stage() { [ "$debug" = 1 ] && echo "vm-init: $(cut -d' ' -f1 /proc/uptime) $*"; return 0; }

fail() { echo "vm-init: $*"; finish 125; }

stage start
for m in virtio_pci 9pnet_virtio 9p overlay; do
  modprobe "$m" || fail "modprobe $m failed"
done
# virtio devices are probed asynchronously: wait for the 9p tags to show up
i=0
while [ $i -lt 50 ]; do
  tags=$(cat /sys/bus/virtio/drivers/9pnet_virtio/virtio*/mount_tag 2>/dev/null | tr '\0' ' ')
  case "$tags" in *hostroot*vmout*|*vmout*hostroot*) break ;; esac
  i=$((i + 1)); usleep 100000
done

stage "modules loaded, 9p tags: $tags"
ninep="trans=virtio,version=9p2000.L,msize=512000"
mount -t 9p -o "$ninep,ro,cache=loose" hostroot /host || fail "cannot mount hostroot"
mount -t 9p -o "$ninep" vmout /out || fail "cannot mount vmout"
ip link set lo up
stage "shares mounted"

mount -t tmpfs -o mode=0755 tmpfs /ovl
mkdir -p /ovl/upper /ovl/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/ovl/upper,workdir=/ovl/work /newroot \
  || fail "cannot mount the overlay root"

r=/newroot
mount -t proc proc $r/proc
mount -t sysfs sysfs $r/sys
mount -t debugfs debugfs $r/sys/kernel/debug 2>/dev/null
mount --rbind /dev $r/dev
mount -t tmpfs -o mode=0755 tmpfs $r/run
# the kernel's modules where kmod looks for them (follows a relative
# lib -> usr/lib symlink in the host root)
if [ -L $r/lib ]; then modbase=$r/$(readlink $r/lib); else modbase=$r/lib; fi
case "$modbase" in $r//*) modbase=$r/${modbase#$r//} ;; esac
mkdir -p "$modbase/modules/$kver"
mount --bind /lib/modules/$kver "$modbase/modules/$kver"
mkdir -p $r/vm/out
mount --bind /out $r/vm/out
if [ -n "$outpath" ]; then
  mkdir -p "$r$outpath" && mount --bind /out "$r$outpath"
fi
hostname vm
stage "chroot ready"

if [ "$shell" = 1 ]; then
  echo "vm-init: vm.shell=1: bash in the chroot on the console (exit to power off)"
  setsid cttyhack chroot $r /usr/bin/env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root TERM=${TERM:-vt100} LANG=C.UTF-8 VM_GUEST=1 VM_OUT=/vm/out /bin/bash -l
  finish 0
fi

printf "\n=== VM-SCRIPT-BEGIN ===\n"
chroot $r /usr/bin/env -i \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root TERM=dumb LANG=C.UTF-8 VM_GUEST=1 VM_OUT=/vm/out \
  /vm/out/runner.sh </dev/null
rc=$?
echo "=== VM-SCRIPT-END rc=$rc ==="
finish $rc
