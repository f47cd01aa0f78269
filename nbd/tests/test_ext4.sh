# ext4 end to end: nbdfuse shows the "data" export as a file, mkfs.ext4 and
# a loop mount put a tree of files on it; after an orderly stop (SIGTERM)
# and a new server, the filesystem checks clean and every file reads back
# the same. Skips when FUSE, loop devices or the right to mount are missing.
source "$(dirname "$0")/lib.sh"
need nbdkit nbdfuse fusermount3 mkfs.ext4 e2fsck mount umount losetup
[ -e /dev/fuse ] || skip "no /dev/fuse: FUSE is not available"
[ "$(id -u)" -eq 0 ] || skip "loop mounts need root"
losetup -f >/dev/null 2>&1 || skip "no free loop device"

fuse_dir=$tmp/fuse
mnt=$tmp/mnt
mkdir -p "$fuse_dir" "$mnt"
fuse_pid=""
cleanup_hooks+=("mountpoint -q '$mnt' && umount '$mnt'")
cleanup_hooks+=("mountpoint -q '$fuse_dir' && fusermount3 -u '$fuse_dir'")

fuse_attach() {
  rm -f "$tmp/fuse.pid"
  nbdfuse -P "$tmp/fuse.pid" "$fuse_dir" "$(uri data)" >>"$tmp/nbdfuse.log" 2>&1 &
  fuse_pid=$!
  for _ in $(seq 1 300); do
    [ -s "$tmp/fuse.pid" ] && [ -e "$fuse_dir/nbd" ] && return 0
    kill -0 "$fuse_pid" 2>/dev/null || { cat "$tmp/nbdfuse.log" >&2; skip "nbdfuse could not mount (FUSE unusable here)"; }
    sleep 0.1
  done
  fail "nbdfuse did not come up"
}

fuse_detach() {
  # The loop device may let go of the file a moment after umount.
  local tries=0
  until fusermount3 -u "$fuse_dir" 2>"$tmp/fusermount.err"; do
    tries=$((tries + 1))
    [ "$tries" -lt 50 ] || { cat "$tmp/fusermount.err" >&2; fail "fusermount3 -u"; }
    sleep 0.1
  done
  wait "$fuse_pid" 2>/dev/null || true
  fuse_pid=""
}

make_image
start_server
fuse_attach
[ "$(stat -c %s "$fuse_dir/nbd")" = $((SECTORS[data] * 512)) ] || fail "nbdfuse file has the wrong size"

mkfs.ext4 -F -q -E nodiscard "$fuse_dir/nbd" >"$tmp/mkfs.log" 2>&1 || { cat "$tmp/mkfs.log" >&2; fail "mkfs.ext4"; }
if ! mount -o loop "$fuse_dir/nbd" "$mnt" 2>"$tmp/mount.err"; then
  cat "$tmp/mount.err" >&2
  skip "the loop mount failed (loop devices unusable here)"
fi

# A tree of files of many sizes, some straddling pages and blocks.
for d in 1 2 3; do
  mkdir -p "$mnt/dir$d/sub"
  for f in 1 2 3 4; do
    head -c $(( (d * 37 + f * 1013) * 97 % 400000 + 1 )) /dev/urandom >"$mnt/dir$d/file$f"
    head -c $(( f * 4096 + d * 511 )) /dev/urandom >"$mnt/dir$d/sub/small$f"
  done
done
head -c $((8 * 1024 * 1024)) /dev/urandom >"$mnt/big"
(cd "$mnt" && find . -type f -print0 | sort -z | xargs -0 sha256sum) >"$tmp/sums"
[ "$(wc -l <"$tmp/sums")" -eq 25 ] || fail "the tree was not written"

umount "$mnt"
fuse_detach
stop_server

start_server
fuse_attach
e2fsck -fn "$fuse_dir/nbd" >"$tmp/fsck.log" 2>&1 || { cat "$tmp/fsck.log" >&2; fail "e2fsck found problems"; }
mount -o loop "$fuse_dir/nbd" "$mnt"
(cd "$mnt" && sha256sum --quiet -c "$tmp/sums") || fail "files differ after the server was served again"
umount "$mnt"
fuse_detach
stop_server
echo "PASS"
