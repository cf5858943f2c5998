#include "report_page/hp_histogram.hpp"

#include <algorithm>
#include <cmath>

#include "analysis/hp_cursor.hpp"

namespace kvr {

namespace {

// Bins enough to tell lengths 1 % apart near the longest, yet few enough for a small page.
constexpr double kMostBins = 400.0;
// A cluster reaches this far from its highest bin, in parts of its length: the ROM
// timings nearest each other (the pilot and the 1 bit) lie 21 % apart.
constexpr double kClusterReach = 0.15;
// Peaks closer than this are one cluster split by the rounding of lengths to samples.
constexpr double kSamePeak = 0.05;

struct Bins {
    std::int32_t width = 1;  // samples
    std::vector<std::int32_t> counts;
    std::vector<double> sums;  // of the lengths in each bin, for exact centres
};

// The highest bin among its neighbours within 8 % of its length; of equal bins the first.
bool is_summit(const Bins& b, std::size_t k) {
    const double length = (static_cast<double>(k) + 0.5) * b.width;
    const auto reach = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(0.08 * length / b.width)));
    for (std::size_t j = k > reach ? k - reach : 0; j < k; ++j)
        if (b.counts[j] >= b.counts[k]) return false;
    for (std::size_t j = k + 1; j <= k + reach && j < b.counts.size(); ++j)
        if (b.counts[j] > b.counts[k]) return false;
    return true;
}

// The mean length of the cluster around a summit: the bins that fall away from it on both
// sides, within its reach and a bin more (at low rates a length falls into two or three
// bins of whole samples). Returns the count it holds.
std::int64_t cluster_centre(const Bins& b, std::size_t k, double& centre) {
    const double length = (static_cast<double>(k) + 0.5) * b.width;
    const double lowest = length * (1.0 - kClusterReach) - b.width, highest = length * (1.0 + kClusterReach) + b.width;
    std::size_t lo = k, hi = k;
    while (lo > 0 && b.counts[lo - 1] > 0 && b.counts[lo - 1] <= b.counts[lo] &&
           static_cast<double>(lo - 1) * b.width >= lowest)
        --lo;
    while (hi + 1 < b.counts.size() && b.counts[hi + 1] > 0 && b.counts[hi + 1] <= b.counts[hi] &&
           static_cast<double>(hi + 2) * b.width <= highest)
        ++hi;
    std::int64_t n = 0;
    double sum = 0.0;
    for (std::size_t j = lo; j <= hi; ++j) n += b.counts[j], sum += b.sums[j];
    centre = n > 0 ? sum / static_cast<double>(n) : length;
    return n;
}

std::vector<double> find_peaks(const Bins& b, double samples_per_tstate) {
    std::int64_t total = 0;
    for (std::int32_t c : b.counts) total += c;
    // Lone HPs (the sync pair, a glitch) are no cluster; the 1 bits of a header of zeros
    // beside its long pilot are.
    const std::int64_t least = std::max<std::int64_t>(3, total / 1000);
    struct Peak {
        double centre;
        std::int64_t count;
    };
    std::vector<Peak> peaks;
    for (std::size_t k = 0; k < b.counts.size(); ++k) {
        if (b.counts[k] == 0 || !is_summit(b, k)) continue;
        Peak p{0.0, 0};
        p.count = cluster_centre(b, k, p.centre);
        if (p.count < least) continue;
        if (!peaks.empty() && p.centre - peaks.back().centre < kSamePeak * p.centre) {
            if (p.count > peaks.back().count) peaks.back() = p;
            continue;
        }
        peaks.push_back(p);
    }
    std::vector<double> out;
    for (const Peak& p : peaks) out.push_back(p.centre / samples_per_tstate);
    return out;
}

}  // namespace

HpHistogram hp_histogram(const Recording& levels, std::int32_t rate, std::int32_t from, std::int32_t to,
                         double longest_tstates) {
    HpHistogram h;
    const std::int32_t count = std::min(levels.count, std::max(0, to));
    // The HPs from `from` up to `to`, the last of them cut there.
    Recording part = levels.slice(std::max(0, from), count);
    part.sample_rate = rate;
    const EdgeView view(part);
    HpCursor c(view);
    const double spt = c.samples_per_tstate();
    if (!(spt > 0.0) || from >= count) return h;
    const double longest = std::clamp(longest_tstates * spt, 1.0, 1e7);
    Bins b;
    b.width = std::max<std::int32_t>(1, static_cast<std::int32_t>(std::ceil(longest / kMostBins)));
    const auto bins = static_cast<std::size_t>(std::ceil(longest / b.width)) + 1;
    b.counts.assign(bins, 0);
    b.sums.assign(bins, 0.0);
    c.pos = 0;
    for (std::int32_t hp = c.measure(); hp != 0; hp = c.measure()) {
        const auto k = static_cast<std::size_t>(hp / b.width);
        if (k >= bins) {
            ++h.longer;
            continue;
        }
        ++b.counts[k];
        b.sums[k] += hp;
    }
    h.bin_tstates = b.width / spt;
    h.peaks = find_peaks(b, spt);
    h.counts = std::move(b.counts);
    return h;
}

}  // namespace kvr
