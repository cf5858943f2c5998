// Levels made of two readings of one stretch: a retry that mends a block where its first
// reading stopped keeps the levels that read well and takes other ones only there.
#pragma once

#include <cstdint>

#include "input/recording.hpp"

namespace kvr {

// The levels of `base` with samples [a, b) taken from `patch`, whose sample 0 is sample
// `patch_at` of `base` (patch must cover [a, b)). An edge appears at a or b where the two
// differ there.
Recording splice_levels(const Recording& base, const Recording& patch, std::int32_t patch_at, std::int32_t a,
                        std::int32_t b);

}  // namespace kvr
