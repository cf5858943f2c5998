#include "frontend/front_end.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <future>
#include <thread>

namespace kvr {

namespace {

constexpr std::size_t kJudgeWindow = 8192;    // frames over which the channels are judged
constexpr std::size_t kPiece = 1 << 20;       // frames decided per piece (a multiple of the above)

using Channels = std::vector<std::vector<float>>;

struct ChannelStats {
    double mean = 0.0, rms = 0.0, squareness = 0.0;
};

// Sums over a window kept in four lanes, so that each addition need not wait for the one
// before it: the judging runs over every frame of every channel.
constexpr std::size_t kLanes = 4;

template <class Term>
double lane_sum(std::size_t n, Term term) {
    double lane[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t k = 0; k < kLanes; ++k) lane[k] += term(i + k);
    for (; i < n; ++i) lane[0] += term(i);
    return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

ChannelStats stats_of(const float* x, std::size_t n) {
    ChannelStats s;
    if (n == 0) return s;
    s.mean = lane_sum(n, [&](std::size_t i) { return static_cast<double>(x[i]); }) / static_cast<double>(n);
    const double sq = lane_sum(n, [&](std::size_t i) {
        const double d = x[i] - s.mean;
        return d * d;
    });
    const double ab = lane_sum(n, [&](std::size_t i) { return std::fabs(x[i] - s.mean); });
    s.rms = std::sqrt(sq / static_cast<double>(n));
    // A square wave has a mean magnitude equal to its RMS; noise has about 0.8 of it.
    s.squareness = s.rms > 0.0 ? ab / static_cast<double>(n) / s.rms : 0.0;
    return s;
}

double correlation(const float* a, const ChannelStats& sa, const float* b, const ChannelStats& sb, std::size_t n) {
    if (sa.rms <= 0.0 || sb.rms <= 0.0 || n == 0) return 0.0;
    const double sum = lane_sum(n, [&](std::size_t i) { return (a[i] - sa.mean) * (b[i] - sb.mean); });
    return sum / static_cast<double>(n) / (sa.rms * sb.rms);
}

// Each channel's scale over the whole recording, so that a louder one does not outweigh
// the others when they are added.
std::vector<double> channel_scales(const FrameSource& source) {
    const std::size_t channels = source.channels();
    std::vector<double> sum(channels, 0.0), sq(channels, 0.0), scale(channels, 0.0);
    // A stretch of 4096 frames out of every 64 Ki is plenty to know a channel's level by.
    constexpr std::size_t kSample = 4096, kStride = 65536;
    Channels piece;
    double n = 0.0;
    for (std::uint64_t from = 0; from < source.frames(); from += kStride) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kSample, source.frames() - from));
        source.read(from, count, piece);
        for (std::size_t c = 0; c < channels; ++c)
            for (float v : piece[c]) sum[c] += v, sq[c] += static_cast<double>(v) * v;
        n += static_cast<double>(count);
    }
    for (std::size_t c = 0; c < channels && n > 0; ++c) {
        const double mean = sum[c] / n, var = sq[c] / n - mean * mean;
        scale[c] = var > 0.0 ? 1.0 / std::sqrt(var) : 0.0;
    }
    return scale;
}

// Chooses the channels of one window: the loudest square-looking one leads, others that
// follow it (or follow it inverted) join it; dead and noise-only ones are left out.
std::vector<int> judge_window(const Channels& ch, std::size_t from, std::size_t n) {
    std::vector<ChannelStats> st;
    std::size_t lead = 0;
    double best = -1.0;
    for (std::size_t c = 0; c < ch.size(); ++c) {
        st.push_back(stats_of(ch[c].data() + from, n));
        const double q = st.back().squareness;
        const double score = st.back().rms * q * q * q * q;
        if (score > best) best = score, lead = c;
    }
    std::vector<int> sign(ch.size(), 0);
    sign[lead] = 1;
    for (std::size_t c = 0; c < ch.size(); ++c) {
        if (c == lead || st[c].rms < 0.05 * st[lead].rms) continue;
        const double r = correlation(ch[c].data() + from, st[c], ch[lead].data() + from, st[lead], n);
        if (std::fabs(r) >= 0.5) sign[c] = r > 0 ? 1 : -1;
    }
    return sign;
}

