// The read, judge and combine stages for frames read as floats, any number of channels:
// each judging window read, its channels judged, and those chosen added, turned and scaled.
#pragma once

#include <memory>
#include <vector>

#include "frontend/signal_mix.hpp"

namespace kvr {

// Each channel's scale over the whole recording, from its frames read as floats.
std::vector<double> channel_scales(const FrameSource& source);

// The frames of one judging window of channels `ch` (at most kJudgeWindow frames) as one
// signal, into dest; when `counted`, the window counts into the summary's shares.
void combine_window(const Channels& ch, const std::vector<double>& scale, float* dest, bool counted,
                    FrontEndSummary& summary);

// The stages for the source's frames.
std::unique_ptr<SignalMix> float_mix(const FrameSource& source);

}  // namespace kvr
