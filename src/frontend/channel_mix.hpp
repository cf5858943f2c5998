// How the channels of a recording become one signal for the front end: each window of
// frames judged on its own, the channels that carry the tape's signal added, turned and
// scaled alike.
#pragma once

#include <cstdint>
#include <vector>

#include "frontend/front_end.hpp"

namespace kvr {

using Channels = FrameChannels;

inline constexpr std::size_t kJudgeWindow = 8192;  // frames over which the channels are judged

// Each channel's scale over the whole recording, so that a louder one does not outweigh
// the others when they are added.
std::vector<double> channel_scales(const FrameSource& source);

// The frames of one judging window of channels `ch` (at most kJudgeWindow frames) as one
// signal, into dest; when `counted`, the window counts into the summary's shares.
void combine_window(const Channels& ch, const std::vector<double>& scale, float* dest, bool counted,
                    FrontEndSummary& summary);

// The same for a window of n frames of 16-bit samples, one or two channels interleaved, as
// the file holds them (n at most kJudgeWindow).
void combine_window16(const std::uint8_t* frames, std::size_t channels, std::size_t n, const std::vector<double>& scale,
                      float* dest, bool counted, FrontEndSummary& summary);

}  // namespace kvr
