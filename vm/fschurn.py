#!/usr/bin/env python3
"""vm/fschurn.py [OPTIONS] --manifest FILE MNT

A file churn on the file system mounted at MNT, as a device's user makes one
(run in the guest by vm/vmbench-guest.sh and vm/tests/guest_mtd.sh): files of
mixed sizes are created, rewritten and deleted under MNT/churn, the file
system kept between LOW% and HIGH% full (used blocks over all blocks, statvfs),
until TOTAL bytes of file data have been written. One process does it all: a
program started in the TCG guest costs about 0.1 s, more than most writes.

  --seed N         the operations and the sizes (default 1)
  --total SIZE     the file data to write, e.g. 168M (default 64M)
  --rounds N       the churn is cut into N rounds, each ending with sync
                   (default 4)
  --fill LOW-HIGH  the fill band in percent (default 40-60)
  --fstrim         `fstrim -v MNT` after each round
  --after-round CMD a shell command run after each round (after the fstrim);
                   its output's first line ends the round's line
  --manifest FILE  where the files' sha256 sums go, one line per file that
                   exists, relative to MNT (sha256sum's format, so
                   `cd MNT && sha256sum -c FILE` checks them), rewritten after
                   each round
  --verify         instead of churning: every file of the manifest reads back
                   with its sum, and churn/ holds no other file

Sizes: a power of two from 16 KiB to 512 KiB picked evenly, then a size
between it and twice it (16 KiB to 1 MiB, most of them small). The data comes
from os.urandom; its sum is taken from the bytes written, not read back. An
operation: below LOW a create, above HIGH a delete, else half of the time a
rewrite (the file cut and written anew at a new size), else a create or a
delete, the create the likelier the emptier the file system within the band;
a create or a rewrite that could pass HIGH is a delete instead. Prints a line per round
and a summary ("churn: N bytes written ..."). Exit status 1 when a write,
sync, fstrim or the verification fails, 2 on bad arguments.
"""
import argparse
import hashlib
import os
import random
import re
import subprocess
import sys

UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def size_arg(text):
    m = re.fullmatch(r"(\d+)([KMG]?)", text)
    if not m:
        raise argparse.ArgumentTypeError(f"not a size: {text}")
    return int(m.group(1)) * UNITS[m.group(2)]


def fill_arg(text):
    m = re.fullmatch(r"(\d+)-(\d+)", text)
    if not m or int(m.group(1)) >= int(m.group(2)) or int(m.group(2)) > 100:
        raise argparse.ArgumentTypeError(f"not a band LOW-HIGH: {text}")
    return int(m.group(1)), int(m.group(2))


def fail(msg):
    print(f"fschurn: {msg}", file=sys.stderr)
    sys.exit(1)


def sha256_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


def verify(mnt, manifest):
    try:
        with open(manifest) as f:
            lines = [line.rstrip("\n").split("  ", 1) for line in f if line.strip()]
        got = {"churn/" + n for n in os.listdir(os.path.join(mnt, "churn"))}
    except OSError as e:
        fail(f"cannot read the manifest or churn/: {e}")
    if any(len(parts) != 2 for parts in lines):
        fail(f"{manifest}: not a list of sums")
    bad = []
    for digest, rel in lines:
        try:
            if sha256_of(os.path.join(mnt, rel)) != digest:
                bad.append(f"{rel} differs")
        except OSError as e:
            bad.append(f"{rel}: {e.strerror}")
    want = {rel for _, rel in lines}
    bad += [f"{rel} should not exist" for rel in sorted(got - want)]
    if bad:
        fail(f"{len(bad)} of {len(lines)} files wrong: " + ", ".join(bad[:5]))
    print(f"fschurn: {len(lines)} files the same")


