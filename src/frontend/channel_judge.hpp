// How the channels of a judging window are judged: each channel's level, its squareness
// and its mean, and how the channels follow each other. The loudest square-looking channel
// leads; others that follow it, or follow it inverted, join it; dead and noise-only ones
// are left out.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "frontend/front_end.hpp"
#include "kernels/pcm16.hpp"

namespace kvr {

using Channels = FrameChannels;

inline constexpr std::size_t kJudgeWindow = 8192;  // frames over which the channels are judged

struct ChannelStats {
    double mean = 0.0, rms = 0.0, squareness = 0.0;
};

// Two channels, the common case, judged from sums taken in two passes over the window.
struct PairStats {
    ChannelStats st[2];
    double cross = 0.0;  // the sum of the product of their deviations
};

// The statistics of two channels of n frames.
PairStats pair_stats(const float* a, const float* b, std::size_t n);
// The same from the exact sums of 16-bit samples, in full-scale units: the values the sums
// over the converted samples give, but for the rounding of those sums. The sums above the
// mean are needed only where the squareness is.
PairStats pair_stats16(const kernels::StereoSums& sums, std::size_t n);

// Two channels within twenty times each other's level that follow each other are both used
// as they are, whichever leads: then the squareness, which only chooses the lead, is not needed.
bool follow_each_other(const PairStats& p, std::size_t n);

// Each channel's sign: 1 where it is used as it is, -1 where it is used inverted, 0 where
// it is left out.
std::vector<int> judge_pair(const PairStats& p, std::size_t n);
std::vector<int> judge_channels(const Channels& ch);

// Each chosen channel's weight in the combined signal: turned by its sign, scaled, and a
// share of the mean.
std::vector<float> weights_of(const std::vector<int>& sign, const std::vector<double>& scale);
// Adds n frames of each chosen channel to the summary's shares.
void count_shares(const std::vector<int>& sign, std::size_t n, FrontEndSummary& summary);

// The sum and the sum of squares of x[0, n), each kept in lanes as the judging keeps its sums.
std::array<double, 2> sum_and_squares(const float* x, std::size_t n);

}  // namespace kvr
