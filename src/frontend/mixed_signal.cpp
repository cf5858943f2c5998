#include "frontend/mixed_signal.hpp"

#include <algorithm>

#include "frontend/channel_mix.hpp"

namespace kvr {

std::vector<float> mixed_signal(const FrameSource& source, std::uint64_t from, std::uint64_t count) {
    const std::uint64_t frames = source.frames();
    from = std::min(from, frames);
    count = std::min(count, frames - from);
    std::vector<float> out(static_cast<std::size_t>(count));
    if (count == 0 || source.channels() == 0) return out;
    const WindowFrameSource window(source, from, count);
    const std::vector<double> scale = source.channels() > 1 ? channel_scales(window) : std::vector<double>{};
    FrontEndSummary unused;
    unused.share_used.assign(source.channels(), 0.0);
    unused.share_inverted.assign(source.channels(), 0.0);
    FrameChannels channels;
    for (std::uint64_t at = 0; at < count; at += kJudgeWindow) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kJudgeWindow, count - at));
        window.read(at, n, channels);
        combine_window(channels, scale, out.data() + at, false, unused);
    }
    return out;
}

}  // namespace kvr
