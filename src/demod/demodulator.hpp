// The demodulator: finds the blocks of a stretch of a recording in its waveform, not in its
// signs. Each pilot tone is found by weighing the smoothed signal, the chain's response is
// measured on it and undone, and the data is decided bit by bit over whole half-periods,
// each bit with its confidence. What it decided is handed on as edges, for the loaders to
// read as they read any other levels.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "demod/bits.hpp"
#include "demod/tones.hpp"
#include "input/recording.hpp"

namespace kvr::demod {

// A block as the demodulator found it, in samples of the stretch.
struct FoundData {
    Tone tone;
    DataReading data;
};

struct Demodulation {
    std::vector<FoundData> blocks;
};

// The blocks of a signal (one channel, full scale about 1) at `rate` samples per second.
Demodulation demodulate(std::span<const float> x, double rate);

// The stretch's levels: `around` (the levels the stretch had before, as a recording of its
// own) outside the blocks found, and the edges the demodulator decided within them: each
// pilot's edges, the sync's, and two per bit; a block's data ends in a level held until
// what follows it.
//
// The edges are decided between samples, and a reading of levels sees them only to the
// sample: at low rates that is a large part of a half-period. With `finer` above 1 the
// levels are given at that many times the rate (positions and count scaled alike), so that
// a loader measures the decided lengths as they were decided.
Recording decided_levels(const Demodulation& d, const Recording& around, std::int32_t finer = 1);

}  // namespace kvr::demod
