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

// The frames of `ch` as one signal, in place of ch[0] (the other channels are left as they are).
// ch[*][0] must be a frame whose number is a multiple of the judging window, so that every
// piece judges the same windows. Windows that start within [count_from, count_to) are
// counted into the summary's shares.
void combine(Channels& ch, const std::vector<double>& scale, std::size_t count_from, std::size_t count_to,
             FrontEndSummary& summary);

}  // namespace kvr