// `first` is the frame number of ch[*][0], a multiple of the judging window, so that every
// piece judges the same windows. Windows that start at or after `count_from` are counted
// into the summary.
std::vector<float> combine(const Channels& ch, const std::vector<double>& scale, std::size_t count_from,
                           std::size_t count_to, FrontEndSummary* summary) {
    const std::size_t n = ch[0].size();
    std::vector<float> out(n);
    if (ch.size() == 1) {
        std::copy(ch[0].begin(), ch[0].end(), out.begin());
        if (summary != nullptr && count_to > count_from) summary->share_used[0] += static_cast<double>(count_to - count_from);
        return out;
    }
    for (std::size_t from = 0; from < n; from += kJudgeWindow) {
        const std::size_t to = std::min(n, from + kJudgeWindow);
        const std::vector<int> sign = judge_window(ch, from, to - from);
        int used = 0;
        for (int s : sign) used += s != 0;
        // Each frame is the mean of the chosen channels, each turned and scaled.
        std::vector<float> weight(ch.size());
        for (std::size_t c = 0; c < ch.size(); ++c) weight[c] = static_cast<float>(sign[c] * scale[c] / used);
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(from), out.begin() + static_cast<std::ptrdiff_t>(to), 0.0f);
        for (std::size_t c = 0; c < ch.size(); ++c) {
            if (sign[c] == 0) continue;
            const float wc = weight[c];
            const float* src = ch[c].data();
            for (std::size_t i = from; i < to; ++i) out[i] += wc * src[i];
        }
        if (summary == nullptr || from < count_from || from >= count_to) continue;
        for (std::size_t c = 0; c < ch.size(); ++c) {
            if (sign[c] != 0) summary->share_used[c] += static_cast<double>(to - from);
            if (sign[c] < 0) summary->share_inverted[c] += static_cast<double>(to - from);
        }
    }
    return out;
}

std::vector<float> smooth(std::vector<float> a, int passes) {
    std::vector<float> b(a.size());
    // Each pass of 1, 2, 1 is symmetric, so edges stay where they are.
    for (int pass = 0; pass < passes && a.size() >= 3; ++pass) {
        b.front() = a.front();
        b.back() = a.back();
        for (std::size_t i = 1; i + 1 < a.size(); ++i) b[i] = 0.25f * a[i - 1] + 0.5f * a[i] + 0.25f * a[i + 1];
        a.swap(b);
    }
    return a;
}

// The sliding extreme of `x` over `reach` elements either side: `better(a, b)` is true when
// a should replace b. Splits into runs of 2 * reach + 1 and combines a prefix and a suffix
// extreme, so the cost does not grow with the reach.
template <class Better>
std::vector<float> sliding_extreme(const std::vector<float>& x, std::size_t reach, Better better) {
    const std::size_t n = x.size(), w = 2 * reach + 1;
    std::vector<float> prefix(n), suffix(n), out(n);
    for (std::size_t i = 0; i < n; ++i) prefix[i] = (i % w == 0 || better(x[i], prefix[i - 1])) ? x[i] : prefix[i - 1];
    for (std::size_t i = n; i-- > 0;)
        suffix[i] = (i + 1 == n || (i + 1) % w == 0 || better(x[i], suffix[i + 1])) ? x[i] : suffix[i + 1];
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= reach ? i - reach : 0, hi = std::min(n - 1, i + reach);
        const float a = suffix[lo], b = prefix[hi];
        // lo and hi lie in neighbouring runs, or in one run that starts at lo (the prefix
        // covers the window) or ends at hi (the suffix does).
        if (lo / w != hi / w)
            out[i] = better(a, b) ? a : b;
        else
            out[i] = lo % w == 0 ? b : a;
    }
    return out;
}

// What the level decision needs to know of a piece: the signal less its baseline for each
// frame; the threshold and whether it is quiet for each block of frames.
struct Conditioned {
    std::vector<float> z;
    std::vector<float> threshold;
    std::vector<std::uint8_t> quiet;
};

constexpr std::size_t kBlock = 16;  // frames per block of the slower measurements

// Far weaker than the signal nearby, before or after, for a long stretch: a silence, whose
// noise and hum make no edges (looking at both sides keeps a silence that begins or ends
// here quiet). A short weak stretch is a dropout, read on at its own level.
void keep_long_runs(std::vector<std::uint8_t>& quiet, std::size_t shortest) {
    for (std::size_t b = 0; b < quiet.size();) {
        if (!quiet[b]) {
            ++b;
            continue;
        }
        std::size_t end = b;
        while (end < quiet.size() && quiet[end]) ++end;
        // A run that reaches the piece's margin is long: the margin is far longer than a dropout.
        if (end - b < shortest && b > 0 && end < quiet.size())
            std::fill(quiet.begin() + static_cast<std::ptrdiff_t>(b), quiet.begin() + static_cast<std::ptrdiff_t>(end), 0);
        b = end;
    }
}

