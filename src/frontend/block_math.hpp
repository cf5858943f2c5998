// The front end's arithmetic over every frame, four frames at a time where the processor
// has the instructions for it. Each gives exactly what the plain loop beside it gives.
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace kvr {

inline constexpr std::size_t kBlock = 16;  // frames per block of the slower measurements

// The highest and lowest of each block of kBlock frames of x[0, n) (the last block may be
// shorter): top[b] and bottom[b].
void block_extremes(const float* x, std::size_t n, float* top, float* bottom);

// Takes the baseline from each block of x[0, n): from edge_base[b] where block b begins
// to edge_base[b + 1] where it ends, in equal steps. magnitude[b] becomes the mean
// magnitude of the block's frames then, their sum taken in order.
void remove_baseline(float* x, std::size_t n, const float* edge_base, float* magnitude);

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

// One pass of 1, 2, 1 over x[0, n) in place: each frame but the first and the last becomes
// a quarter of each neighbour and half itself, as they were before the pass.
void smooth_pass(float* x, std::size_t n);

// Sums over the frames of two channels kept in four lanes (lane k takes frames i with
// i % 4 == k, frames past the last whole four in lane 0) and combined as (0 + 1) + (2 + 3):
// the sums of a and of b; then, around the means given, of the squared and the absolute
// deviations of each and of the product of their deviations.
std::array<double, 2> lane_sums_of(const float* a, const float* b, std::size_t n);
std::array<double, 5> lane_deviations_of(const float* a, double mean_a, const float* b, double mean_b, std::size_t n);

}  // namespace kvr
