"""What an ideal reader could recover: the two estimates of the issue on the sweep's recordings.

With the bit's start known, a 0 and a 1 bit differ over one 0-bit half-period (n samples) by
twice the amplitude A. A detector weighing that half-period errs with p1 = Q(sqrt(n) A / sigma);
one weighing how the next bit lines up too, with p2 = Q(sqrt(2n) A / sigma). A block of B bits
is read whole with probability (1 - p)^B; the estimate of a recording is the sum over its
blocks."""

import math

from tapes import CLOCK


def q(x):
    return 0.5 * math.erfc(x / math.sqrt(2))


def bit_errors(bit0_tstates, rate, amplitude, sigma):
    """(p1, p2) for white noise of sigma on pulses of the given amplitude."""
    n = bit0_tstates * rate / CLOCK
    return tuple(q(math.sqrt(k * n) * amplitude / sigma) for k in (1, 2))


def white_noise(blocks, bit0_tstates, rate, amplitude, sigma):
    ps = bit_errors(bit0_tstates, rate, amplitude, sigma)
    return [sum((1 - p) ** (8 * len(b)) for b in blocks) for p in ps]


def one_dropout_each(blocks, bit0, bit1, rate, amplitude, sigma, depth, down_s):
    """Every block has one dropout whose level stays at depth for down_s seconds: the bits in
    it are read at amplitude times depth (a reader whose level follows the dropout), the
    others at the full amplitude."""
    inside = down_s / ((bit0 + bit1) / CLOCK)  # a bit lasts bit0 + bit1 T-states on average
    ins = bit_errors(bit0, rate, amplitude * depth, sigma)
    outs = bit_errors(bit0, rate, amplitude, sigma)
    out = []
    for p_in, p_out in zip(ins, outs):
        total = 0.0
        for b in blocks:
            bits = 8 * len(b)
            k = min(bits, inside)
            total += (1 - p_in) ** k * (1 - p_out) ** (bits - k)
        out.append(total)
    return out
