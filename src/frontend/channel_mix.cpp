#include "frontend/channel_mix.hpp"

#include "core/worker_pool.hpp"
#include "kernels/kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace kvr {

static_assert(kJudgeWindow <= kernels::kMaxPcm16Frames, "a judging window is summed at once");

namespace {

struct ChannelStats {
    double mean = 0.0, rms = 0.0, squareness = 0.0;
};

// Sums over a window kept in four lanes, so that each addition need not wait for the one
// before it: the judging runs over every frame of every channel.
constexpr std::size_t kLanes = 4;

// K sums at once, each kept in its lanes and combined exactly as a sum of its own would be.
template <std::size_t K, class Terms>
std::array<double, K> lane_sums(std::size_t n, Terms terms) {
    double lane[K][kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t k = 0; k < kLanes; ++k) {
            const std::array<double, K> t = terms(i + k);
            for (std::size_t j = 0; j < K; ++j) lane[j][k] += t[j];
        }
    for (; i < n; ++i) {
        const std::array<double, K> t = terms(i);
        for (std::size_t j = 0; j < K; ++j) lane[j][0] += t[j];
    }
    std::array<double, K> sum;
    for (std::size_t j = 0; j < K; ++j) sum[j] = (lane[j][0] + lane[j][1]) + (lane[j][2] + lane[j][3]);
    return sum;
}

template <class Term>
double lane_sum(std::size_t n, Term term) {
    return lane_sums<1>(n, [&](std::size_t i) { return std::array<double, 1>{term(i)}; })[0];
}

// The statistics from a channel's sum of squared and of absolute deviations.
ChannelStats finish_stats(double mean, double sq, double ab, std::size_t n) {
    ChannelStats s;
    s.mean = mean;
    s.rms = std::sqrt(sq / static_cast<double>(n));
    // A square wave has a mean magnitude equal to its RMS; noise has about 0.8 of it.
    s.squareness = s.rms > 0.0 ? ab / static_cast<double>(n) / s.rms : 0.0;
    return s;
}

ChannelStats stats_of(const float* x, std::size_t n) {
    if (n == 0) return {};
    const double mean = lane_sum(n, [&](std::size_t i) { return static_cast<double>(x[i]); }) / static_cast<double>(n);
    const auto [sq, ab] = lane_sums<2>(n, [&](std::size_t i) {
        const double d = x[i] - mean;
        return std::array<double, 2>{d * d, std::fabs(d)};
    });
    return finish_stats(mean, sq, ab, n);
}

double correlation_of(double cross, const ChannelStats& sa, const ChannelStats& sb, std::size_t n) {
    if (sa.rms <= 0.0 || sb.rms <= 0.0 || n == 0) return 0.0;
    return cross / static_cast<double>(n) / (sa.rms * sb.rms);
}

double correlation(const float* a, const ChannelStats& sa, const float* b, const ChannelStats& sb, std::size_t n) {
    if (sa.rms <= 0.0 || sb.rms <= 0.0 || n == 0) return 0.0;
    return correlation_of(lane_sum(n, [&](std::size_t i) { return (a[i] - sa.mean) * (b[i] - sb.mean); }), sa, sb, n);
}

// Two channels, the common case, in two passes over the window instead of seven: the
// statistics of both and their cross sum, each sum the same as it would be on its own.
struct PairStats {
    ChannelStats st[2];
    double cross = 0.0;
};

PairStats pair_stats(const float* a, const float* b, std::size_t n) {
    PairStats p;
    if (n == 0) return p;
    const kernels::LaneSums sums = kernels::lane_sums(a, b, n);
    const double mean_a = sums.a / static_cast<double>(n), mean_b = sums.b / static_cast<double>(n);
    const kernels::LaneDeviations d = kernels::lane_deviations(a, mean_a, b, mean_b, n);
    p.st[0] = finish_stats(mean_a, d.squares_a, d.magnitudes_a, n);
    p.st[1] = finish_stats(mean_b, d.squares_b, d.magnitudes_b, n);
    p.cross = d.cross;
    return p;
}

}  // namespace

