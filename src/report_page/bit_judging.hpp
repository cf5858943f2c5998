// How a block's bits were told apart, seen again on the levels the analysis read: the
// lengths its decoder judged them against, the lines it drew, and the first bit pair that
// fits neither length.
#pragma once

#include <cstdint>
#include <optional>

#include "analysis/bits.hpp"
#include "core/settings.hpp"
#include "input/recording.hpp"
#include "report_page/tape_facts.hpp"

namespace kvr {

// The bit lengths in samples the block's decoder started from.
BitRefs judging_refs(const BlockFacts& block, const Recording& levels, const Settings& s);

// The decoder's lines in T-states: between 0 and 1, the HP so long that it ends the block,
// and the edges of the pilot's tolerance.
std::vector<Mark> bit_thresholds(const BlockFacts& block, const BitRefs& refs, const Settings& s, double samples_per_tstate);

// A pair whose mean lies this far, in percent, from both bit lengths is suspect: it stands
// in the band around the middle, or is far shorter or longer than either.
inline constexpr std::int32_t kSuspectPct = 20;

// The first suspect pair from the block's data to its end, its place in samples; nothing
// when every pair fits.
std::optional<SuspectBit> first_suspect_bit(const BlockFacts& block, const Recording& levels,
                                            const BitRefs& refs, const Settings& s);

}  // namespace kvr
