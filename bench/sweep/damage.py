"""Clean renders and the damage done to them, each step a file in the cache.

Renders: kvrtool play (square waves, 44100 Hz) and pyrender (smooth edges, 48000 Hz), both at
a peak of 0.7, as 32-bit float files. Damage: Gaussian noise of this module (one file of unit
noise per seed and rate, mixed in by sox at the wanted sigma), sox's lowpass, treble and rate
effects, dropouts as a gain envelope of this module, 8-bit captures quantised by sox, and
kvrtool play's own damage options. The recordings the converters read are 16-bit WAV files,
or 8-bit ones for the 8-bit captures."""

import array
import math
import os
import random
import subprocess
import tempfile

import pyrender
import tapes
import wavio

AMPLITUDE = 0.7
PLAY_RATE, PY_RATE = 44100, 48000
STEP = 1 / 128  # one step of an 8-bit capture, full scale 1


def base_rate(renderer):
    return PLAY_RATE if renderer == "play" else PY_RATE


def run(cmd):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, cmd))}: {r.stderr.strip() or r.stdout.strip()}")
    return r.stdout


def sox(*args):
    # No dither and the same random numbers each run: the recordings are reproducible.
    return run(["sox", "-V1", "-D", "-R", *map(str, args)])


def part(path):
    """A temporary name beside path; the finished file is renamed over path, so a cached file
    is always whole."""
    d, b = os.path.split(path)
    fd, tmp = tempfile.mkstemp(prefix=b + ".", suffix=".part.wav", dir=d)
    os.close(fd)
    return tmp


def frames(path):
    """The frame count of a WAV file written by this module, by sox or by kvrtool play."""
    with open(path, "rb") as f:
        head = f.read(4096)
    i = 12
    bits, channels = 16, 1
    while i + 8 <= len(head):
        cid, size = head[i:i + 4], int.from_bytes(head[i + 4:i + 8], "little")
        if cid == b"fmt ":
            channels = int.from_bytes(head[i + 10:i + 12], "little")
            bits = int.from_bytes(head[i + 22:i + 24], "little")
        if cid == b"data":
            return size // (bits // 8 * channels)
        i += 8 + size + (size & 1)
    raise ValueError(f"{path}: no data chunk")


class Cache:
    def __init__(self, root, bin_dir, version):
        self.root, self.bin_dir, self.version = root, bin_dir, version
        for sub in ("tapes", "clean", "noise", "rec", "out"):
            os.makedirs(os.path.join(root, sub), exist_ok=True)

    def path(self, sub, name):
        return os.path.join(self.root, sub, name)

    def kvr(self, tape_name):
        p = self.path("tapes", tape_name + ".kvr")
        if not os.path.exists(p):
            t = part(p)
            with open(t, "wb") as f:
                f.write(tapes.TAPES[tape_name]().kvr())
            os.replace(t, p)
        return p

    def play(self, args, out):
        run([os.path.join(self.bin_dir, "kvrtool"), "play", *map(str, args), "-o", out])


def clean(cache, renderer, tape_name, rate=None, wow=0.0, flutter=0.0, seed=1):
    """The clean render of a tape, with wow and flutter if asked (kvrtool play's own, or
    pyrender's time warp, whose phase the seed draws)."""
    rate = rate or base_rate(renderer)
    warp = f"-w{wow}-f{flutter}-s{seed}" if wow or flutter else ""
    p = cache.path("clean", f"{renderer}-{tape_name}-{rate}{warp}-{cache.version}.wav")
    if os.path.exists(p):
        return p
    t = part(p)
    if renderer == "play":
        drift = ["--wow", wow, "--flutter", flutter] if wow or flutter else []
        cache.play([cache.kvr(tape_name), "--amplitude", AMPLITUDE, "--rate", rate, "--format", "wavf32", *drift], t)
    else:
        w = pyrender.Warp(wow, flutter, seed) if wow or flutter else None
        wavio.write_float(t, rate, pyrender.render(tapes.TAPES[tape_name](), rate, AMPLITUDE, w))
    os.replace(t, p)
    return p


def noise_seconds():
    return max(tapes.TAPES[n]().duration_s() for n in tapes.TAPES) * 1.1 + pyrender.LEAD_S + 1


# The noise files hold Gaussian noise of this sigma: sox clips what it reads from a float file
# to full scale, so unit noise would lose its tails (and a quarter of its power).
NOISE_SIGMA = 0.1


def noise(cache, seed, rate):
    """Gaussian noise of sigma NOISE_SIGMA, from Python's generator with the seed given."""
    p = cache.path("noise", f"gauss-{seed}-{rate}-{cache.version}.wav")
    if os.path.exists(p):
        return p
    g = random.Random(f"noise {seed}").gauss
    n = int(noise_seconds() * rate)
    t = part(p)
    wavio.write_float(t, rate, array.array("f", [g(0.0, NOISE_SIGMA) for _ in range(n)]))
    os.replace(t, p)
    return p


def mix(out, signal, sigma, noise_path, gain=1.0, bits=16):
    """signal times gain plus noise of the given sigma, written at 16 bits (or 8). The sum clips
    at full scale, as a capture does."""
    n = frames(signal)
    enc = ["-b", "8", "-e", "unsigned-integer"] if bits == 8 else ["-b", "16", "-e", "signed-integer"]
    if sigma > 0:
        sox("-m", "-v", gain, signal, "-v", sigma / NOISE_SIGMA, noise_path, *enc, out, "trim", "0", f"{n}s")
    else:
        sox("-v", gain, signal, *enc, out)


def filtered(signal, out, *effect):
    sox(signal, "-e", "floating-point", "-b", "32", out, *effect)


def dropout_spans(tape, seed, ms, rate, lead_s):
    """One dropout inside the data of every block, at a place drawn from the seed: (first
    sample, length in samples)."""
    rng = random.Random(f"dropouts {seed}")
    spans = []
    for _, start, end in tape.timeline():
        a, b = start / tapes.CLOCK, end / tapes.CLOCK
        length = ms / 1000
        at = a + rng.random() * max(0.0, b - a - length)
        spans.append((int((at + lead_s) * rate), max(1, int(length * rate))))
    return spans


def dropout_fade_s(length_s):
    return min(0.003, length_s / 4)


def apply_dropouts(samples, spans, depth, rate):
    """Each dropout fades down to depth over 3 ms (a quarter of it at most), holds, fades up."""
    for first, n in spans:
        fade = max(1, min(int(dropout_fade_s(n / rate) * rate), n // 4))
        for i in range(n):
            k = first + i
            if k >= len(samples):
                break
            edge = min(i, n - 1 - i)
            f = 1.0 if edge >= fade else 0.5 - 0.5 * math.cos(math.pi * edge / fade)
            samples[k] *= 1.0 - (1.0 - depth) * f
    return samples
