// Levels made of two readings of one stretch: a retry that mends a block where its first
// reading stopped keeps the levels that read well and takes other ones only there.
#pragma once

#include <cstdint>
#include <vector>

#include "input/recording.hpp"

namespace kvr {

// The levels of `base` with samples [a, b) taken from `patch`, whose sample 0 is sample
// `patch_at` of `base` (patch must cover [a, b)). An edge appears at a or b where the two
// differ there.
Recording splice_levels(const Recording& base, const Recording& patch, std::int32_t patch_at, std::int32_t a,
                        std::int32_t b);

// Other levels for samples [a, b), whose sample 0 is sample `at`.
struct LevelPatch {
    Recording levels;
    std::int32_t at = 0, a = 0, b = 0;
};

// Samples [from, to) of `base` as levels of their own (sample `from` becomes sample 0), with
// each patch's samples in place of base's: what splice_levels gives patch by patch on the
// slice, in one pass. Patches are in the slice's samples, in order, each beginning after
// the one before ends.
Recording splice_window(const Recording& base, std::int32_t from, std::int32_t to,
                        const std::vector<LevelPatch>& patches);

}  // namespace kvr
