#include "frontend/pcm16_mix.hpp"

#include <algorithm>

#include "kernels/kernels.hpp"

namespace kvr {

static_assert(kJudgeWindow <= kernels::kMaxPcm16Frames, "a judging window is summed at once");

namespace {

class Pcm16Mix : public SignalMix {
public:
    explicit Pcm16Mix(const PcmFrames& frames)
        : frames_(frames), scale_(channels() == 2 ? channel_scales16(frames) : std::vector<double>{}) {}

    // A stretch of several windows read at a time.
    void mix(std::uint64_t first, std::size_t count, FrameSpan own, FrameChannel& signal, FrontEndSummary& share,
             MixRoom& room, const MixedSoFar& mixed) const override {
        constexpr std::size_t kStretch = 8 * kJudgeWindow;
        const std::size_t frame = 2 * channels();
        signal.resize(count);
        for (std::size_t at = 0; at < count; at += kStretch) {
            const std::size_t length = std::min(kStretch, count - at);
            const std::uint8_t* bytes = frames_.bytes(first + at, length, room.raw);
            for (std::size_t k = 0; k < length; k += kJudgeWindow) {
                const std::size_t window = std::min(kJudgeWindow, length - k);
                combine_window16(bytes + k * frame, channels(), window, scale_, signal.data() + at + k,
                                 at + k >= own.from && at + k < own.to, share);
                mixed(at + k + window);
            }
        }
        if (count == 0) mixed(0);
    }

private:
    std::size_t channels() const { return frames_.run.format.channels; }

    PcmFrames frames_;
    std::vector<double> scale_;
};

}  // namespace

bool pcm16_mixes(const PcmFrames& frames) {
    const PcmFormat& f = frames.run.format;
    return !f.is_float && f.bits == 16 && (f.channels == 1 || f.channels == 2);
}

std::vector<double> channel_scales16(const PcmFrames& frames) {
    // Every sum over a stretch is exact either way (a sample is a multiple of 2^-15, its
    // square of 2^-30), so the integer sums, scaled, are the sums of the converted samples
    // to the last bit.
    return sampled_scales(2, frames.run.frames, [&frames]() -> StretchSummer {
        return [&frames, room = std::vector<std::uint8_t>{}](std::uint64_t from, std::size_t count,
                                                            std::array<double, 2>* sums) mutable {
            const kernels::StereoSums s = kernels::stereo16_sums(frames.bytes(from, count, room), count);
            for (std::size_t c = 0; c < 2; ++c)
                sums[c] = {static_cast<double>(s.sum[c]) / 32768.0, static_cast<double>(s.squares[c]) / 1073741824.0};
        };
    });
}

void combine_window16(const std::uint8_t* frames, std::size_t channels, std::size_t n, const std::vector<double>& scale,
                      float* dest, bool counted, FrontEndSummary& summary) {
    if (channels == 1) {
        const float one = 1.0f;
        kernels::combine16(frames, 1, n, &one, dest);
        if (counted) summary.share_used[0] += static_cast<double>(n);
        return;
    }
    kernels::StereoSums sums = kernels::stereo16_sums(frames, n);
    PairStats stats = pair_stats16(sums, n);
    if (!follow_each_other(stats, n)) {
        kernels::add_sums_above(frames, n, sums);
        stats = pair_stats16(sums, n);
    }
    const std::vector<int> sign = judge_pair(stats, n);
    kernels::combine16(frames, 2, n, weights_of(sign, scale).data(), dest);
    if (counted) count_shares(sign, n, summary);
}

std::unique_ptr<SignalMix> pcm16_mix(const PcmFrames& frames) { return std::make_unique<Pcm16Mix>(frames); }

}  // namespace kvr
