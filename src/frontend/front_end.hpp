// The signal front end: turns the channels of a damaged recording into clean levels for
// the analysis. Each piece of the recording goes through a chain of stages: its frames are
// read, their channels judged and combined into one signal (signal_mix); the signal is
// smoothed and its baseline removed (conditioning); and its level is decided with a
// hysteresis that follows the local amplitude, each edge placed where the conditioned
// signal crosses its baseline (trigger).
#pragma once

#include <cstdint>
#include <vector>

#include "frontend/frame_source.hpp"
#include "input/recording.hpp"

namespace kvr {

struct FrontEndSettings {
    double hysteresis = 0.3;     // of the local amplitude, each side of the baseline
    double floor = 0.0;          // of the amplitude nearby in time: noise below it never flips
    double squelch = 0.35;       // of the amplitude nearby in time: weaker stretches hold their level
    double quiet_ms = 40.0;      // when they last this long (shorter ones are dropouts, read on)
    double baseline_ms = 1.4;    // the window whose midrange is the baseline
    int smoothing = -1;          // 0: none; n: a binomial kernel of 2n + 1 taps; -1: by the rate
    int channel = -1;            // -1: judge every channel; otherwise use this one alone
    double floor_reach_s = 1.0;  // how far in time the amplitude for the floor is taken (a pause
                                 // shorter than this keeps its hum and noise below the floor)

    bool operator==(const FrontEndSettings&) const = default;
};

// Frames [from, to) of a recording.
struct FrameSpan {
    std::uint64_t from = 0, to = 0;
};

// What the front end chose and found, for reports and retries.
struct FrontEndSummary {
    int channels = 0;
    std::vector<double> share_used;      // per channel: the part of the recording it was used in
    std::vector<double> share_inverted;  // per channel: the part in which it was inverted
    // Stretches far weaker than the signal around them but too short to be a silence (the
    // dropouts read on at their own level), in order: where a reading most often goes wrong.
    std::vector<FrameSpan> weak;
};

// The recording is conditioned and decided in pieces of this many frames, each on its own
// thread, within a margin of frames on either side.
inline constexpr std::size_t kConditionPiece = std::size_t{1} << 21;

// The levels for the analysis, as the edges of a recording of source.frames() samples.
// The recording is read in pieces, so memory follows the piece and the edges, not the
// number of frames.
Recording condition_signal(const FrameSource& source, std::int32_t rate, const FrontEndSettings& settings,
                           FrontEndSummary* summary = nullptr);

}  // namespace kvr
