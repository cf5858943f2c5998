#include "report_page/recording_overview.hpp"

#include <algorithm>

namespace kvr {

namespace {

// Short windows of 10 ms: a dropout of a few tens of milliseconds empties some of them.
constexpr std::int32_t kWindowsPerSecond = 100;
// Edges in a window of 20 ms that make it signal: a tone of 100 Hz has four.
constexpr std::int32_t kActivePerSecond = 50;
constexpr int kLeastEdges = 4;
// Active windows this close together are one stretch; shorter stretches are clicks.
constexpr std::int64_t kJoinWindows = 5, kShortestWindows = 3;
constexpr std::size_t kMostStretches = 1000;

struct Bucket {
    float high = 0.0f, low = 0.0f;
    double mid_sum = 0.0;
    std::int64_t windows = 0;

    void add(const float* x, std::size_t n) {
        const auto [lo, hi] = std::minmax_element(x, x + n);
        const float amplitude = (*hi - *lo) / 2.0f;
        high = windows == 0 ? amplitude : std::max(high, amplitude);
        low = windows == 0 ? amplitude : std::min(low, amplitude);
        mid_sum += (*hi + *lo) / 2.0;
        ++windows;
    }
};

void find_active(const Recording& levels, std::int64_t from, std::int64_t to, std::int64_t window,
                 std::vector<Stretch>& out) {
    std::int64_t run_start = -1, run_end = -1;
    auto close_run = [&]() {
        if (run_start >= 0 && run_end - run_start >= kShortestWindows * window) {
            if (out.size() < kMostStretches) out.push_back({run_start, run_end});
            else out.back().end = run_end;
        }
        run_start = -1;
    };
    for (std::int64_t w = from; w < to; w += window) {
        const std::int64_t end = std::min(to, w + window);
        const auto first = std::lower_bound(levels.edges.begin(), levels.edges.end(), std::max<std::int64_t>(w, 1));
        const auto last = std::lower_bound(first, levels.edges.end(), end);
        const auto edges = std::min<std::ptrdiff_t>(last - first, kLeastEdges);
        if (edges < kLeastEdges) continue;
        if (run_start >= 0 && w - run_end > kJoinWindows * window) close_run();
        if (run_start < 0) run_start = w;
        run_end = end;
    }
    close_run();
}

}  // namespace

void measure_envelope(const FrameSource& frames, std::int32_t rate, std::size_t buckets, RecordingFacts& facts) {
    const std::uint64_t n = frames.frames();
    const std::size_t channels = frames.channels();
    facts.envelope.assign(channels, {});
    if (n == 0 || rate <= 0 || buckets == 0) return;
    const std::uint64_t window = std::max<std::int32_t>(1, rate / kWindowsPerSecond);
    const std::uint64_t windows = (n + window - 1) / window;
    const std::uint64_t per_bucket = (windows + buckets - 1) / buckets;
    const std::uint64_t bucket_frames = per_bucket * window;
    facts.bucket_seconds = static_cast<double>(bucket_frames) / rate;
    FrameChannels piece;
    for (std::uint64_t from = 0; from < n; from += bucket_frames) {
        const auto count = static_cast<std::size_t>(std::min(bucket_frames, n - from));
        frames.read(from, count, piece);
        for (std::size_t c = 0; c < channels; ++c) {
            Bucket b;
            for (std::size_t i = 0; i < count; i += window)
                b.add(piece[c].data() + i, std::min<std::size_t>(window, count - i));
            ChannelEnvelope& e = facts.envelope[c];
            e.high.push_back(b.high);
            e.low.push_back(b.low);
            e.baseline.push_back(static_cast<float>(b.mid_sum / static_cast<double>(b.windows)));
        }
    }
}

std::vector<Stretch> unrecognised_stretches(const Recording& levels, std::int32_t rate,
                                            const std::vector<BlockFacts>& blocks) {
    std::vector<Stretch> out;
    if (rate <= 0) return out;
    const std::int64_t window = std::max<std::int32_t>(1, rate / kActivePerSecond);
    const std::int64_t n = levels.count;
    std::int64_t from = 0;
    for (const BlockFacts& b : blocks) {
        find_active(levels, from, std::min<std::int64_t>(b.pilot_start, n), window, out);
        from = std::max<std::int64_t>(from, b.end);
    }
    find_active(levels, from, n, window, out);
    return out;
}

}  // namespace kvr
