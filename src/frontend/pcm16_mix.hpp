// The read, judge and combine stages for 16-bit PCM of one or two channels, straight from
// the file's bytes: most recordings are 16-bit, and converting every sample to a float of
// its own first costs as much as the judging itself. The sums are exact integers; the
// signal combined is, value for value, what combining the converted channels gives.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "frontend/signal_mix.hpp"

namespace kvr {

// Whether these stages take the frames: 16-bit integer samples, one or two channels.
bool pcm16_mixes(const PcmFrames& frames);

// Each channel's scale over the whole recording, from the exact sums of two channels.
std::vector<double> channel_scales16(const PcmFrames& frames);

// A window of n frames of 16-bit samples, one or two channels interleaved, as the file holds
// them (n at most kJudgeWindow), as one signal into dest; as combine_window does.
void combine_window16(const std::uint8_t* frames, std::size_t channels, std::size_t n, const std::vector<double>& scale,
                      float* dest, bool counted, FrontEndSummary& summary);

// The stages for such frames.
std::unique_ptr<SignalMix> pcm16_mix(const PcmFrames& frames);

}  // namespace kvr
