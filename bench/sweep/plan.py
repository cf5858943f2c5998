"""The rows of the sweep: every damage, its levels, the renderers and seeds it is made with,
and which rows are for tuning and which are held out.

A row is tuned on when it is a kvrtool play render, of seed 1 or 2, at one of its family's
tuning levels; every other row is held out: seeds 3 to 6 (other tapes, or the same under other noise), the
levels between and beyond, and every pyrender render. The recordings of shared/ are a set of
their own and always run."""

import math
import os

import damage as d
import limits
import pyrender
import tapes
import wavio

TUNE_SEEDS = (1, 2)
SEEDS = (1, 2, 3, 4, 5, 6)
QUICK_SEEDS = (1, 3)
SQRT3 = math.sqrt(3)


def pct(x):
    return f"{x:g}"


class Family:
    def __init__(self, name, tool, renderers, levels, tune, quick, make, estimate=None, unit=""):
        self.name, self.tool, self.renderers = name, tool, renderers
        self.levels = levels  # label -> parameters
        self.tune, self.quick = set(tune), set(quick)
        self.make, self.estimate, self.unit = make, estimate, unit


# What each family does to a tape. cache: damage.Cache; r: the row; out: the recording.

def make_noise(cache, r, out):
    c = d.clean(cache, r["renderer"], r["tape"])
    d.mix(out, c, r["params"]["sigma"], d.noise(cache, r["seed"], d.base_rate(r["renderer"])))


def make_noise_play(cache, r, out):
    cache.play([cache.kvr(r["tape"]), "--amplitude", d.AMPLITUDE, "--noise", r["params"]["sigma"] * SQRT3,
                "--seed", r["seed"]], out)


DROPOUT_NOISE = 0.02


def make_dropouts(cache, r, out):
    rate = d.base_rate(r["renderer"])
    c = d.clean(cache, r["renderer"], r["tape"])
    _, samples = wavio.read(c)
    lead = pyrender.LEAD_S if r["renderer"] == "py" else 0.0
    spans = d.dropout_spans(tapes.TAPES[r["tape"]](), r["seed"], r["params"]["ms"], rate, lead)
    tmp = d.part(out)
    try:
        wavio.write_float(tmp, rate, d.apply_dropouts(samples, spans, r["params"]["depth"], rate))
        d.mix(out, tmp, DROPOUT_NOISE, d.noise(cache, r["seed"], rate))
    finally:
        os.remove(tmp)


def make_dropouts_play(cache, r, out):
    p = r["params"]
    cache.play([cache.kvr(r["tape"]), "--amplitude", d.AMPLITUDE, "--dropouts", 30, "--dropout-ms", p["ms"],
                "--dropout-depth", p["depth"], "--noise", 0.02 * SQRT3, "--seed", r["seed"]], out)


def filtered_then_noise(effect, sigma):
    def make(cache, r, out):
        c = d.clean(cache, r["renderer"], r["tape"])
        tmp = d.part(out)
        try:
            d.filtered(c, tmp, *effect(r["params"]))
            d.mix(out, tmp, sigma, d.noise(cache, r["seed"], d.base_rate(r["renderer"])))
        finally:
            os.remove(tmp)
    return make


def make_lowpass_play(cache, r, out):
    cache.play([cache.kvr(r["tape"]), "--amplitude", d.AMPLITUDE, "--lowpass", r["params"]["hz"],
                "--noise", 0.03 * SQRT3, "--seed", r["seed"]], out)


# An 8-bit capture: noise of 0.6 of a step is added before the quantiser, as a real capture's
# own noise does.
CAPTURE_NOISE = 0.6 * d.STEP


def make_8bit(cache, r, out):
    c = d.clean(cache, r["renderer"], r["tape"])
    gain = r["params"]["steps"] * d.STEP / d.AMPLITUDE
    d.mix(out, c, CAPTURE_NOISE, d.noise(cache, r["seed"], d.base_rate(r["renderer"])), gain=gain, bits=8)


def make_8bit_play(cache, r, out):
    cache.play([cache.kvr(r["tape"]), "--format", "wav8", "--amplitude", r["params"]["steps"] * d.STEP,
                "--noise", CAPTURE_NOISE * SQRT3, "--seed", r["seed"]], out)


