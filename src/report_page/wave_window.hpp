// A short stretch of the recording for the page's zoomed waveform.
#pragma once

#include <cstdint>

#include "frontend/frame_source.hpp"
#include "report_page/tape_facts.hpp"

namespace kvr {

// The samples [centre - reach, centre + reach) of every channel and of the levels, in at
// most `points` points (each a low and a high when the stretch is longer).
WaveWindow wave_window(const FrameSource& frames, const Recording& levels, std::int64_t centre, std::int64_t reach,
                       std::size_t points);

}  // namespace kvr
