#include "frontend/block_math.hpp"

#include <algorithm>

namespace kvr {

namespace {

// Windows this short are taken value by value: a few passes over x that need no runs.
constexpr std::size_t kShortReach = 4;

template <class Better>
float extreme_of(const float* x, std::size_t lo, std::size_t hi, Better better) {
    float v = x[lo];
    for (std::size_t j = lo + 1; j <= hi; ++j) v = better(x[j], v) ? x[j] : v;
    return v;
}

// The windows of reach R that lie whole within x, for i in [from, to): the values taken in
// order, from the window's first, in one loop without branches.
template <std::size_t R, class Better>
void inner_extremes(const float* v, float* o, std::size_t from, std::size_t to, Better better) {
    for (std::size_t i = from; i < to; ++i) {
        float m = v[i - R];
        for (std::size_t d = 1; d <= 2 * R; ++d) {
            const float c = v[i - R + d];
            m = better(c, m) ? c : m;
        }
        o[i] = m;
    }
}

// Short windows: whole ones in one loop, those cut short by the ends of x value by value.
template <class Better>
void short_extremes(std::span<const float> x, std::size_t reach, Better better, std::span<float> out) {
    const std::size_t n = x.size();
    const std::size_t inner_from = std::min(n, reach), inner_to = n > reach ? n - reach : 0;
    for (std::size_t i = 0; i < inner_from; ++i) out[i] = extreme_of(x.data(), 0, std::min(n - 1, i + reach), better);
    const float* v = x.data();
    float* o = out.data();
    switch (reach) {
    case 0: inner_extremes<0>(v, o, inner_from, inner_to, better); break;
    case 1: inner_extremes<1>(v, o, inner_from, inner_to, better); break;
    case 2: inner_extremes<2>(v, o, inner_from, inner_to, better); break;
    case 3: inner_extremes<3>(v, o, inner_from, inner_to, better); break;
    default: inner_extremes<kShortReach>(v, o, inner_from, inner_to, better); break;
    }
    for (std::size_t i = std::max(inner_from, inner_to); i < n; ++i)
        out[i] = extreme_of(x.data(), i >= reach ? i - reach : 0, n - 1, better);
}

// Long windows: the extremes of runs of w = 2 * reach + 1 values from each run's start
// (the prefix) and from its end (the suffix); any window of w values is the suffix of one
// run from where it starts and the prefix of the next up to where it ends.
template <class Better>
void long_extremes(std::span<const float> x, std::size_t reach, Better better, std::span<float> out,
                   std::span<float> prefix, std::span<float> suffix) {
    const std::size_t n = x.size(), w = 2 * reach + 1;
    std::size_t start = 0;
    // Four whole runs at a time: eight chains of comparisons that need not wait for each
    // other, each the same as its run's alone.
    constexpr std::size_t kRuns = 4;
    for (; w <= n / kRuns && start <= n - kRuns * w; start += kRuns * w) {
        for (std::size_t k = 0; k < kRuns; ++k) {
            prefix[start + k * w] = x[start + k * w];
            suffix[start + k * w + w - 1] = x[start + k * w + w - 1];
        }
        for (std::size_t j = 1; j < w; ++j)
            for (std::size_t k = 0; k < kRuns; ++k) {
                const std::size_t p = start + k * w + j, q = start + k * w + w - 1 - j;
                prefix[p] = better(x[p], prefix[p - 1]) ? x[p] : prefix[p - 1];
                suffix[q] = better(x[q], suffix[q + 1]) ? x[q] : suffix[q + 1];
            }
    }
    for (; start < n; start += w) {
        const std::size_t end = std::min(n, start + w), length = end - start;
        prefix[start] = x[start];
        suffix[end - 1] = x[end - 1];
        // The prefix from the run's start and the suffix from its end together: two chains
        // of comparisons that need not wait for each other.
        for (std::size_t j = 1; j < length; ++j) {
            const std::size_t p = start + j, q = end - 1 - j;
            prefix[p] = better(x[p], prefix[p - 1]) ? x[p] : prefix[p - 1];
            suffix[q] = better(x[q], suffix[q + 1]) ? x[q] : suffix[q + 1];
        }
    }
    // Where the window is cut short by the ends of x: lo and hi lie in neighbouring runs,
    // or in one run that starts at lo (the prefix covers the window) or ends at hi (the
    // suffix does).
    auto at_an_end = [&](std::size_t i) {
        const std::size_t lo = i >= reach ? i - reach : 0, hi = std::min(n - 1, i + reach);
        const float a = suffix[lo], b = prefix[hi];
        if (lo / w != hi / w) return better(a, b) ? a : b;
        return lo % w == 0 ? b : a;
    };
    // Elsewhere the window is w long: in neighbouring runs, or exactly one run, whose prefix
    // and suffix then both hold its extreme. A loop without branches.
    const std::size_t inner_from = std::min(n, reach), inner_to = n > reach ? n - reach : 0;
    for (std::size_t i = 0; i < inner_from; ++i) out[i] = at_an_end(i);
    const float *pre = prefix.data(), *suf = suffix.data();
    float* o = out.data();
    for (std::size_t i = inner_from; i < inner_to; ++i) {
        const float a = suf[i - reach], b = pre[i + reach];
        o[i] = better(a, b) ? a : b;
    }
    for (std::size_t i = std::max(inner_from, inner_to); i < n; ++i) out[i] = at_an_end(i);
}

template <class Better>
void extremes_by(std::span<const float> x, std::size_t reach, Better better, std::span<float> out,
                 std::span<float> prefix, std::span<float> suffix) {
    if (x.empty()) return;
    if (reach <= kShortReach) short_extremes(x, reach, better, out);
    else long_extremes(x, reach, better, out, prefix, suffix);
}

}  // namespace

void sliding_extremes(std::span<const float> x, std::size_t reach, bool lowest, std::span<float> out,
                      std::span<float> prefix, std::span<float> suffix) {
    if (lowest) extremes_by(x, reach, [](float a, float b) { return a < b; }, out, prefix, suffix);
    else extremes_by(x, reach, [](float a, float b) { return a > b; }, out, prefix, suffix);
}

void block_means(const double* sums, std::size_t blocks, std::size_t h, float* amplitude, float* weaker) {
    auto mean = [&](std::size_t lo, std::size_t hi) {  // blocks [lo, hi]
        return static_cast<float>((sums[hi + 1] - sums[lo]) / static_cast<double>(hi + 1 - lo));
    };
    auto at = [&](std::size_t b) {
        const std::size_t lo = b >= h ? b - h : 0, hi = std::min(blocks - 1, b + h);
        amplitude[b] = mean(lo, hi);
        weaker[b] = std::min(mean(lo, b), mean(b, hi));
    };
    // Away from the ends every window is whole: the same divisions by the same counts, in
    // a loop without branches.
    const std::size_t inner_from = std::min(blocks, h), inner_to = blocks > h ? blocks - h : 0;
    for (std::size_t b = 0; b < inner_from; ++b) at(b);
    const double whole = static_cast<double>(2 * h + 1), side = static_cast<double>(h + 1);
    for (std::size_t b = inner_from; b < inner_to; ++b) {
        amplitude[b] = static_cast<float>((sums[b + h + 1] - sums[b - h]) / whole);
        weaker[b] = std::min(static_cast<float>((sums[b + 1] - sums[b - h]) / side),
                             static_cast<float>((sums[b + h + 1] - sums[b]) / side));
    }
    for (std::size_t b = std::max(inner_from, inner_to); b < blocks; ++b) at(b);
}

}  // namespace kvr
