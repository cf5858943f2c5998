#include "frontend/signal_mix.hpp"

#include <algorithm>
#include <cmath>

#include "core/worker_pool.hpp"
#include "frontend/channel_mix.hpp"
#include "frontend/pcm16_mix.hpp"

namespace kvr {

namespace {

// One channel chosen alone, used as it is read.
class ChosenChannel : public SignalMix {
public:
    ChosenChannel(const FrameSource& source, std::size_t chosen) : source_(source), chosen_(chosen) {}
    void mix(std::uint64_t first, std::size_t count, FrameSpan own, FrameChannel& signal, FrontEndSummary& share,
             MixRoom& room, const MixedSoFar& mixed) const override {
        source_.read(first, count, room.channels);
        signal.swap(room.channels[chosen_]);
        share.share_used[chosen_] = static_cast<double>(own.to - own.from);
        mixed(count);
    }

private:
    const FrameSource& source_;
    std::size_t chosen_;
};

// A stretch of 4096 frames out of every 64 Ki is plenty to know a channel's level by.
constexpr std::size_t kScaleSample = 4096, kScaleStride = 65536;

std::size_t sample_length(std::uint64_t frames, std::size_t stretch) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(kScaleSample, frames - std::uint64_t{stretch} * kScaleStride));
}

// The sums of the sampled stretches [first, last), one pair per stretch and channel.
void sample_sums(std::size_t channels, std::uint64_t frames, std::size_t first, std::size_t last,
                 const StretchSummer& sum_stretch, std::vector<std::array<double, 2>>& sums) {
    for (std::size_t k = first; k < last; ++k)
        sum_stretch(std::uint64_t{k} * kScaleStride, sample_length(frames, k), sums.data() + k * channels);
}

}  // namespace

std::unique_ptr<SignalMix> signal_mix(const FrameSource& source, const FrontEndSettings& settings) {
    if (settings.channel >= 0 && static_cast<std::size_t>(settings.channel) < source.channels())
        return std::make_unique<ChosenChannel>(source, static_cast<std::size_t>(settings.channel));
    if (const std::optional<PcmFrames> pcm = source.pcm(); pcm && pcm16_mixes(*pcm)) return pcm16_mix(*pcm);
    return float_mix(source);
}

std::vector<double> sampled_scales(std::size_t channels, std::uint64_t frames,
                                   const std::function<StretchSummer()>& make_summer) {
    const auto stretches = static_cast<std::size_t>((frames + kScaleStride - 1) / kScaleStride);
    std::vector<std::array<double, 2>> sums(stretches * channels);
    // A long recording's stretches are read on two threads, half each; they are added in
    // order all the same.
    if (stretches >= 64) {
        Running<void> other = run_elsewhere(
            [&] { sample_sums(channels, frames, stretches / 2, stretches, make_summer(), sums); });
        sample_sums(channels, frames, 0, stretches / 2, make_summer(), sums);
        other.get();
    } else {
        sample_sums(channels, frames, 0, stretches, make_summer(), sums);
    }
    std::vector<double> sum(channels, 0.0), sq(channels, 0.0), scale(channels, 0.0);
    double n = 0.0;
    for (std::size_t k = 0; k < stretches; ++k) {
        for (std::size_t c = 0; c < channels; ++c) sum[c] += sums[k * channels + c][0], sq[c] += sums[k * channels + c][1];
        n += static_cast<double>(sample_length(frames, k));
    }
    for (std::size_t c = 0; c < channels && n > 0; ++c) {
        const double mean = sum[c] / n, var = sq[c] / n - mean * mean;
        scale[c] = var > 0.0 ? 1.0 / std::sqrt(var) : 0.0;
    }
    return scale;
}

}  // namespace kvr
