#include "frontend/front_end.hpp"

#include <algorithm>
#include <cmath>

namespace kvr {

namespace {

constexpr std::size_t kJudgeWindow = 8192;  // frames over which the channels are judged

struct ChannelStats {
    double mean = 0.0, rms = 0.0, squareness = 0.0;
};

ChannelStats stats_of(std::span<const float> x) {
    ChannelStats s;
    if (x.empty()) return s;
    double sum = 0.0;
    for (float v : x) sum += v;
    s.mean = sum / static_cast<double>(x.size());
    double sq = 0.0, ab = 0.0;
    for (float v : x) {
        const double d = v - s.mean;
        sq += d * d;
        ab += std::fabs(d);
    }
    s.rms = std::sqrt(sq / static_cast<double>(x.size()));
    // A square wave has a mean magnitude equal to its RMS; noise has about 0.8 of it.
    s.squareness = s.rms > 0.0 ? ab / static_cast<double>(x.size()) / s.rms : 0.0;
    return s;
}

double correlation(std::span<const float> a, const ChannelStats& sa, std::span<const float> b, const ChannelStats& sb) {
    if (sa.rms <= 0.0 || sb.rms <= 0.0) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - sa.mean) * (b[i] - sb.mean);
    return sum / static_cast<double>(a.size()) / (sa.rms * sb.rms);
}

// Adds one window of the channels that carry the signal, each in the reference's phase.
void combine_window(ChannelSpans channels, std::size_t from, std::size_t to, const std::vector<double>& scale,
                    std::vector<float>& out, FrontEndSummary* summary) {
    const std::size_t n = to - from;
    std::vector<ChannelStats> st;
    std::size_t ref = 0;
    double best = -1.0;
    for (std::size_t c = 0; c < channels.size(); ++c) {
        st.push_back(stats_of(channels[c].subspan(from, n)));
        const double q = st.back().squareness;
        const double score = st.back().rms * q * q * q * q;
        if (score > best) best = score, ref = c;
    }
    std::vector<int> sign(channels.size(), 0);
    sign[ref] = 1;
    for (std::size_t c = 0; c < channels.size(); ++c) {
        if (c == ref || st[c].rms < 0.05 * st[ref].rms) continue;
        const double r = correlation(channels[c].subspan(from, n), st[c], channels[ref].subspan(from, n), st[ref]);
        if (std::fabs(r) >= 0.5) sign[c] = r > 0 ? 1 : -1;
    }
    int used = 0;
    for (int s : sign) used += s != 0;
    for (std::size_t i = from; i < to; ++i) {
        double v = 0.0;
        for (std::size_t c = 0; c < channels.size(); ++c)
            if (sign[c] != 0) v += sign[c] * channels[c][i] * scale[c];
        out[i] = static_cast<float>(v / used);
    }
    if (summary != nullptr) {
        for (std::size_t c = 0; c < channels.size(); ++c) {
            if (sign[c] != 0) summary->share_used[c] += static_cast<double>(n);
            if (sign[c] < 0) summary->share_inverted[c] += static_cast<double>(n);
        }
    }
}

// The largest value within `reach` elements either side, in blocks for speed.
std::vector<float> nearby_peak(const std::vector<float>& a, std::size_t reach) {
    constexpr std::size_t kBlock = 256;
    const std::size_t blocks = (a.size() + kBlock - 1) / kBlock;
    std::vector<float> peak(blocks, 0.0f);
    for (std::size_t i = 0; i < a.size(); ++i) peak[i / kBlock] = std::max(peak[i / kBlock], a[i]);
    const std::size_t k = reach / kBlock + 1;
    std::vector<float> spread(blocks, 0.0f);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t lo = b >= k ? b - k : 0, hi = std::min(blocks - 1, b + k);
        spread[b] = *std::max_element(peak.begin() + static_cast<std::ptrdiff_t>(lo),
                                      peak.begin() + static_cast<std::ptrdiff_t>(hi) + 1);
    }
    std::vector<float> out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = spread[i / kBlock];
    return out;
}

// The middle between the highest and the lowest value within half a window either side:
// for a square wave the level between its two states, following hum and wander.
std::vector<float> centred_midrange(const std::vector<float>& x, std::size_t window) {
    const std::size_t n = x.size(), half = window / 2;
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

// The smaller of the means of `half` values before and after each element.
std::vector<float> one_sided_minimum(const std::vector<float>& x, std::size_t half) {
    const std::size_t n = x.size();
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + x[i];
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= half ? i - half : 0, hi = std::min(n, i + half + 1);
        const double before = (prefix[i + 1] - prefix[lo]) / static_cast<double>(i + 1 - lo);
        const double after = (prefix[hi] - prefix[i]) / static_cast<double>(hi - i);
        out[i] = static_cast<float>(std::min(before, after));
    }
    return out;
}

}  // namespace