def make_resample(cache, r, out):
    c = d.clean(cache, r["renderer"], r["tape"])
    d.sox(c, "-b", "16", "-e", "signed-integer", out, "rate", r["params"]["rate"])


def make_rate(cache, r, out):
    rate = r["params"]["rate"]
    if r["renderer"] == "play":
        cache.play([cache.kvr(r["tape"]), "--amplitude", d.AMPLITUDE, "--rate", rate], out)
    else:
        d.sox(d.clean(cache, "py", r["tape"], rate=rate), "-b", "16", "-e", "signed-integer", out)


# Wow and flutter under noise: a reader that follows the speed reads them as well as the noise
# alone allows.
WOW_NOISE = 0.45


def make_wow(cache, r, out):
    p = r["params"]
    seed = r["seed"] if r["renderer"] == "py" else 1  # kvrtool play's drift has no phase to draw
    c = d.clean(cache, r["renderer"], r["tape"], wow=p["wow"], flutter=p["flutter"], seed=seed)
    d.mix(out, c, WOW_NOISE, d.noise(cache, r["seed"], d.base_rate(r["renderer"])))


# The estimates of a row (limits.py), or None where they do not apply.

def white(amplitude, sigma):
    def estimate(r, tape):
        rate = r["params"].get("rate") or d.base_rate(r["renderer"])
        return limits.white_noise([b.data for b in tape.blocks], tape.bit0(), rate, amplitude(r), sigma(r))
    return estimate


def est_dropout(r, tape):
    p = r["params"]
    held = p["ms"] / 1000 - 2 * d.dropout_fade_s(p["ms"] / 1000)
    t = tape.blocks[0].timings
    return limits.one_dropout_each([b.data for b in tape.blocks], t["bit0"], t["bit1"], d.base_rate(r["renderer"]),
                                   d.AMPLITUDE, DROPOUT_NOISE, p["depth"], held)


# The quantiser adds a step squared over 12 to the variance of the noise in front of it.
est_noise = white(lambda r: d.AMPLITUDE, lambda r: r["params"]["sigma"])
est_8bit = white(lambda r: r["params"]["steps"] * d.STEP, lambda r: math.sqrt(CAPTURE_NOISE ** 2 + d.STEP ** 2 / 12))
est_wow = white(lambda r: d.AMPLITUDE, lambda r: WOW_NOISE)


