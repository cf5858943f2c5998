// The front end's first stages, read, judge and combine: a stretch of a recording's frames
// read, its channels judged window by window, and those chosen combined into one signal,
// turned and scaled alike. Each kind of frame has a variant of its own behind one interface:
// the one channel chosen alone, 16-bit PCM taken from the file's bytes, and any other frames
// read as floats.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "frontend/channel_judge.hpp"
#include "frontend/front_end.hpp"

namespace kvr {

// Room the stages read into, kept from piece to piece: one channel read whole or one judging
// window of every channel, and file bytes a stretch at a time.
struct MixRoom {
    Channels channels;
    std::vector<std::uint8_t> raw;
};

using MixedSoFar = std::function<void(std::size_t ready)>;

class SignalMix {
public:
    virtual ~SignalMix() = default;
    // Frames [first, first + count) as one signal, into `signal` (count frames). The judging
    // windows run from `first`; those that begin within `own` (counted from `first`) count
    // into the share. `mixed(ready)` is told each time the frames [0, ready) are in `signal`,
    // last with ready = count, so that the next stage may take them while they are in the cache.
    virtual void mix(std::uint64_t first, std::size_t count, FrameSpan own, FrameChannel& signal,
                     FrontEndSummary& share, MixRoom& room, const MixedSoFar& mixed) const = 0;
};

// The variant for a source's frames, with each channel's scale over the whole recording
// where the channels are combined.
std::unique_ptr<SignalMix> signal_mix(const FrameSource& source, const FrontEndSettings& settings);

// Each channel's scale over a recording, so that a louder one does not outweigh the others
// when they are added: from its level over sampled stretches of frames, each summed by
// `sum_stretch(from, count, sums)` into sums[c] = {sum, sum of squares} for each channel.
// Every thread that samples makes its own summer with `make_summer`.
using StretchSummer = std::function<void(std::uint64_t from, std::size_t count, std::array<double, 2>* sums)>;
std::vector<double> sampled_scales(std::size_t channels, std::uint64_t frames,
                                   const std::function<StretchSummer()>& make_summer);

}  // namespace kvr
