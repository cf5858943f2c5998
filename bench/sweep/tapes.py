"""The sweep's test tapes: ROM-scheme header and data blocks of known bytes, written as TAP
files and KVR images, with the timeline of every block (where its pilot, sync and data lie).

All times are in T-states of the 3.5 MHz clock. Every byte comes from a seeded generator, so
every run makes the same tapes."""

import random
import struct

CLOCK = 3_500_000
ROM = {"pilot": 2168, "sync1": 667, "sync2": 735, "bit0": 855, "bit1": 1710}
HEADER_PILOTS, DATA_PILOTS = 8064, 3220


def checksum(body):
    c = 0
    for b in body:
        c ^= b
    return c


def header_block(kind, name, length, param1, param2):
    """A 19-byte header: flag 00, type, a 10-character name, the data length, two parameters
    and the checksum."""
    body = bytes([0, kind]) + name.encode("ascii")[:10].ljust(10, b" ")
    body += struct.pack("<HHH", length, param1, param2)
    return body + bytes([checksum(body)])


def data_block(length, rng, flag=0xFF):
    body = bytes([flag]) + bytes(rng.getrandbits(8) for _ in range(length))
    return body + bytes([checksum(body)])


class Block:
    """One block of a tape: its bytes and the timings it is played with."""

    def __init__(self, data, timings, pilots, pause_ms, turbo):
        self.data = data
        self.timings = timings
        self.pilots = pilots
        self.pause_ms = pause_ms
        self.turbo = turbo

    def pulses(self):
        """The pulse lengths of the block in order: pilot, sync, then two per bit, MSB first."""
        t = self.timings
        out = [t["pilot"]] * self.pilots + [t["sync1"], t["sync2"]]
        b0, b1 = t["bit0"], t["bit1"]
        for byte in self.data:
            for k in range(7, -1, -1):
                p = b1 if (byte >> k) & 1 else b0
                out.append(p)
                out.append(p)
        return out

    def length_tstates(self):
        t = self.timings
        ones = sum(bin(b).count("1") for b in self.data)
        zeros = 8 * len(self.data) - ones
        return (self.pilots * t["pilot"] + t["sync1"] + t["sync2"]
                + 2 * (ones * t["bit1"] + zeros * t["bit0"]))


class Tape:
    def __init__(self, name, blocks):
        self.name = name
        self.blocks = blocks

    def timeline(self):
        """For every block, (start, data start, data end) in T-states from the tape's first
        pulse; the pause after a block is counted from the end of its last pulse."""
        spans, t = [], 0
        for b in self.blocks:
            tm = b.timings
            data_start = t + b.pilots * tm["pilot"] + tm["sync1"] + tm["sync2"]
            end = t + b.length_tstates()
            spans.append((t, data_start, end))
            t = end + b.pause_ms * (CLOCK // 1000)
        return spans

    def duration_s(self):
        start, _, end = self.timeline()[-1]
        return (end + self.blocks[-1].pause_ms * (CLOCK // 1000)) / CLOCK

    def kvr(self):
        """The tape as a KVR image: standard speed data blocks (0x10), turbo speed data blocks
        (0x11) for the others."""
        out = bytearray(b"Vornak!\x1a\x01\x0a")
        for b in self.blocks:
            if not b.turbo:
                out += struct.pack("<BHH", 0x10, b.pause_ms, len(b.data)) + b.data
                continue
            t = b.timings
            n = len(b.data)
            out += struct.pack("<BHHHHHHBH", 0x11, t["pilot"], t["sync1"], t["sync2"], t["bit0"], t["bit1"],
                               b.pilots, 8, b.pause_ms)
            out += bytes([n & 0xFF, (n >> 8) & 0xFF, n >> 16]) + b.data
        return bytes(out)

    def tap(self):
        return b"".join(struct.pack("<H", len(b.data)) + b.data for b in self.blocks)

    def bit0(self):
        """The 0-bit pulse length of the tape's data (the same for every block of a tape)."""
        return self.blocks[0].timings["bit0"]


def make_tape(name, seed, lengths, speed=1.0, pause_ms=1000):
    """Header and data pairs of the given data lengths. At a speed other than 1 every pulse is
    that fraction of the ROM timing and the blocks are turbo speed blocks."""
    rng = random.Random(seed)
    turbo = speed != 1.0
    timings = {k: round(v * speed) for k, v in ROM.items()}
    blocks = []
    for i, n in enumerate(lengths):
        kind = i % 4
        name_text = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") for _ in range(rng.randint(3, 10)))
        header = header_block(kind, name_text, n, rng.getrandbits(15), rng.getrandbits(15))
        blocks.append(Block(header, timings, HEADER_PILOTS, pause_ms, turbo))
        blocks.append(Block(data_block(n, rng), timings, DATA_PILOTS, pause_ms, turbo))
    return Tape(name, blocks)


# The tapes of the sweep. A row's seed picks its tape, in turn: seeds 1 and 2 (the tuning
# seeds) play "six" and "turbo", seeds 3 and 4 "four" and "mixed", seeds 5 and 6 "six" and
# "turbo" again under other noise.
TAPES = {
    "six": lambda: make_tape("six", 601, [300, 1000, 500]),
    "turbo": lambda: make_tape("turbo", 602, [1200, 600], speed=0.7),
    "four": lambda: make_tape("four", 603, [1500, 200]),
    "mixed": lambda: make_tape("mixed", 604, [100, 2000, 700]),
}
SEED_TAPES = ["six", "turbo", "four", "mixed"]


def tape_for_seed(seed):
    return SEED_TAPES[(seed - 1) % len(SEED_TAPES)]


def tap_records(data):
    """The records of a TAP file; a truncated last record is dropped."""
    out, i = [], 0
    while i + 2 <= len(data):
        (n,) = struct.unpack_from("<H", data, i)
        if i + 2 + n > len(data):
            break
        out.append(bytes(data[i + 2:i + 2 + n]))
        i += 2 + n
    return out
