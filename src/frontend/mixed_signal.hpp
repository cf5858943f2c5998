// A stretch of a recording as one signal, its channels judged and added as the front end adds
// them: for those who read the waveform itself (the demodulator).
#pragma once

#include <cstdint>
#include <vector>

#include "frontend/frame_source.hpp"

namespace kvr {

// Frames [from, from + count) of the source (as many as it has).
std::vector<float> mixed_signal(const FrameSource& source, std::uint64_t from, std::uint64_t count);

}  // namespace kvr