class Churn:
    def __init__(self, args):
        self.args = args
        self.dir = os.path.join(args.mnt, "churn")
        self.rng = random.Random(args.seed)
        self.names = []  # the files that exist, picked at random by index
        self.size = {}
        self.sum = {}
        self.next = 0
        self.written = self.trimmed = 0
        self.ops = {"creates": 0, "rewrites": 0, "deletes": 0}
        self.refresh()

    def refresh(self):
        st = os.statvfs(self.args.mnt)
        self.bsize, self.blocks = st.f_frsize, st.f_blocks
        self.used = st.f_blocks - st.f_bfree  # in blocks, kept up to date below

    def blocks_of(self, n):
        return (n + self.bsize - 1) // self.bsize

    def pct(self, used):
        return 100 * used // self.blocks

    def write(self, name):
        base = 16384 << self.rng.randrange(6)
        n = base + self.rng.randrange(base)
        data = os.urandom(n)
        try:
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(data)
        except OSError as e:
            fail(f"writing churn/{name} ({n} bytes): {e}")
        self.used += self.blocks_of(n) - self.blocks_of(self.size.get(name, 0))
        self.size[name], self.sum[name] = n, hashlib.sha256(data).hexdigest()
        self.written += n

    def create(self):
        name = f"f{self.next}"
        self.next += 1
        self.names.append(name)
        self.write(name)
        self.ops["creates"] += 1

    def delete(self, i):
        name = self.names[i]
        try:
            os.unlink(os.path.join(self.dir, name))
        except OSError as e:
            fail(f"cannot delete churn/{name}: {e}")
        self.names[i] = self.names[-1]
        self.names.pop()
        self.used -= self.blocks_of(self.size.pop(name))
        del self.sum[name]
        self.ops["deletes"] += 1

    def step(self):
        low, high = self.args.fill
        f = self.pct(self.used)
        if not self.names or f < low:
            op = 0
        elif f >= high:
            op = 3
        elif self.rng.randrange(2):
            op = 1
        else:  # toward the middle of the band
            op = 0 if self.rng.random() * (high - low) < high - f else 3
        if op < 3 and self.names and self.pct(self.used + self.blocks_of(1 << 20)) >= high:
            op = 3
        if op == 0:
            self.create()
        elif op == 1:
            self.write(self.names[self.rng.randrange(len(self.names))])
            self.ops["rewrites"] += 1
        else:
            self.delete(self.rng.randrange(len(self.names)))

    def save_manifest(self):
        path = self.args.manifest
        try:
            with open(path + ".tmp", "w") as f:
                for name in sorted(self.names):
                    f.write(f"{self.sum[name]}  churn/{name}\n")
            os.replace(path + ".tmp", path)
        except OSError as e:
            fail(f"cannot write {path}: {e}")

    def fstrim(self):
        r = subprocess.run(["fstrim", "-v", self.args.mnt], capture_output=True, text=True)
        m = re.search(r"\((\d+) bytes\) trimmed", r.stdout)
        if r.returncode != 0 or not m:
            fail(f"fstrim -v {self.args.mnt}: {(r.stdout + r.stderr).strip()}")
        self.trimmed += int(m.group(1))
        return int(m.group(1))

    def run(self):
        a = self.args
        try:
            os.makedirs(self.dir, exist_ok=True)
        except OSError as e:
            fail(f"cannot make {self.dir}: {e}")
        for r in range(1, a.rounds + 1):
            while self.written < a.total * r // a.rounds:
                self.step()
            os.sync()
            self.refresh()
            line = f"round {r}/{a.rounds}: {self.written >> 20} MiB written, {len(self.names)} files, {self.pct(self.used)}% full"
            if a.fstrim:
                line += f", fstrim {self.fstrim() >> 20} MiB"
            if a.after_round:
                r = subprocess.run(a.after_round, shell=True, capture_output=True, text=True)
                if r.returncode != 0:
                    fail(f"{a.after_round}: exit status {r.returncode}: {r.stderr.strip()}")
                line += ", " + (r.stdout.splitlines() or [""])[0]
            self.save_manifest()
            print(line, flush=True)
        ops = ", ".join(f"{v} {k}" for k, v in self.ops.items())
        trim = f", fstrim trimmed {self.trimmed} bytes" if a.fstrim else ""
        print(f"churn: {self.written} bytes written ({ops}), {len(self.names)} files, {self.pct(self.used)}% full{trim}")


def main():
    p = argparse.ArgumentParser(usage=__doc__.split("\n")[0])
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--total", type=size_arg, default=64 << 20)
    p.add_argument("--rounds", type=int, choices=range(1, 1001), metavar="N", default=4)
    p.add_argument("--fill", type=fill_arg, default=(40, 60))
    p.add_argument("--fstrim", action="store_true")
    p.add_argument("--after-round", metavar="CMD")
    p.add_argument("--manifest", required=True)
    p.add_argument("--verify", action="store_true")
    p.add_argument("mnt")
    a = p.parse_args()
    if not os.path.isdir(a.mnt):
        p.error(f"not a directory: {a.mnt}")
    if a.verify:
        verify(a.mnt, a.manifest)
    else:
        Churn(a).run()


if __name__ == "__main__":
    main()
