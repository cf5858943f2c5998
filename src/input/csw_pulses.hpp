// The pulse stream of a CSW file: one byte per pulse of 1 to 255 samples, or a 0 byte
// followed by the length as 32 bits. Version 2 may hold it compressed with zlib.
#pragma once

#include <cstdint>
#include <vector>

#include "input/readers.hpp"

namespace kvr {

// An inflated pulse stream, re-coded so that it never takes more bytes than the samples it
// stands for: a pulse of no samples only swaps the levels of what follows, so the two
// pulses around it are one pulse of their summed length.
struct CompactPulses {
    std::vector<std::uint8_t> rle;  // pulses of one sample or more, coded as in the file
    bool first_flipped = false;     // an odd number of empty pulses came before the first
    std::uint64_t pulses = 0;       // the pulses of the stream as it was, empty ones too
    std::int64_t samples = 0;       // the samples of them all
};

enum class InflateResult { ok, corrupt, too_long };

// Inflates a zlib stream of pulses piece by piece; `corrupt` for a damaged or truncated
// stream, `too_long` as soon as the pulses add up to more than max_samples.
InflateResult inflate_pulses(Bytes deflated, std::int64_t max_samples, CompactPulses& out);

}  // namespace kvr
