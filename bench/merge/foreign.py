"""Sets of three recordings made from the shared recordings, whose renderer is not ours: each
copy is damaged again on its own, by noise mixed in, sox's treble cut with a level change,
dropouts, or sox's speed and lowpass effects, at levels where a copy alone gives about 60 % of
the blocks. The truth is the shared manifest's bytes of every block."""

import hashlib
import json
import os
import random

import damage as d
import wavio

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED = os.path.normpath(os.path.join(HERE, "..", "..", "..", "shared", "recordings"))
RATE = 22050  # the shared recordings'

with open(os.path.abspath(__file__), "rb") as _f:
    OWN = hashlib.sha1(_f.read()).hexdigest()[:8]  # recordings are made anew when this file changes


def blocks_of(name):
    """The bytes of every block of a shared recording, in tape order."""
    with open(os.path.join(SHARED, "manifest.json")) as f:
        cases = json.load(f)["cases"]
    return [bytes.fromhex(b) for c in cases if c["file"] == name for b in c["blocks"]]


def noise_over(cache, seed, out, sigma, made, gain=1.0):
    tmp = d.part(out)
    try:
        made(tmp)
        d.mix(out, tmp, sigma, d.noise(cache, seed, RATE), gain)
    finally:
        os.remove(tmp)


def noisy(cache, src, sigma, seed, out):
    d.mix(out, src, sigma, d.noise(cache, seed, RATE))


def dull(cache, src, sigma, seed, out):
    noise_over(cache, seed, out, sigma, lambda tmp: d.filtered(src, tmp, "treble", "-8", "1500"), gain=0.6)


DROPOUT_MS, DROPOUT_DEPTH, DROPOUT_EVERY_S = 12, 0.15, 3.0


def dropped(cache, src, sigma, seed, out):
    """A dropout about every 3 s, at places drawn from the seed."""
    _, samples = wavio.read(src)
    rng = random.Random(f"foreign dropouts {seed}")
    n = max(1, int(DROPOUT_MS / 1000 * RATE))
    spans = [(int((k + rng.random()) * DROPOUT_EVERY_S * RATE), n) for k in range(int(len(samples) / RATE / DROPOUT_EVERY_S))]
    noise_over(cache, seed, out, sigma,
               lambda tmp: wavio.write_float(tmp, RATE, d.apply_dropouts(samples, spans, DROPOUT_DEPTH, RATE)))


def warped(cache, src, sigma, seed, out):
    """Another deck: 1 % fast and lowpassed by sox, at 0.8 of the level."""
    noise_over(cache, seed, out, sigma,
               lambda tmp: d.filtered(src, tmp, "speed", "1.01", "lowpass", "3000", "rate", RATE), gain=0.8)


# Each set: a shared recording and three copies of it, (how, sigma, seed). The levels were
# measured with seeds 71 to 76, none of these.
LEVELS = {
    "wow-flutter.wav": {noisy: 0.75, dull: 0.25, dropped: 0.4},
    "hum-60.wav": {noisy: 0.45, dropped: 0.35, warped: 0.35},
    "band-400-3500.wav": {noisy: 0.65, dull: 0.2, warped: 0.45},
}


def sets_of(short, src, first_seed, count=3):
    """Sets of one shared recording, the copies in another order in each, so that the seeds
    fall on other copies."""
    hows = list(LEVELS[src])
    out = {}
    for k in range(count):
        turn = hows[k:] + hows[:k]
        name = f"foreign-{short}" + (f"-{k + 1}" if k else "")
        out[name] = (src, [(how, LEVELS[src][how], first_seed + 3 * k + i) for i, how in enumerate(turn)])
    return out


SETS = {**sets_of("wow", "wow-flutter.wav", 141), **sets_of("hum", "hum-60.wav", 151),
        **sets_of("band", "band-400-3500.wav", 161),
        # Made before the misses of the sets above were looked into; run once, after the last change.
        **sets_of("blind-wow", "wow-flutter.wav", 191, 1), **sets_of("blind-hum", "hum-60.wav", 194, 1),
        **sets_of("blind-band", "band-400-3500.wav", 197, 1),
        # Made before the sets above were first run: kept for after any change their misses lead to.
        **sets_of("later-wow", "wow-flutter.wav", 211, 1), **sets_of("later-hum", "hum-60.wav", 214, 1),
        **sets_of("later-band", "band-400-3500.wav", 217, 1),
        # Made before the misses of the sets above were looked into; run once, after the last change.
        **sets_of("last-wow", "wow-flutter.wav", 231, 1), **sets_of("last-hum", "hum-60.wav", 234, 1),
        **sets_of("last-band", "band-400-3500.wav", 237, 1)}


def recordings(cache, name):
    """The set's three recordings, made when not in the cache."""
    src, recipe = SETS[name]
    out = []
    for how, sigma, seed in recipe:
        p = cache.path("rec", f"foreign-{src[:-4]}-{how.__name__}-{sigma}-{seed}-{OWN}.wav")
        if not os.path.exists(p):
            tmp = d.part(p)
            how(cache, os.path.join(SHARED, src), sigma, seed, tmp)
            os.replace(tmp, p)
        out.append(p)
    return out
