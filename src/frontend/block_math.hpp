// The front end's measurements over blocks of frames that look along a window: the
// extremes and the means of the blocks nearby. (The loops over every frame are kernels.)
#pragma once

#include <cstddef>
#include <span>

#include "kernels/blocks.hpp"

namespace kvr {

inline constexpr std::size_t kBlock = kernels::kBlockFrames;  // frames per block of the slower measurements

// For every i, the highest of x[i - reach, i + reach] (the window cut short at the ends of
// x), into out[i]; with `lowest`, the lowest. `prefix` and `suffix` are room to work in.
// Each of the three is at least as long as x.
void sliding_extremes(std::span<const float> x, std::size_t reach, bool lowest, std::span<float> out,
                      std::span<float> prefix, std::span<float> suffix);

// From the running sums of the blocks' magnitudes (sums[b] the sum of blocks before b):
// for each of the blocks, the mean over the blocks within h of it (cut short at the ends),
// into amplitude[b], and the lower of the means over the h blocks before it and the h
// after it (each with b), into weaker[b].
void block_means(const double* sums, std::size_t blocks, std::size_t h, float* amplitude, float* weaker);

}  // namespace kvr
