#include "report_page/wave_window.hpp"

#include <algorithm>

namespace kvr {

namespace {

// Noise in levels made without the front end can flip every sample; the page marks the
// first edges only.
constexpr std::size_t kMostEdges = 4096;

int level_at(const Recording& levels, std::int64_t i) { return levels.low_at(static_cast<std::int32_t>(i)) ? -1 : 1; }

}  // namespace

WaveWindow wave_window(const FrameSource& frames, const Recording& levels, std::int64_t centre, std::int64_t reach,
                       std::size_t points) {
    WaveWindow w;
    const auto n = static_cast<std::int64_t>(std::min<std::uint64_t>(frames.frames(), static_cast<std::uint64_t>(levels.count)));
    const std::int64_t first = std::clamp<std::int64_t>(centre - reach, 0, n);
    const std::int64_t last = std::clamp<std::int64_t>(centre + reach, first, n);
    w.first = first;
    w.count = last - first;
    if (w.count == 0 || points == 0) return w;
    w.step = static_cast<std::int32_t>((w.count + static_cast<std::int64_t>(points) - 1) / static_cast<std::int64_t>(points));
    FrameChannels raw;
    frames.read(static_cast<std::uint64_t>(first), static_cast<std::size_t>(w.count), raw);
    const std::size_t step = static_cast<std::size_t>(w.step);
    for (const FrameChannel& channel : raw) {
        std::vector<float> low, high;
        for (std::size_t i = 0; i < channel.size(); i += step) {
            const auto end = channel.begin() + static_cast<std::ptrdiff_t>(std::min(channel.size(), i + step));
            const auto [lo, hi] = std::minmax_element(channel.begin() + static_cast<std::ptrdiff_t>(i), end);
            low.push_back(*lo);
            high.push_back(*hi);
        }
        w.low.push_back(std::move(low));
        w.high.push_back(std::move(high));
    }
    w.first_level = level_at(levels, first);
    for (auto e = std::upper_bound(levels.edges.begin(), levels.edges.end(), first);
         e != levels.edges.end() && *e < last && w.edges.size() < kMostEdges; ++e)
        w.edges.push_back(static_cast<std::int32_t>(*e - first));
    return w;
}

}  // namespace kvr
