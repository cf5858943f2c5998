#include "frontend/channel_judge.hpp"

#include <cmath>

#include "kernels/kernels.hpp"

namespace kvr {

namespace {

// Sums over a window kept in four lanes, so that each addition need not wait for the one
// before it: the judging runs over every frame of every channel.
constexpr std::size_t kLanes = kernels::kLanes;

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

// Chooses the channels from their statistics; `correlate(c, lead)` gives the correlation of
// channel c with the lead.
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

}  // namespace

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

bool follow_each_other(const PairStats& p, std::size_t n) {
    const ChannelStats &a = p.st[0], &b = p.st[1];
    return a.rms >= 0.05 * b.rms && b.rms >= 0.05 * a.rms && correlation_of(p.cross, a, b, n) >= 0.5;
}

std::vector<int> judge_pair(const PairStats& p, std::size_t n) {
    const std::vector<ChannelStats> st{p.st[0], p.st[1]};
    return choose_channels(st, [&](std::size_t c, std::size_t lead) { return correlation_of(p.cross, st[c], st[lead], n); });
}

std::vector<int> judge_channels(const Channels& ch) {
    const std::size_t n = ch[0].size();
    if (ch.size() == 2) return judge_pair(pair_stats(ch[0].data(), ch[1].data(), n), n);
    std::vector<ChannelStats> st;
    for (const auto& c : ch) st.push_back(stats_of(c.data(), n));
    return choose_channels(st, [&](std::size_t c, std::size_t lead) {
        return correlation(ch[c].data(), st[c], ch[lead].data(), st[lead], n);
    });
}

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

std::array<double, 2> sum_and_squares(const float* x, std::size_t n) {
    return lane_sums<2>(n, [&](std::size_t i) {
        const double v = x[i];
        return std::array<double, 2>{v, v * v};
    });
}

}  // namespace kvr
