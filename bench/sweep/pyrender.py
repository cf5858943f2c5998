"""A second renderer of tapes, written from the tape timings alone, so that the sweep does not
rest on one renderer's habits. Its choices differ from kvrtool play's on purpose:

- every edge lies at its exact fractional position and rises over a smooth step (an
  integrated Hann window, 50 microseconds or 1.5 samples wide, whichever is wider), so the
  pulses are band-limited rather than square;
- the first pulse of a block is high (kvrtool play starts low), a block ends with its closing
  edge held 2 ms before the level falls to rest, and the tape starts after 0.25 s of rest;
- its default rate is 48000 Hz;
- wow and flutter are a time warp of its own rates (0.55 Hz and 9.5 Hz) with a phase drawn
  from the seed."""

import array
import math
import random

from tapes import CLOCK

LEAD_S = 0.25
HOLD_MS = 2.0
EDGE_US = 50.0
WOW_HZ, FLUTTER_HZ = 0.55, 9.5


class Warp:
    """Tape time (s) to recording time (s): the speed is 1 + a cosine for wow and one for
    flutter; the position is the speed's integral, so no error builds up."""

    def __init__(self, wow_pct=0.0, flutter_pct=0.0, seed=1):
        rng = random.Random(seed * 7919 + 17)
        self.terms = [(p / 100.0, hz, rng.uniform(0, 2 * math.pi))
                      for p, hz in ((wow_pct, WOW_HZ), (flutter_pct, FLUTTER_HZ)) if p > 0]

    def __call__(self, s):
        for depth, hz, phase in self.terms:
            w = 2 * math.pi * hz
            s += depth * (math.sin(w * s + phase) - math.sin(phase)) / w
        return s


def edges(tape, rate, amplitude, warp=None):
    """The tape as (sample position, step) pairs, in order."""
    out = []
    lead = LEAD_S * rate
    to_x = (lambda t: warp(t / CLOCK) * rate + lead) if warp else (lambda t: t / CLOCK * rate + lead)
    t = 0
    for b in tape.blocks:
        level = 0.0
        for i, p in enumerate(b.pulses()):
            new = amplitude if i % 2 == 0 else -amplitude
            out.append((to_x(t), new - level))
            level = new
            t += p
        # The closing edge, held a moment, then the rest level.
        out.append((to_x(t), -2 * level))
        level = -level
        out.append((to_x(t + HOLD_MS * CLOCK / 1000), -level))
        t += b.pause_ms * (CLOCK // 1000)
    end = to_x(t) + 1
    return out, int(end)


def step_response(u, width):
    """The smooth step: 0 before -width/2, 1 after +width/2."""
    v = u / width + 0.5
    if v <= 0:
        return 0.0
    if v >= 1:
        return 1.0
    return v - math.sin(2 * math.pi * v) / (2 * math.pi)


def render(tape, rate=48000, amplitude=0.7, warp=None):
    """The samples of a tape, floats of full scale 1."""
    es, total = edges(tape, rate, amplitude, warp)
    out = array.array("f")
    level, pos = 0.0, 0
    for x, d in es:
        start = math.ceil(x)
        if start > pos:
            out.extend([level] * (start - pos))
            pos = start
        level += d
    out.extend([level] * (total - pos))
    # Each edge's sharp step, replaced near the edge by the smooth one.
    width = max(EDGE_US * 1e-6 * rate, 1.5)
    half = width / 2
    n = len(out)
    for x, d in es:
        for i in range(max(0, math.ceil(x - half)), min(n, math.floor(x + half) + 1)):
            out[i] += d * (step_response(i - x, width) - (1.0 if i >= x else 0.0))
    return out
