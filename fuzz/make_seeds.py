#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small input in the format its target's header comment
describes; together they lead the fuzzers straight to the interesting
paths (a formatted partition with full and partly written blocks, the
replay of a write-error recovery, a partition without free blocks, bad
blocks and failing operations; mtdparts lists of every form; request
sequences over the whole disk, past its end and built by hand).
Files named crash-* are reproducers of faults found and fixed; this script
leaves them alone. Run it from anywhere: python3 fuzz/make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


# --- fuzz_attach --------------------------------------------------------------

ERASED, BAD, HEAD, END, FULL, PARTIAL, FULL2, RAW = range(8)
DAMAGED, READ_FAILS, READ_CORRECTED, PROGRAM_FAILS, ERASE_FAILS = 0x08, 0x10, 0x20, 0x40, 0x80


def geometry(pages_per_block, oob, spare_at_end=False):
    """Byte 0 of an attach input."""
    return [4, 8, 16].index(pages_per_block) + 3 * [18, 20, 24, 32].index(oob) + (12 if spare_at_end else 0)


def blocks_byte(blocks):
    return (blocks - 17) % 32


def block(kind, seq=0, erase=1, lp0=0, stride=1, fill=0, extra=0):
    return [kind, seq, erase, lp0, stride, fill, extra]


def ops(*pairs):
    out = []
    for op, arg in pairs:
        out += [op, arg]
    return out


WRITES = ops((0, 0), (0, 1), (1, 2), (2, 3), (0, 0), (3, 0), (3, 1), (4, 0), (5, 0), (6, 1), (6, 0), (7, 0))


def attach_seeds():
    # A freshly formatted partition: head mark, everything else erased.
    plans = [block(HEAD)] + [block(ERASED)] * 39
    write("fuzz_attach", "formatted-16x40", [geometry(16, 24), blocks_byte(40), 0] + sum(plans, []) + WRITES)

    # A used partition: three full blocks (one rewriting another's pages),
    # the current block half written, the rest free.
    plans = [block(HEAD),
             block(FULL, seq=1, erase=2, lp0=0, stride=1),
             block(FULL, seq=2, erase=2, lp0=15, stride=1),
             block(FULL, seq=3, erase=3, lp0=5, stride=3),
             block(PARTIAL, seq=4, erase=1, lp0=40, stride=1, fill=7)] + [block(ERASED)] * 35
    write("fuzz_attach", "used-16x40", [geometry(16, 24), blocks_byte(40), 4] + sum(plans, []) + WRITES * 3)

    # Two partly written blocks: the replay of an interrupted write-error recovery.
    plans = [block(HEAD),
             block(FULL, seq=1, lp0=0),
             block(PARTIAL, seq=2, lp0=20, fill=5),
             block(PARTIAL, seq=3, lp0=20, fill=4)] + [block(ERASED)] * 36
    write("fuzz_attach", "two-current-8x40", [geometry(8, 20), blocks_byte(40), 0] + sum(plans, []) + WRITES)

    # No free block at all: every block full, so the mount collects first.
    plans = [block(HEAD)] + [block(FULL, seq=i, erase=i % 7, lp0=i * 3, stride=1) for i in range(1, 32)]
    write("fuzz_attach", "no-free-4x32", [geometry(4, 18), blocks_byte(32), 0] + sum(plans, []) + WRITES)

    # Bad blocks, an end mark, damaged records and failing operations.
    plans = [block(BAD), block(HEAD),
             block(FULL | DAMAGED, seq=1, lp0=2, extra=0x5A),
             block(FULL | READ_FAILS, seq=2, lp0=9, fill=0x01),
             block(FULL | READ_CORRECTED, seq=3, lp0=1, fill=0x0A, extra=3),
             block(PARTIAL | PROGRAM_FAILS, seq=4, lp0=30, fill=3),
             block(ERASED | ERASE_FAILS), block(BAD), block(RAW, seq=7, lp0=9, extra=77),
             block(FULL, seq=0xF5, fill=0x02)] + [block(ERASED)] * 34 + [block(END)]
    write("fuzz_attach", "faults-8x45", [geometry(8, 32, True), blocks_byte(45), 2] + sum(plans, []) + WRITES * 2)

    # Extreme sequence numbers and worn blocks: wear levelling and ordering.
    plans = [block(HEAD)] + [block(FULL, seq=0xF0 + i % 8, erase=0xFA - i, lp0=i, stride=5) for i in range(1, 12)] \
        + [block(PARTIAL, seq=0xF2, erase=0xFF, fill=2)] + [block(ERASED, erase=0)] * 36
    write("fuzz_attach", "extremes-16x48", [geometry(16, 32), blocks_byte(48), 4] + sum(plans, []) + WRITES * 2)

    # Raw mode: the OOB areas straight from the input.
    raw = [0xFF, 0xFF] + [0xAA, 0xEE, 0xFF, 0xFF] + [0xFF] * 12  # page 0: head mark
    raw += [0xFF, 0xFF, 0xC0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05] + [0xFF] * 6  # page 1
    write("fuzz_attach", "raw-4x17", [geometry(4, 18), blocks_byte(17), 1] + raw)


# --- fuzz_mtdparts ------------------------------------------------------------

def mtdparts(text, erase_shift=17, blocks=1024):
    return bytes([0, erase_shift - 9]) + struct.pack("<H", blocks) + text.encode()


def mtdparts_raw(text, erasesize, chip_size):
    return bytes([1]) + struct.pack("<IQ", erasesize, chip_size) + text.encode()


