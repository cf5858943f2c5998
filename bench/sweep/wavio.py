"""Mono WAV files as arrays of floats, full scale 1: 32-bit float written, 8-bit, 16-bit and
32-bit float read."""

import array
import os
import struct
import sys


def write_float(path, rate, samples):
    data = array.array("f", samples)
    if sys.byteorder != "little":
        data.byteswap()
    body = data.tobytes()
    fmt = struct.pack("<HHIIHHH", 3, 1, rate, rate * 4, 4, 32, 0)
    out = b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 12 + 8 + len(body)) + b"WAVE"
    out += b"fmt " + struct.pack("<I", len(fmt)) + fmt
    out += b"fact" + struct.pack("<II", 4, len(data))
    out += b"data" + struct.pack("<I", len(body)) + body
    with open(path + ".part", "wb") as f:
        f.write(out)
    os.replace(path + ".part", path)


def read(path):
    """(rate, samples) of a mono WAV file; the first channel of a stereo one."""
    with open(path, "rb") as f:
        raw = f.read()
    if raw[:4] != b"RIFF" or raw[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a WAV file")
    i, fmt, data = 12, None, None
    while i + 8 <= len(raw):
        cid, size = raw[i:i + 4], struct.unpack_from("<I", raw, i + 4)[0]
        body = raw[i + 8:i + 8 + size]
        if cid == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", body)
        elif cid == b"data":
            data = body
            break
        i += 8 + size + (size & 1)
    if fmt is None or data is None:
        raise ValueError(f"{path}: no fmt or data chunk")
    tag, channels, rate, _, _, bits = fmt
    if tag == 0xFFFE:
        tag = 3 if bits == 32 and body_is_float(raw) else 1
    if tag == 3 and bits == 32:
        a = array.array("f")
        a.frombytes(data[:len(data) // 4 * 4])
        if sys.byteorder != "little":
            a.byteswap()
        samples = a
    elif tag == 1 and bits == 16:
        a = array.array("h")
        a.frombytes(data[:len(data) // 2 * 2])
        if sys.byteorder != "little":
            a.byteswap()
        samples = array.array("f", (v / 32768.0 for v in a))
    elif tag == 1 and bits == 8:
        samples = array.array("f", ((v - 128) / 128.0 for v in data))
    else:
        raise ValueError(f"{path}: format {tag}, {bits} bits not read here")
    if channels > 1:
        samples = samples[::channels]
    return rate, samples


def body_is_float(raw):
    # The sub-format GUID of an extensible header starts with the format tag.
    at = raw.find(b"fmt ")
    return at >= 0 and struct.unpack_from("<H", raw, at + 8 + 24)[0] == 3
