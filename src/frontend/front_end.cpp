#include "frontend/front_end.hpp"

#include <algorithm>
#include <cmath>

namespace kvr {

namespace {

constexpr std::size_t kJudgeWindow = 8192;    // frames over which the channels are judged
constexpr std::size_t kPiece = 1 << 20;       // frames decided per piece (a multiple of the above)
constexpr std::size_t kPeakBlock = 256;       // the nearby peak is taken in blocks of this size

using Channels = std::vector<std::vector<float>>;

struct ChannelStats {
    double mean = 0.0, rms = 0.0, squareness = 0.0;
};

ChannelStats stats_of(const float* x, std::size_t n) {
    ChannelStats s;
    if (n == 0) return s;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += x[i];
    s.mean = sum / static_cast<double>(n);
    double sq = 0.0, ab = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = x[i] - s.mean;
        sq += d * d;
        ab += std::fabs(d);
    }
    s.rms = std::sqrt(sq / static_cast<double>(n));
    // A square wave has a mean magnitude equal to its RMS; noise has about 0.8 of it.
    s.squareness = s.rms > 0.0 ? ab / static_cast<double>(n) / s.rms : 0.0;
    return s;
}

double correlation(const float* a, const ChannelStats& sa, const float* b, const ChannelStats& sb, std::size_t n) {
    if (sa.rms <= 0.0 || sb.rms <= 0.0 || n == 0) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += (a[i] - sa.mean) * (b[i] - sb.mean);
    return sum / static_cast<double>(n) / (sa.rms * sb.rms);
}

// Each channel's scale over the whole recording, so that a louder one does not outweigh
// the others when they are added.
std::vector<double> channel_scales(const FrameSource& source) {
    const std::size_t channels = source.channels();
    std::vector<double> sum(channels, 0.0), sq(channels, 0.0), scale(channels, 0.0);
    Channels piece;
    for (std::uint64_t from = 0; from < source.frames(); from += kPiece) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, source.frames() - from));
        source.read(from, count, piece);
        for (std::size_t c = 0; c < channels; ++c)
            for (float v : piece[c]) sum[c] += v, sq[c] += static_cast<double>(v) * v;
    }
    const auto n = static_cast<double>(source.frames());
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
        for (std::size_t i = from; i < to; ++i) {
            double v = 0.0;
            for (std::size_t c = 0; c < ch.size(); ++c)
                if (sign[c] != 0) v += sign[c] * ch[c][i] * scale[c];
            out[i] = static_cast<float>(v / used);
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

std::vector<double> prefix_sums(const std::vector<float>& x) {
    std::vector<double> prefix(x.size() + 1, 0.0);
    for (std::size_t i = 0; i < x.size(); ++i) prefix[i + 1] = prefix[i] + x[i];
    return prefix;
}

std::vector<float> centred_mean(const std::vector<float>& x, std::size_t half) {
    const std::size_t n = x.size();
    const std::vector<double> prefix = prefix_sums(x);
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= half ? i - half : 0, hi = std::min(n, i + half + 1);
        out[i] = static_cast<float>((prefix[hi] - prefix[lo]) / static_cast<double>(hi - lo));
    }
    return out;
}

// The smaller of the means of the `half` values before and after each element.
std::vector<float> one_sided_minimum(const std::vector<float>& x, std::size_t half) {
    const std::size_t n = x.size();
    const std::vector<double> prefix = prefix_sums(x);
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= half ? i - half : 0, hi = std::min(n, i + half + 1);
        const double before = (prefix[i + 1] - prefix[lo]) / static_cast<double>(i + 1 - lo);
        const double after = (prefix[hi] - prefix[i]) / static_cast<double>(hi - i);
        out[i] = static_cast<float>(std::min(before, after));
    }
    return out;
}

// The middle between the highest and the lowest value within `half` either side: for a
// square wave the level between its two states, following hum and wander.
std::vector<float> centred_midrange(const std::vector<float>& x, std::size_t half) {
    const std::size_t n = x.size();
    std::vector<float> out(n);
    std::vector<std::size_t> hi_q(n), lo_q(n);  // monotonic queues of indices
    std::size_t hi_head = 0, hi_tail = 0, lo_head = 0, lo_tail = 0, next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        for (; next < n && next <= i + half; ++next) {
            while (hi_tail > hi_head && x[hi_q[hi_tail - 1]] <= x[next]) --hi_tail;
            hi_q[hi_tail++] = next;
            while (lo_tail > lo_head && x[lo_q[lo_tail - 1]] >= x[next]) --lo_tail;
            lo_q[lo_tail++] = next;
        }
        while (hi_q[hi_head] + half < i) ++hi_head;
        while (lo_q[lo_head] + half < i) ++lo_head;
        out[i] = 0.5f * (x[hi_q[hi_head]] + x[lo_q[lo_head]]);
    }
    return out;
}

// The largest value within `reach` elements either side, in blocks for speed.
std::vector<float> nearby_peak(const std::vector<float>& a, std::size_t reach) {
    const std::size_t blocks = (a.size() + kPeakBlock - 1) / kPeakBlock;
    std::vector<float> peak(blocks, 0.0f);
    for (std::size_t i = 0; i < a.size(); ++i) peak[i / kPeakBlock] = std::max(peak[i / kPeakBlock], a[i]);
    const std::size_t k = reach / kPeakBlock + 1;
    std::vector<float> spread(blocks, 0.0f);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t lo = b >= k ? b - k : 0, hi = std::min(blocks - 1, b + k);
        spread[b] = *std::max_element(peak.begin() + static_cast<std::ptrdiff_t>(lo),
                                      peak.begin() + static_cast<std::ptrdiff_t>(hi) + 1);
    }
    std::vector<float> out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = spread[i / kPeakBlock];
    return out;
}