def mtdparts_seeds():
    write("fuzz_mtdparts", "default", mtdparts("32M(system),16M(cache),16M(NFTL_Part),-(userdata)"))
    write("fuzz_mtdparts", "prefixed", mtdparts("mtdparts=gpmi-nand:1m(a),512K@4M(b)ro,0x40000(c:d),-@126M(e)",
                                                erase_shift=18, blocks=512))
    write("fuzz_mtdparts", "offsets", mtdparts(" 0x100000@0x200000(boot)ro,2m(x),-(rest)\n", erase_shift=20, blocks=64))
    write("fuzz_mtdparts", "odd-erase", mtdparts_raw("3000(a),6000@9000(b),-(c)", 3000, 30000))
    write("fuzz_mtdparts", "zero-erase", mtdparts_raw("1k(a)", 0, 1 << 20))
    write("fuzz_mtdparts", "huge", mtdparts_raw("16G(a),0xFFFFFFFFFFFFF000@0x1000(b)", 4096, (1 << 64) - 1))
    write("fuzz_mtdparts", "bad", mtdparts("1M(a),,2M@(b),-(c),1M(d);x:1M(e)"))


# --- fuzz_request -------------------------------------------------------------

WRITE, READ, DISCARD, FLUSH, DIRECT, READ_ALL, OPEN, WRITE_READ = range(8)


def in_range(sector):
    return [0] + list(struct.pack("<H", sector))


def near_end(back):
    return [1, back]


def past_end(by):
    return [2, by]


def extreme(pick):
    return [3, pick]


def length(sectors):
    assert sectors < 65
    return [sectors]


def layout(piece_sectors=8, pieces_per_bio=0, pattern=0):
    return [(piece_sectors - 1) | (pieces_per_bio << 5), pattern]


def len_how(kind, amount=0):
    """The length byte of a hand-built request: kind (byte % 6) and amount (byte >> 3)."""
    return next(v for v in range(amount * 8, amount * 8 + 8) if v % 6 == kind)


def direct(write_bit, start, pieces, lay, len_how, type_byte=0, discard=False, extra=None):
    flags = (1 if write_bit else 0) | (0x80 if discard else 0)
    out = [DIRECT, type_byte, flags] + start + [pieces] + lay + [len_how]
    if extra is not None:
        out += extra
    return out


def request_seeds():
    # Writes and reads of mixed sizes and layouts on a 2048-byte-page disk.
    seq = [WRITE] + in_range(0) + length(16) + layout(8, 0, 0)
    seq += [WRITE] + in_range(5) + length(3) + layout(1, 1, 1)
    seq += [WRITE_READ] + in_range(30) + length(64) + layout(3, 2, 0xA6)
    seq += [READ] + in_range(0) + length(40) + layout(2, 0, 1)
    seq += [FLUSH, OPEN, WRITE] + near_end(4) + length(4) + layout(8, 0, 0)
    seq += [WRITE] + near_end(2) + length(5) + layout(8, 0, 0)
    seq += [READ] + past_end(3) + length(1) + layout(1, 0, 0)
    seq += [OPEN, READ_ALL]
    write("fuzz_request", "mixed-2048", [0x03, 0x01] + seq)

    # Rewrites of the same sectors until collection runs, on 512-byte pages.
    seq = []
    for i in range(30):
        seq += [WRITE] + in_range((i * 7) % 60) + length(4 + i % 5) + layout(1 + i % 8, i % 3, i)
    seq += [READ_ALL]
    write("fuzz_request", "rewrite-512", [0x00, 0x01] + seq)

    # Requests built by hand: exact, bios longer and shorter than the
    # request, not whole sectors, no data, past the end, not a file-system
    # request, a discard, more pieces than the queue's segments.
    seq = direct(True, in_range(8), 4, layout(2, 1, 1), 0)
    seq += direct(False, in_range(8), 4, layout(2, 0, 0), 0)
    seq += direct(True, in_range(0), 6, layout(1, 0, 1), len_how(1, 2))
    seq += direct(True, in_range(0), 2, layout(4, 0, 0), len_how(2, 1))
    seq += direct(False, in_range(4), 2, layout(4, 0, 0), len_how(4, 3))
    seq += direct(True, in_range(4), 0, layout(1, 0, 0), len_how(5))
    seq += direct(True, near_end(1), 3, layout(1, 0, 0), 0)
    seq += direct(False, in_range(0), 3, layout(1, 0, 0), 0, type_byte=(2 << 2) | 3)
    seq += direct(True, in_range(0), 2, layout(1, 0, 0), 0, discard=True)
    seq += direct(True, in_range(0), 70, layout(1, 0, 1), 0)
    seq += direct(True, in_range(0), 1, layout(1, 0, 0), len_how(3), extra=list(struct.pack("<I", 0xFFFFFE00)))
    seq += [READ_ALL]
    write("fuzz_request", "direct-2048", [0x07, 0x01] + seq)

    # Discards, zero-length requests and extreme starts through the layer.
    seq = [DISCARD] + in_range(0) + length(8)
    seq += [DISCARD] + past_end(1) + length(8)
    seq += [WRITE] + in_range(3) + length(0) + layout(1, 0, 0)
    seq += [READ] + extreme(1) + length(2) + layout(1, 0, 0)
    seq += [WRITE] + extreme(4) + length(8) + layout(8, 0, 0)
    seq += [WRITE] + in_range(1) + [206] + layout(8, 0, 0)  # 255 sectors
    seq += [READ] + in_range(0) + [209] + layout(8, 0, 2)  # 512 sectors
    write("fuzz_request", "edges-512", [0x02, 0x00] + seq)


if __name__ == "__main__":
    attach_seeds()
    mtdparts_seeds()
    request_seeds()
