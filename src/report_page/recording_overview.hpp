// The recording as a whole: the amplitude of each channel over time, and the stretches
// between blocks where a signal went unrecognised.
#pragma once

#include <cstdint>
#include <vector>

#include "frontend/frame_source.hpp"
#include "report_page/tape_facts.hpp"

namespace kvr {

// Every channel in at most `buckets` buckets of whole short windows; sets bucket_seconds.
void measure_envelope(const FrameSource& frames, std::int32_t rate, std::size_t buckets, RecordingFacts& facts);

// Between the blocks (and before the first and after the last): stretches whose levels
// change as often as a tape signal's do. A silence makes no edges in the front end's levels.
std::vector<Stretch> unrecognised_stretches(const Recording& levels, std::int32_t rate,
                                            const std::vector<BlockFacts>& blocks);

}  // namespace kvr
