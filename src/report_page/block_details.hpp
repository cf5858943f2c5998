// What the page shows of a block beyond its report line, taken from the levels the
// analysis read: its histogram with the decoder's lines, and where a bad block went wrong.
#pragma once

#include <cstdint>

#include "core/settings.hpp"
#include "frontend/frame_source.hpp"
#include "report_page/tape_facts.hpp"

namespace kvr {

// `with_wave`: a bad or retried block also gets the waveform around its first suspect bit.
void add_block_details(BlockFacts& block, const FrameSource& frames, const Recording& levels, std::int32_t rate,
                       const Settings& s, bool with_wave);

}  // namespace kvr