namespace {

// A stretch of 4096 frames out of every 64 Ki is plenty to know a channel's level by.
constexpr std::size_t kScaleSample = 4096, kScaleStride = 65536;

// Each channel's sum and sum of squares over the sampled stretches [first, last), one pair
// per stretch and channel, into sums.
void sample_sums(const FrameSource& source, std::size_t first, std::size_t last, std::vector<std::array<double, 2>>& sums) {
    const std::size_t channels = source.channels();
    Channels piece;
    std::vector<std::uint8_t> room;
    for (std::size_t k = first; k < last; ++k) {
        const std::uint64_t from = std::uint64_t{k} * kScaleStride;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kScaleSample, source.frames() - from));
        // Two 16-bit channels are summed as integers. Every sum over a stretch is exact
        // either way (a sample is a multiple of 2^-15, its square of 2^-30), so the integer
        // sums, scaled, are the sums of the converted samples to the last bit.
        const std::uint8_t* frames = channels == 2 ? source.pcm16(from, count, room) : nullptr;
        if (frames != nullptr) {
            const kernels::StereoSums s = kernels::stereo16_sums(frames, count);
            for (std::size_t c = 0; c < 2; ++c)
                sums[k * 2 + c] = {static_cast<double>(s.sum[c]) / 32768.0, static_cast<double>(s.squares[c]) / 1073741824.0};
            continue;
        }
        source.read(from, count, piece);
        for (std::size_t c = 0; c < channels; ++c)
            sums[k * channels + c] = lane_sums<2>(count, [&](std::size_t i) {
                const double v = piece[c][i];
                return std::array<double, 2>{v, v * v};
            });
    }
}

}  // namespace

std::vector<double> channel_scales(const FrameSource& source) {
    const std::size_t channels = source.channels();
    const auto stretches = static_cast<std::size_t>((source.frames() + kScaleStride - 1) / kScaleStride);
    std::vector<std::array<double, 2>> sums(stretches * channels);
    // A long recording's stretches are read on two threads, half each; they are added in
    // order all the same.
    if (stretches >= 64) {
        Running<void> other = run_elsewhere([&] { sample_sums(source, stretches / 2, stretches, sums); });
        sample_sums(source, 0, stretches / 2, sums);
        other.get();
    } else {
        sample_sums(source, 0, stretches, sums);
    }
    std::vector<double> sum(channels, 0.0), sq(channels, 0.0), scale(channels, 0.0);
    double n = 0.0;
    for (std::size_t k = 0; k < stretches; ++k) {
        for (std::size_t c = 0; c < channels; ++c) sum[c] += sums[k * channels + c][0], sq[c] += sums[k * channels + c][1];
        n += static_cast<double>(std::min<std::uint64_t>(kScaleSample, source.frames() - std::uint64_t{k} * kScaleStride));
    }
    for (std::size_t c = 0; c < channels && n > 0; ++c) {
        const double mean = sum[c] / n, var = sq[c] / n - mean * mean;
        scale[c] = var > 0.0 ? 1.0 / std::sqrt(var) : 0.0;
    }
    return scale;
}