// What the level decision needs to know of each frame of a piece.
struct Conditioned {
    std::vector<float> z;          // the signal less its baseline
    std::vector<float> threshold;  // how far z must go to change the level
    std::vector<float> weaker;     // the weaker side's amplitude
    std::vector<float> near;       // the amplitude of the signal nearby in time
};

Conditioned condition_piece(const std::vector<float>& signal, std::size_t half, std::size_t reach,
                            const FrontEndSettings& s) {
    Conditioned c;
    const std::size_t n = signal.size();
    const std::vector<float> baseline = centred_midrange(signal, half);
    c.z.resize(n);
    std::vector<float> magnitude(n);
    for (std::size_t i = 0; i < n; ++i) {
        c.z[i] = signal[i] - baseline[i];
        magnitude[i] = std::fabs(c.z[i]);
    }
    const std::vector<float> amplitude = centred_mean(magnitude, half);
    c.near = nearby_peak(amplitude, reach);
    c.weaker = one_sided_minimum(magnitude, half);
    c.threshold.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        c.threshold[i] = std::max({static_cast<float>(s.hysteresis) * amplitude[i],
                                   static_cast<float>(s.floor) * c.near[i], 1e-6f});
    return c;
}

// The level decision, carried from piece to piece.
struct Trigger {
    std::int8_t level = 0;  // 0 until the first frame
    std::uint64_t up = 0, down = 0, last_flip = 0;  // where z last crossed upwards, downwards

    void run(const Conditioned& c, std::uint64_t first, std::uint64_t from, std::uint64_t to, float squelch,
             SampleVector& out) {
        for (std::uint64_t g = from; g < to; ++g) {
            const std::size_t i = static_cast<std::size_t>(g - first);
            if (level == 0) level = c.z[i] >= 0 ? 1 : -1;
            if (i > 0 && c.z[i - 1] <= 0 && c.z[i] > 0) up = g;
            if (i > 0 && c.z[i - 1] >= 0 && c.z[i] < 0) down = g;
            out[g] = level;
            // Far weaker than the signal nearby, before or after: silence or a dropout, whose
            // noise makes no edges (both sides keep a silence that begins or ends here quiet).
            if (c.weaker[i] < squelch * c.near[i]) continue;
            std::int8_t next = level;
            if (level < 0 && c.z[i] > c.threshold[i]) next = 1;
            if (level > 0 && c.z[i] < -c.threshold[i]) next = -1;
            if (next == level) continue;
            // The edge is where the signal crossed its baseline on the way to the new level.
            const std::uint64_t edge = std::max(next > 0 ? up : down, last_flip + 1);
            for (std::uint64_t k = std::min(edge, g); k <= g; ++k) out[k] = next;
            level = next;
            last_flip = g;
        }
    }
};

}  // namespace

SampleVector condition_signal(const FrameSource& source, std::int32_t rate, const FrontEndSettings& settings,
                              FrontEndSummary* summary) {
    const std::uint64_t n = source.frames();
    SampleVector out(n);
    const std::size_t channels = source.channels();
    if (summary != nullptr) {
        summary->channels = static_cast<int>(channels);
        summary->share_used.assign(channels, 0.0);
        summary->share_inverted.assign(channels, 0.0);
    }
    if (n == 0 || channels == 0) return out;
    const bool one_channel = settings.channel >= 0 && static_cast<std::size_t>(settings.channel) < channels;
    const std::vector<double> scale = one_channel ? std::vector<double>{} : channel_scales(source);
    const auto half = static_cast<std::size_t>(std::max(1.0, std::round(rate * settings.baseline_ms / 2000.0)));
    const auto reach = static_cast<std::size_t>(std::max(0.0, rate * settings.floor_reach_s));
    // Every window and peak a piece needs lies within this margin, a whole number of judging windows.
    const std::size_t margin = (reach + 4 * half + 4 * kPeakBlock + 64 + kJudgeWindow) / kJudgeWindow * kJudgeWindow;

    Trigger trigger;
    Channels piece;
    for (std::uint64_t from = 0; from < n; from += kPiece) {
        const std::uint64_t to = std::min<std::uint64_t>(n, from + kPiece);
        const std::uint64_t first = from >= margin ? from - margin : 0;
        const std::uint64_t last = std::min<std::uint64_t>(n, to + margin);
        source.read(first, static_cast<std::size_t>(last - first), piece);
        std::vector<float> mixed;
        if (one_channel) {
            mixed.swap(piece[static_cast<std::size_t>(settings.channel)]);
            if (summary != nullptr) summary->share_used[static_cast<std::size_t>(settings.channel)] += static_cast<double>(to - from);
        } else {
            mixed = combine(piece, scale, static_cast<std::size_t>(from - first), static_cast<std::size_t>(to - first), summary);
        }
        const Conditioned c = condition_piece(smooth(std::move(mixed), settings.smoothing), half, reach, settings);
        trigger.run(c, first, from, to, static_cast<float>(settings.squelch), out);
    }
    if (summary != nullptr) {
        for (auto& v : summary->share_used) v /= static_cast<double>(n);
        for (auto& v : summary->share_inverted) v /= static_cast<double>(n);
    }
    return out;
}

}  // namespace kvr