Conditioned condition_piece(const std::vector<float>& x, std::int32_t rate, std::size_t half, std::size_t reach,
                            const FrontEndSettings& s) {
    Conditioned c;
    const std::size_t n = x.size(), blocks = (n + kBlock - 1) / kBlock;
    const std::size_t h = std::max<std::size_t>(1, (half + kBlock / 2) / kBlock);
    std::vector<float> top(blocks), bottom(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t lo = b * kBlock, hi = std::min(n, lo + kBlock);
        float t = x[lo], m = x[lo];
        for (std::size_t i = lo + 1; i < hi; ++i) t = std::max(t, x[i]), m = std::min(m, x[i]);
        top[b] = t, bottom[b] = m;
    }
    // The baseline: midway between the highest and the lowest value nearby, which for a
    // square wave is the level between its two states, following hum and wander.
    const std::vector<float> high = sliding_extreme(top, h, [](float a, float b) { return a > b; });
    const std::vector<float> low = sliding_extreme(bottom, h, [](float a, float b) { return a < b; });
    std::vector<float> edge_base(blocks + 1);  // the baseline where each block starts
    for (std::size_t b = 0; b <= blocks; ++b) {
        const float before = b > 0 ? high[b - 1] + low[b - 1] : high[b] + low[b];
        const float after = b < blocks ? high[b] + low[b] : before;
        edge_base[b] = 0.25f * (before + after);
    }
    c.z.resize(n);
    std::vector<float> magnitude(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t lo = b * kBlock, hi = std::min(n, lo + kBlock);
        const float step = (edge_base[b + 1] - edge_base[b]) / static_cast<float>(kBlock);
        float sum = 0.0f;
        for (std::size_t i = lo; i < hi; ++i) {
            c.z[i] = x[i] - (edge_base[b] + step * static_cast<float>(i - lo));
            sum += std::fabs(c.z[i]);
        }
        magnitude[b] = sum / static_cast<float>(hi - lo);
    }
    // Running sums over the blocks: the amplitude around each block, and on its weaker side.
    std::vector<double> prefix(blocks + 1, 0.0);
    for (std::size_t b = 0; b < blocks; ++b) prefix[b + 1] = prefix[b] + magnitude[b];
    auto mean = [&](std::size_t lo, std::size_t hi) {  // blocks [lo, hi]
        return static_cast<float>((prefix[hi + 1] - prefix[lo]) / static_cast<double>(hi + 1 - lo));
    };
    std::vector<float> amplitude(blocks), weaker(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t lo = b >= h ? b - h : 0, hi = std::min(blocks - 1, b + h);
        amplitude[b] = mean(lo, hi);
        weaker[b] = std::min(mean(lo, b), mean(b, hi));
    }
    const std::vector<float> near = sliding_extreme(amplitude, reach / kBlock + 1, [](float a, float b) { return a > b; });
    c.threshold.resize(blocks);
    c.quiet.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        c.threshold[b] = std::max({static_cast<float>(s.hysteresis) * weaker[b],
                                   static_cast<float>(s.floor) * near[b], 1e-6f});
        c.quiet[b] = weaker[b] < static_cast<float>(s.squelch) * near[b];
    }
    keep_long_runs(c.quiet, static_cast<std::size_t>(s.quiet_ms * rate / 1000.0) / kBlock + 1);
    return c;
}

struct Piece {
    std::uint64_t first, from, to;  // the frames read, and those decided
    Conditioned c;
    FrontEndSummary share;  // the channels' use within the frames decided
};

// Adds a piece's share of the channels' use to the recording's.
void add_share(FrontEndSummary& total, const FrontEndSummary& piece) {
    for (std::size_t c = 0; c < total.share_used.size() && c < piece.share_used.size(); ++c) {
        total.share_used[c] += piece.share_used[c];
        total.share_inverted[c] += piece.share_inverted[c];
    }
}

// The level decision, carried from piece to piece.
struct Trigger {
    std::int8_t level = 0;  // 0 until the first frame
    std::uint64_t up = 0, down = 0, last_flip = 0;  // where z last crossed upwards, downwards

