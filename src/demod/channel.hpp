// What the tape and the capture did to the signal, measured on a pilot tone, and the filter
// that undoes it. A pilot is a long square wave of a known half-period: its harmonics tell the
// gain and phase of the whole chain at each of their frequencies, and what is left of the
// signal once they are taken out is the noise. The equaliser brings the band the bits live
// in back to a flat response (a treble loss, a worn head, a capture through a low-pass), as
// far as the noise allows, and cuts what lies above it.
#pragma once

#include <complex>
#include <span>
#include <vector>

#include "demod/tones.hpp"

namespace kvr::demod {

struct Channel {
    double harmonic_hz = 0.0;  // the spacing of the measured frequencies: the tone's fundamental, per sample
    // The response at the odd harmonics 1, 3, 5... of the tone's fundamental (index k for
    // harmonic 2k + 1), the ideal square wave of amplitude 1 taken as what went in.
    std::vector<std::complex<double>> response;
    double noise = 0.0;  // the noise's root mean square, per sample
    // The response at a frequency (cycles per sample), between and beyond the measured ones.
    std::complex<double> at(double f) const;
};

// Measures the channel on samples [from, to) of x, which lie within the tone.
Channel measure_channel(std::span<const float> x, const Tone& tone, double from, double to);

// The taps of the equaliser for bits whose short half-period is `short_hp` samples: flat up
// to above the fundamental of the shortest bit, then falling away. The square wave comes out
// with amplitude about 1.
std::vector<float> equaliser(const Channel& channel, double short_hp);

}  // namespace kvr::demod