std::vector<float> combine_channels(ChannelSpans channels, FrontEndSummary* summary) {
    const std::size_t n = channels.empty() ? 0 : channels[0].size();
    if (summary != nullptr) {
        summary->channels = static_cast<int>(channels.size());
        summary->share_used.assign(channels.size(), 0.0);
        summary->share_inverted.assign(channels.size(), 0.0);
    }
    std::vector<float> out(n);
    if (channels.size() == 1) {
        std::copy(channels[0].begin(), channels[0].end(), out.begin());
        if (summary != nullptr) summary->share_used[0] = 1.0;
        return out;
    }
    // Each channel at the same scale, so that a louder one does not outweigh the others.
    std::vector<double> scale;
    for (const auto& ch : channels) {
        const double rms = stats_of(ch).rms;
        scale.push_back(rms > 0.0 ? 1.0 / rms : 0.0);
    }
    for (std::size_t from = 0; from < n; from += kJudgeWindow)
        combine_window(channels, from, std::min(n, from + kJudgeWindow), scale, out, summary);
    if (summary != nullptr && n > 0) {
        for (auto& v : summary->share_used) v /= static_cast<double>(n);
        for (auto& v : summary->share_inverted) v /= static_cast<double>(n);
    }
    return out;
}

std::vector<float> smooth(const std::vector<float>& x, int half_width) {
    std::vector<float> a = x, b(x.size());
    // Each pass of 1, 2, 1 is symmetric, so edges stay where they are.
    for (int pass = 0; pass < half_width && a.size() >= 3; ++pass) {
        b.front() = a.front();
        b.back() = a.back();
        for (std::size_t i = 1; i + 1 < a.size(); ++i) b[i] = 0.25f * a[i - 1] + 0.5f * a[i] + 0.25f * a[i + 1];
        a.swap(b);
    }
    return a;
}

std::vector<float> centred_mean(const std::vector<float>& x, std::size_t window) {
    const std::size_t n = x.size(), half = window / 2;
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + x[i];
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= half ? i - half : 0, hi = std::min(n, i + half + 1);
        out[i] = static_cast<float>((prefix[hi] - prefix[lo]) / static_cast<double>(hi - lo));
    }
    return out;
}

SampleVector decide_levels(const std::vector<float>& signal, std::int32_t rate, const FrontEndSettings& settings) {
    const std::size_t n = signal.size();
    SampleVector out(n);
    if (n == 0) return out;
    const auto window = static_cast<std::size_t>(std::max(3.0, std::round(rate * settings.baseline_ms / 1000.0)));
    const std::vector<float> baseline = settings.midrange ? centred_midrange(signal, window) : centred_mean(signal, window);
    std::vector<float> z(n), magnitude(n);
    for (std::size_t i = 0; i < n; ++i) {
        z[i] = signal[i] - baseline[i];
        magnitude[i] = std::fabs(z[i]);
    }
    const std::vector<float> amplitude = centred_mean(magnitude, window);
    const std::vector<float> near = nearby_peak(amplitude, static_cast<std::size_t>(rate * settings.floor_reach_s));
    const std::vector<float> weaker_side = one_sided_minimum(magnitude, window / 2);

    std::int8_t level = z[0] >= 0 ? 1 : -1;
    std::size_t up = 0, down = 0, last_flip = 0;  // where z last crossed upwards, downwards
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && z[i - 1] <= 0 && z[i] > 0) up = i;
        if (i > 0 && z[i - 1] >= 0 && z[i] < 0) down = i;
        const float t = std::max({static_cast<float>(settings.hysteresis) * amplitude[i],
                                  static_cast<float>(settings.floor) * near[i], 1e-6f});
        out[i] = level;
        // Far weaker than the signal nearby, before or after: silence or a dropout, whose noise
        // makes no edges (looking at both sides keeps a silence that begins or ends here quiet).
        if (weaker_side[i] < static_cast<float>(settings.squelch) * near[i]) continue;
        std::int8_t next = level;
        if (level < 0 && z[i] > t) next = 1;
        if (level > 0 && z[i] < -t) next = -1;
        if (next == level) continue;
        // The edge is where the signal crossed its baseline on the way to the new level.
        const std::size_t edge = std::max(next > 0 ? up : down, last_flip + 1);
        for (std::size_t k = std::min(edge, i); k <= i; ++k) out[k] = next;
        level = next;
        last_flip = i;
    }
    return out;
}

SampleVector condition_signal(ChannelSpans channels, std::int32_t rate, const FrontEndSettings& settings,
                              FrontEndSummary* summary) {
    std::vector<float> mixed;
    if (settings.channel >= 0 && static_cast<std::size_t>(settings.channel) < channels.size()) {
        const auto& only = channels[static_cast<std::size_t>(settings.channel)];
        mixed.assign(only.begin(), only.end());
    } else {
        mixed = combine_channels(channels, summary);
    }
    return decide_levels(smooth(mixed, settings.smoothing), rate, settings);
}

}  // namespace kvr