BOTH = ("play", "py")
FAMILIES = [
    Family("noise", "gauss+sox", BOTH, {f"{s / 10:g}": {"sigma": s / 10} for s in range(3, 11)},
           tune=["0.3", "0.5", "0.7", "0.9"], quick=["0.5", "0.7", "0.9"], make=make_noise, estimate=est_noise,
           unit="sigma"),
    Family("noise-play", "play --noise", ("play",),
           {f"{s:g}": {"sigma": s} for s in (0.25, 0.3, 0.35, 0.4, 0.45, 0.5, 0.55)},
           tune=["0.3", "0.4", "0.5"], quick=["0.4", "0.5"], make=make_noise_play, estimate=est_noise,
           unit="sigma (uniform)"),
    Family("dropout", "envelope+gauss 0.02", BOTH,
           {f"{ms}ms-{pct(dp * 100)}%": {"ms": ms, "depth": dp}
            for ms, dp in ((20, 0.3), (20, 0.1), (20, 0.03), (20, 0.01), (10, 0.03), (40, 0.03), (60, 0.03),
                           (80, 0.03), (60, 0.01))},
           tune=["20ms-10%", "20ms-3%", "20ms-1%", "60ms-3%"], quick=["20ms-3%", "60ms-3%"], make=make_dropouts,
           estimate=est_dropout, unit="length-depth"),
    Family("dropout-play", "play --dropouts 30/min", ("play",),
           {f"{ms}ms-{pct(dp * 100)}%": {"ms": ms, "depth": dp} for ms, dp in ((20, 0.03), (60, 0.03), (40, 0.01))},
           tune=["20ms-3%", "60ms-3%"], quick=["60ms-3%"], make=make_dropouts_play, unit="length-depth"),
    Family("lowpass", "sox lowpass+gauss 0.03", BOTH,
           {str(f): {"hz": f} for f in (2500, 2000, 1700, 1550, 1400, 1300, 1200)},
           tune=["2000", "1700", "1400"], quick=["1700", "1400"],
           make=filtered_then_noise(lambda p: ("lowpass", p["hz"]), 0.03), unit="Hz"),
    Family("lowpass-steep", "sox sinc -F+gauss 0.03", BOTH,
           {str(f): {"hz": f} for f in (3500, 3000, 2500, 2200, 2000, 1850, 1700, 1400)},
           tune=["2000", "1700", "1400"], quick=["2000", "1700"],
           make=filtered_then_noise(lambda p: ("sinc", f"-{p['hz']}"), 0.03), unit="Hz"),
    Family("lowpass-play", "play --lowpass (1 pole)", ("play",),
           {str(f): {"hz": f} for f in (2000, 1200, 800, 600, 400)},
           tune=["1200", "600"], quick=["600"], make=make_lowpass_play, unit="Hz"),
    Family("treble", "sox treble -G 1500+gauss 0.03", BOTH,
           {str(g): {"db": g} for g in (10, 20, 25, 30, 35, 40, 45)},
           tune=["20", "30", "40"], quick=["30", "40"],
           make=filtered_then_noise(lambda p: ("treble", -p["db"], 1500), 0.03), unit="dB"),
    Family("8bit", "sox 8-bit+gauss 0.6 step", BOTH, {f"{s:g}": {"steps": s} for s in (8, 4, 3, 2, 1.5, 1)},
           tune=["4", "2", "1"], quick=["2", "1"], make=make_8bit, estimate=est_8bit, unit="steps"),
    Family("8bit-play", "play wav8+noise 0.6 step", ("play",), {f"{s:g}": {"steps": s} for s in (4, 2, 1)},
           tune=["4", "2", "1"], quick=["1"], make=make_8bit_play, estimate=est_8bit, unit="steps"),
    Family("resample", "sox rate", BOTH, {str(h): {"rate": h} for h in (22050, 11025, 8000, 7000, 6000)},
           tune=["11025", "6000"], quick=["6000"], make=make_resample, unit="Hz"),
    Family("rate", "rendered at the rate", BOTH, {str(h): {"rate": h} for h in (22050, 11025, 8000, 7000, 6000)},
           tune=["11025", "6000"], quick=["6000"], make=make_rate, unit="Hz"),
    Family("wow", "play --wow/--flutter; py warp; +gauss 0.45", BOTH,
           {f"{w:g}/{f:g}": {"wow": w, "flutter": f} for w, f in ((0, 0), (2, 1), (4, 2), (6, 3), (8, 4), (10, 5))},
           tune=["0/0", "4/2", "8/4"], quick=["0/0", "8/4"], make=make_wow, estimate=est_wow, unit="wow/flutter %"),
]
BY_NAME = {f.name: f for f in FAMILIES}


def row_set(family, level, renderer, seed):
    tuned = renderer == "play" and seed in TUNE_SEEDS and level in family.tune
    return "tune" if tuned else "held-out"


def rows():
    """Every row of the generated sets, in table order."""
    out = []
    for f in FAMILIES:
        for level, params in f.levels.items():
            for renderer in f.renderers:
                for seed in SEEDS:
                    out.append({
                        "key": f"{f.name}|{level}|{renderer}|{seed}",
                        "family": f.name, "tool": f.tool, "level": level, "params": params,
                        "renderer": renderer, "seed": seed, "tape": tapes.tape_for_seed(seed),
                        "set": row_set(f, level, renderer, seed),
                        "quick": seed in QUICK_SEEDS and level in f.quick,
                    })
    return out


def shared_rows(folder):
    """The shared recordings, with the blocks their manifest lists."""
    import json
    path = os.path.join(folder, "manifest.json")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        m = json.load(f)
    return [{"key": f"shared|{c['file']}", "family": "shared", "tool": c.get("damage", ""), "level": c["file"],
             "params": {}, "renderer": "other", "seed": 0, "tape": c["file"], "set": "shared", "quick": True,
             "file": os.path.join(folder, c["file"]), "blocks_hex": c["blocks"]} for c in m["cases"]]


def select(all_rows, which, quick, only=None):
    import re
    out = []
    for r in all_rows:
        if r["set"] != "shared" and which != "all" and r["set"] != which:
            continue
        if quick and not r["quick"]:
            continue
        if only and not re.search(only, r["key"]):
            continue
        out.append(r)
    return out
