#include "frontend/channel_mix.hpp"

#include <algorithm>

namespace kvr {

namespace {

class FloatMix : public SignalMix {
public:
    explicit FloatMix(const FrameSource& source)
        : source_(source), scale_(source.channels() > 1 ? channel_scales(source) : std::vector<double>{}) {}

    // Window by window, each read into room that stays in the cache.
    void mix(std::uint64_t first, std::size_t count, FrameSpan own, FrameChannel& signal, FrontEndSummary& share,
             MixRoom& room, const MixedSoFar& mixed) const override {
        signal.resize(count);
        for (std::size_t at = 0; at < count; at += kJudgeWindow) {
            const std::size_t length = std::min(kJudgeWindow, count - at);
            source_.read(first + at, length, room.channels);
            combine_window(room.channels, scale_, signal.data() + at, at >= own.from && at < own.to, share);
            mixed(at + length);
        }
        if (count == 0) mixed(0);
    }

private:
    const FrameSource& source_;
    std::vector<double> scale_;
};

}  // namespace

std::vector<double> channel_scales(const FrameSource& source) {
    const std::size_t channels = source.channels();
    return sampled_scales(channels, source.frames(), [&source, channels]() -> StretchSummer {
        return [&source, channels, piece = Channels{}](std::uint64_t from, std::size_t count,
                                                       std::array<double, 2>* sums) mutable {
            source.read(from, count, piece);
            for (std::size_t c = 0; c < channels; ++c) sums[c] = sum_and_squares(piece[c].data(), count);
        };
    });
}

void combine_window(const Channels& ch, const std::vector<double>& scale, float* dest, bool counted,
                    FrontEndSummary& summary) {
    const std::size_t n = ch[0].size();
    if (ch.size() == 1) {
        std::copy(ch[0].begin(), ch[0].end(), dest);
        if (counted) summary.share_used[0] += static_cast<double>(n);
        return;
    }
    const std::vector<int> sign = judge_channels(ch);
    const std::vector<float> weight = weights_of(sign, scale);
    // Each frame is the mean of the chosen channels, each turned and scaled. The first is
    // added to nothing, as the sum begins.
    bool first = true;
    for (std::size_t c = 0; c < ch.size(); ++c) {
        if (sign[c] == 0) continue;
        const float* src = ch[c].data();
        const float wc = weight[c];
        if (first)
            for (std::size_t i = 0; i < n; ++i) dest[i] = 0.0f + wc * src[i];
        else
            for (std::size_t i = 0; i < n; ++i) dest[i] += wc * src[i];
        first = false;
    }
    if (counted) count_shares(sign, n, summary);
}

std::unique_ptr<SignalMix> float_mix(const FrameSource& source) { return std::make_unique<FloatMix>(source); }

}  // namespace kvr
