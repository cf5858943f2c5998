// The data after a pilot, decided a bit at a time from the whole of each bit. A bit is two
// equal half-periods, short for a 0 and twice as long for a 1, so with the bit's start known
// the two differ over the short length after its first half-period, and again over the
// short length after that, where a 0 is followed by the next bit's first half-period: the
// sign of the difference of the two sums decides, and its size is the bit's confidence. The
// edges the decision implies keep the bit clock and the level in step with the tape (wow,
// flutter, a dropout), and a stretch too weak to read is read on through, not ended.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "demod/signal.hpp"
#include "demod/tones.hpp"

namespace kvr::demod {

struct DecidedBit {
    double start = 0.0, middle = 0.0, end = 0.0;  // its edges, in samples
    int value = 0;
    float confidence = 0.0f;  // the log-likelihood ratio of the value decided over the other
};

struct DataReading {
    double pilot_end = 0.0;    // the edge that ends the pilot, and opens the sync
    double sync_middle = 0.0;  // the edge between the two sync half-periods
    double start = 0.0;        // where the first bit begins
    int polarity = 1;          // the level of each bit's first half-period
    double short_hp = 0.0;     // the 0 bit's half-period where the data begins, in samples
    std::vector<DecidedBit> bits;
    // The bits read well after the last whole byte: no part of the block (a part of a byte
    // never checks out), but what this reading holds of a last byte it lost a bit of.
    std::vector<DecidedBit> past;
    double end() const { return bits.empty() ? start : bits.back().end; }
};

struct BitSearch {
    double rate = 44100.0;               // samples per second
    double noise = 0.0;                  // the signal's noise per sample
    double amplitude = 1.0;              // the square wave's amplitude
    double fewest_ratio = 0.22, most_ratio = 0.45;  // the 0 bit's half-period to the pilot's
    std::size_t most_bits = 8 * 131072;
};

// Finds the sync after the tone and reads the bits that follow, from the signal's prefix
// sums. Nothing when no bit follows.
std::optional<DataReading> read_data(const PrefixSums& s, const Tone& tone, const BitSearch& search);

}  // namespace kvr::demod
