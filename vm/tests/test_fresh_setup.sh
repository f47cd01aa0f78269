#!/usr/bin/env bash
# vm/tests/test_fresh_setup.sh — the rig's setup on a fresh machine, without
# installing anything: dpkg-query (a stub first on PATH) knows no package, and
# apt-get (a stub) logs its arguments and fails when they hold " $FAIL_ON".
# vm/build-module.sh runs on a cache holding a made-up kernel: scripts/setup.sh
# (run by vm/fetch-kernel.sh) asks for the project's packages, build-module.sh
# for that kernel's headers, and a failed install stops it with a message.
# The cross build's setup (scripts/setup-cross.sh) adds the target's architecture.
set -euo pipefail
vm=$(cd "$(dirname "$0")/.." && pwd) k=0.0-nyxtest-amd64
t=$(mktemp -d) && trap 'rm -rf "$t"' EXIT
c=$t/cache && mkdir -p "$t/bin" "$c/deb" "$c/linux/boot" "$c/linux/lib/modules/$k"
echo "$k" >"$c/kernel-version"
touch "$c/linux/boot/vmlinuz-$k" "$c/linux/lib/modules/$k/modules.dep" "$c/deb/linux-image-${k}_9.9-1_amd64.deb"
# the stubs; dpkg-deb gives that .deb's version, sudo only runs the command
for s in 'dpkg-deb:echo 9.9-1' 'dpkg-query:exit 1' 'sudo:exec "$@"' 'apt-get:echo "$*" >>"$LOG"; case " $*" in *" $FAIL_ON"*) exit 100; esac'; do
  printf '#!/bin/sh\n%s\n' "${s#*:}" >"$t/bin/${s%%:*}" && chmod +x "$t/bin/${s%%:*}"
done

want() { grep -qE -- "$2" "$t/$1" || { echo "FAIL: no '$2' in $1:"; cat "$t/$1"; exit 1; } >&2; }
# build-module.sh must fail: the made-up headers have no /usr/src folder, or
# apt-get fails on them
for f in none linux-headers; do
  ! LOG=$t/$f.log FAIL_ON=$f PATH=$t/bin:$PATH VM_CACHE=$c "$vm/build-module.sh" >/dev/null 2>"$t/$f.err" ||
    { echo "FAIL: no failure ($f)" >&2; exit 1; }
done
want none.log "install .* build-essential .* iproute2$"
want none.log "install .* linux-headers-$k=9.9-1$"
want linux-headers.err "setup: cannot install linux-headers-$k=9.9-1"

# A cross build's setup where dpkg (a stub that logs) knows no armhf: the
# architecture is added before the lists are refreshed, then the compiler,
# qemu-user and the target's libraries are installed.
printf '#!/bin/sh\necho "dpkg $*" >>"$LOG"\n' >"$t/bin/dpkg" && chmod +x "$t/bin/dpkg"
LOG=$t/cross.log FAIL_ON=none PATH=$t/bin:$PATH bash "$vm/../scripts/setup-cross.sh" armhf >/dev/null 2>&1 ||
  { echo "FAIL: setup-cross.sh armhf" >&2; exit 1; }
tr '\n' ' ' <"$t/cross.log" >"$t/cross.one"
want cross.one "dpkg --add-architecture armhf .*update -qq .*install -y .* g\+\+-arm-linux-gnueabihf qemu-user .* libgtest-dev:armhf .*install -y .* libpng-dev:armhf zlib1g-dev:armhf $"
