// The level decision of the front end: a hysteresis around the signal's baseline whose
// width follows the local amplitude, with each edge placed where the signal crossed the
// baseline on its way to the new level.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "frontend/block_math.hpp"

namespace kvr {

// What the decision needs to know of a piece besides the signal less its baseline: the
// threshold and whether it is quiet (no edges at all) for each block of kBlock frames.
struct Conditioned {
    std::span<const float> threshold;
    std::span<const std::uint8_t> quiet;
};

// The decision, carried from frame to frame. Two decisions in the same state at the same
// frame go on alike, which is what lets pieces be decided apart.
struct TriggerState {
    std::int8_t level = 0;  // 0 until the first frame
    std::uint64_t up = 0, down = 0, last_flip = 0;  // where z last crossed upwards, downwards

    bool operator==(const TriggerState&) const = default;
};

// Decides frames [from, to) of a piece whose frame `first` is z[0] (z holds `size` frames,
// at least to - first; block b of the piece is frames first + b * kBlock onwards),
// appending the edges.
void decide(const float* z, std::size_t size, const Conditioned& c, std::uint64_t first, std::uint64_t from,
            std::uint64_t to, TriggerState& state, std::vector<std::int32_t>& edges);

}  // namespace kvr
