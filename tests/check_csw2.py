#!/usr/bin/env python3
"""Checks kvrtool's CSW version 2 files with a zlib of its own: renders an image as CSW
version 1 and 2 at several rates and settings, inflates the version 2 pulses and compares
them with the version 1 stream, and checks every field of the version 2 header.

    check_csw2.py KVRTOOL IMAGE
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

SIGNATURE = b"Compressed Square Wave\x1a"


def render(kvrtool, image, out, fmt, rate, extra):
    subprocess.run([kvrtool, "play", image, "-o", out, "--format", fmt, "--rate", str(rate)] + extra,
                   check=True)
    with open(out, "rb") as f:
        return f.read()


def pulses_of(stream):
    """The pulse lengths of a run-length stream (a 0 byte brings a 32-bit length)."""
    out, i = [], 0
    while i < len(stream):
        if stream[i]:
            out.append(stream[i])
            i += 1
        else:
            out.append(struct.unpack_from("<I", stream, i + 1)[0])
            i += 5
    return out


def check(kvrtool, image, work, rate, extra):
    what = f"{rate} Hz {' '.join(extra)}".strip()
    v2 = render(kvrtool, image, os.path.join(work, "t.csw2"), "csw2", rate, extra)
    problems = []
    if v2[:23] != SIGNATURE or v2[23:25] != b"\x02\x00":
        problems.append("signature or version")
    file_rate, stated, compression, flags, ext = struct.unpack_from("<IIBBB", v2, 25)
    stream = zlib.decompress(v2[52 + ext:])
    pulses = pulses_of(stream)
    if file_rate != rate:
        problems.append(f"rate {file_rate}")
    if compression != 2:
        problems.append(f"compression {compression}")
    if stated != len(pulses):
        problems.append(f"header states {stated} pulses, the stream holds {len(pulses)}")
    if rate <= 65535:
        v1 = render(kvrtool, image, os.path.join(work, "t.csw"), "csw", rate, extra)
        if stream != v1[32:]:
            problems.append("inflated pulses differ from the version 1 file")
        if flags & 1 != v1[28] & 1:
            problems.append("first level differs from the version 1 file")
    elif not pulses or min(pulses) == 0:
        problems.append("no pulses, or an empty one")
    print(("FAIL " if problems else "ok   ") + what + (": " + "; ".join(problems) if problems else ""))
    return not problems


def main():
    kvrtool, image = sys.argv[1], sys.argv[2]
    settings = [(44100, []), (22050, ["--noise", "0.3", "--seed", "5"]),
                (48000, ["--jitter", "3", "--lowpass", "9000"]), (8000, []), (192000, [])]
    with tempfile.TemporaryDirectory() as work:
        results = [check(kvrtool, image, work, rate, extra) for rate, extra in settings]
    print(f"{results.count(True)} passed, {results.count(False)} failed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