namespace {

// Chooses the channels of a window from their statistics: the loudest square-looking one
// leads, others that follow it (or follow it inverted) join it; dead and noise-only ones are
// left out. `correlate(c, lead)` gives the correlation of channel c with the lead.
template <class Correlate>
std::vector<int> choose_channels(const std::vector<ChannelStats>& st, Correlate correlate) {
    std::size_t lead = 0;
    double best = -1.0;
    for (std::size_t c = 0; c < st.size(); ++c) {
        const double q = st[c].squareness;
        const double score = st[c].rms * q * q * q * q;
        if (score > best) best = score, lead = c;
    }
    std::vector<int> sign(st.size(), 0);
    sign[lead] = 1;
    for (std::size_t c = 0; c < st.size(); ++c) {
        if (c == lead || st[c].rms < 0.05 * st[lead].rms) continue;
        const double r = correlate(c, lead);
        if (std::fabs(r) >= 0.5) sign[c] = r > 0 ? 1 : -1;
    }
    return sign;
}

// The statistics of both channels from their exact sums, in full-scale units: the same
// values the sums over converted samples give, but for the rounding of those sums.
PairStats pair_stats16(const kernels::StereoSums& s, std::size_t n) {
    PairStats p;
    if (n == 0) return p;
    const auto count = static_cast<std::int64_t>(n);
    constexpr double kUnit = 1.0 / 32768.0, kSquareUnit = kUnit * kUnit;
    const double frames = static_cast<double>(n);
    for (int c = 0; c < 2; ++c) {
        const double mean = static_cast<double>(s.sum[c]) * kUnit / frames;
        const double sq = static_cast<double>(count * s.squares[c] - s.sum[c] * s.sum[c]) / frames * kSquareUnit;
        // The deviations above the mean add up to those below it.
        const double ab =
            2.0 * static_cast<double>(count * s.sum_above[c] - s.count_above[c] * s.sum[c]) / frames * kUnit;
        p.st[c] = finish_stats(mean, sq, ab, n);
    }
    p.cross = static_cast<double>(count * s.cross - s.sum[0] * s.sum[1]) / frames * kSquareUnit;
    return p;
}

std::vector<int> judge_pair(const PairStats& p, std::size_t n) {
    const std::vector<ChannelStats> st{p.st[0], p.st[1]};
    return choose_channels(st, [&](std::size_t c, std::size_t lead) { return correlation_of(p.cross, st[c], st[lead], n); });
}

std::vector<int> judge_window(const Channels& ch) {
    const std::size_t n = ch[0].size();
    if (ch.size() == 2) return judge_pair(pair_stats(ch[0].data(), ch[1].data(), n), n);
    std::vector<ChannelStats> st;
    for (const auto& c : ch) st.push_back(stats_of(c.data(), n));
    return choose_channels(st, [&](std::size_t c, std::size_t lead) {
        return correlation(ch[c].data(), st[c], ch[lead].data(), st[lead], n);
    });
}

// Two channels within twenty times each other's level that follow each other are both used
// as they are, whichever leads: then the squareness, which only chooses the lead, is not needed.
bool follow_each_other(const PairStats& p, std::size_t n) {
    const ChannelStats &a = p.st[0], &b = p.st[1];
    return a.rms >= 0.05 * b.rms && b.rms >= 0.05 * a.rms && correlation_of(p.cross, a, b, n) >= 0.5;
}

// Each chosen channel's weight: turned by its sign, scaled, and a share of the mean.
std::vector<float> weights_of(const std::vector<int>& sign, const std::vector<double>& scale) {
    int used = 0;
    for (int s : sign) used += s != 0;
    std::vector<float> w(sign.size(), 0.0f);
    for (std::size_t c = 0; c < sign.size(); ++c)
        if (sign[c] != 0) w[c] = static_cast<float>(sign[c] * scale[c] / used);
    return w;
}

void count_shares(const std::vector<int>& sign, std::size_t n, FrontEndSummary& summary) {
    for (std::size_t c = 0; c < sign.size(); ++c) {
        if (sign[c] != 0) summary.share_used[c] += static_cast<double>(n);
        if (sign[c] < 0) summary.share_inverted[c] += static_cast<double>(n);
    }
}

}  // namespace

void combine_window(const Channels& ch, const std::vector<double>& scale, float* dest, bool counted,
                    FrontEndSummary& summary) {
    const std::size_t n = ch[0].size();
    if (ch.size() == 1) {
        std::copy(ch[0].begin(), ch[0].end(), dest);
        if (counted) summary.share_used[0] += static_cast<double>(n);
        return;
    }
    const std::vector<int> sign = judge_window(ch);
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

}  // namespace kvr