    void run(const Conditioned& c, std::uint64_t first, std::uint64_t from, std::uint64_t to, Recording& out) {
        for (std::uint64_t g = from; g < to; ++g) {
            const std::size_t i = static_cast<std::size_t>(g - first), b = i / kBlock;
            if (level == 0) {
                level = c.z[i] >= 0 ? 1 : -1;
                out.first_low = level < 0;
            }
            if (i > 0 && c.z[i - 1] <= 0 && c.z[i] > 0) up = g;
            if (i > 0 && c.z[i - 1] >= 0 && c.z[i] < 0) down = g;
            if (c.quiet[b]) continue;
            std::int8_t next = level;
            if (level < 0 && c.z[i] > c.threshold[b]) next = 1;
            if (level > 0 && c.z[i] < -c.threshold[b]) next = -1;
            if (next == level) continue;
            // The edge is where the signal crossed its baseline on the way to the new level,
            // never before the one made last.
            const std::uint64_t edge = std::min(std::max(next > 0 ? up : down, last_flip + 1), g);
            out.edges.push_back(static_cast<std::int32_t>(edge));
            level = next;
            last_flip = g;
        }
    }
};

}  // namespace

Recording condition_signal(const FrameSource& source, std::int32_t rate, const FrontEndSettings& settings,
                           FrontEndSummary* summary) {
    const std::uint64_t n = std::min<std::uint64_t>(source.frames(), INT32_MAX);
    Recording out;
    out.count = static_cast<std::int32_t>(n);
    out.sample_rate = rate;
    try {
        out.edges.reserve(static_cast<std::size_t>(n));  // address space only, never moved
    } catch (const std::bad_alloc&) {
    }
    const std::size_t channels = source.channels();
    if (summary != nullptr) {
        summary->channels = static_cast<int>(channels);
        summary->share_used.assign(channels, 0.0);
        summary->share_inverted.assign(channels, 0.0);
    }
    if (n == 0 || channels == 0) return out;
    const bool one_channel = settings.channel >= 0 && static_cast<std::size_t>(settings.channel) < channels;
    const std::vector<double> scale = (one_channel || channels == 1) ? std::vector<double>{} : channel_scales(source);
    const auto half = static_cast<std::size_t>(std::max(1.0, std::round(rate * settings.baseline_ms / 2000.0)));
    const auto reach = static_cast<std::size_t>(std::max(0.0, rate * settings.floor_reach_s));
    // Every window and peak a piece needs lies within this margin, a whole number of judging windows.
    const std::size_t margin = (reach + 4 * half + 8 * kBlock + 64 + kJudgeWindow) / kJudgeWindow * kJudgeWindow;

    // Hiss is smoothed over about the same time at every rate: one pass at 22050 Hz.
    const int passes = settings.smoothing >= 0 ? settings.smoothing : std::max(1, static_cast<int>(std::lround(rate / 22050.0)));
    // The pieces are read and conditioned on other threads, each on its own, while the
    // levels of the ones before them are decided here in order.
    auto prepare = [&](std::uint64_t from) {
        const std::uint64_t to = std::min<std::uint64_t>(n, from + kPiece);
        const std::uint64_t first = from >= margin ? from - margin : 0;
        const std::uint64_t last = std::min<std::uint64_t>(n, to + margin);
        Channels piece;
        source.read(first, static_cast<std::size_t>(last - first), piece);
        FrontEndSummary share;
        share.share_used.assign(channels, 0.0);
        share.share_inverted.assign(channels, 0.0);
        std::vector<float> mixed;
        if (one_channel) {
            mixed.swap(piece[static_cast<std::size_t>(settings.channel)]);
            share.share_used[static_cast<std::size_t>(settings.channel)] = static_cast<double>(to - from);
        } else {
            mixed = combine(piece, scale, static_cast<std::size_t>(from - first), static_cast<std::size_t>(to - first),
                            &share);
        }
        return Piece{first, from, to, condition_piece(smooth(std::move(mixed), passes), rate, half, reach, settings),
                     std::move(share)};
    };
    const unsigned ahead = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    std::deque<std::future<Piece>> pending;
    std::uint64_t next = 0;
    auto launch = [&] {
        if (next >= n) return;
        pending.push_back(std::async(std::launch::async, prepare, next));
        next += kPiece;
    };
    for (unsigned k = 0; k < ahead; ++k) launch();
    Trigger trigger;
    while (!pending.empty()) {
        const Piece piece = pending.front().get();
        pending.pop_front();
        launch();
        if (summary != nullptr) add_share(*summary, piece.share);
        trigger.run(piece.c, piece.first, piece.from, piece.to, out);
    }
    if (summary != nullptr) {
        for (auto& v : summary->share_used) v /= static_cast<double>(n);
        for (auto& v : summary->share_inverted) v /= static_cast<double>(n);
    }
    return out;
}

}  // namespace kvr
