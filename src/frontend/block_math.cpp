#include "frontend/block_math.hpp"

#include "frontend/wide_math.hpp"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvr {

namespace {

void plain_extremes(const float* x, std::size_t n, float& top, float& bottom) {
    float t = x[0], m = x[0];
    for (std::size_t i = 1; i < n; ++i) t = std::max(t, x[i]), m = std::min(m, x[i]);
    top = t, bottom = m;
}

constexpr std::size_t kLanes = 4;

double combine_lanes(const double* lane) { return (lane[0] + lane[1]) + (lane[2] + lane[3]); }

}  // namespace

void block_extremes(const float* x, std::size_t n, float* top, float* bottom) {
    std::size_t b = 0, i = 0;
#if defined(__SSE2__)
    // Over finite values the order in which the extremes are taken changes nothing but the
    // sign of a zero, which no later comparison sees.
    for (; i + kBlock <= n; i += kBlock, ++b) {
        const __m128 v0 = _mm_loadu_ps(x + i), v1 = _mm_loadu_ps(x + i + 4);
        const __m128 v2 = _mm_loadu_ps(x + i + 8), v3 = _mm_loadu_ps(x + i + 12);
        __m128 t = _mm_max_ps(_mm_max_ps(v0, v1), _mm_max_ps(v2, v3));
        __m128 m = _mm_min_ps(_mm_min_ps(v0, v1), _mm_min_ps(v2, v3));
        t = _mm_max_ps(t, _mm_shuffle_ps(t, t, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
        t = _mm_max_ps(t, _mm_shuffle_ps(t, t, _MM_SHUFFLE(2, 3, 0, 1)));
        m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
        top[b] = _mm_cvtss_f32(t);
        bottom[b] = _mm_cvtss_f32(m);
    }
#endif
    for (; i < n; i += kBlock, ++b) plain_extremes(x + i, std::min(kBlock, n - i), top[b], bottom[b]);
}

namespace {

// Takes base + step * k from each of x[0, count), k the frame's place in its block.
void remove_ramp(float* x, std::size_t count, float base, float step) {
    std::size_t k = 0;
#if defined(__SSE2__)
    const __m128 base4 = _mm_set1_ps(base), step4 = _mm_set1_ps(step);
    __m128 place = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f);
    for (; k + 4 <= count; k += 4) {
        _mm_storeu_ps(x + k, _mm_sub_ps(_mm_loadu_ps(x + k), _mm_add_ps(base4, _mm_mul_ps(step4, place))));
        place = _mm_add_ps(place, _mm_set1_ps(4.0f));
    }
#endif
    for (; k < count; ++k) x[k] = x[k] - (base + step * static_cast<float>(k));
}

}  // namespace

void remove_baseline(float* x, std::size_t n, const float* edge_base, float* magnitude) {
    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    auto ramp_off = [&](std::size_t b) {
        const std::size_t lo = b * kBlock;
        const float step = (edge_base[b + 1] - edge_base[b]) / static_cast<float>(kBlock);
        remove_ramp(x + lo, std::min(kBlock, n - lo), edge_base[b], step);
    };
    std::size_t b = 0;
#if defined(__SSE2__)
    // Eight whole blocks at a time while they are in the cache: their baselines taken away,
    // then their magnitudes summed with each block in a lane of its own, frame after frame
    // in order, as the plain sum adds them.
    static_assert(kBlock % 4 == 0, "blocks are whole groups of four frames");
    constexpr std::size_t kGroup = 8;
    const __m128 magnitude_bits = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    const __m128 frames = _mm_set1_ps(static_cast<float>(kBlock));
    for (const std::size_t whole = n / kBlock; b + kGroup <= whole; b += kGroup) {
        for (std::size_t k = 0; k < kGroup; ++k) ramp_off(b + k);
        const float* z = x + b * kBlock;
        __m128 sum[2] = {_mm_setzero_ps(), _mm_setzero_ps()};  // blocks 0 to 3, 4 to 7
        for (std::size_t j = 0; j < kBlock; j += 4)
            for (std::size_t h = 0; h < 2; ++h) {
                const float* q = z + 4 * h * kBlock + j;
                __m128 r0 = _mm_loadu_ps(q), r1 = _mm_loadu_ps(q + kBlock);
                __m128 r2 = _mm_loadu_ps(q + 2 * kBlock), r3 = _mm_loadu_ps(q + 3 * kBlock);
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);  // r0: frame j of each block, r1: frame j + 1, ...
                sum[h] = _mm_add_ps(sum[h], _mm_and_ps(r0, magnitude_bits));
                sum[h] = _mm_add_ps(sum[h], _mm_and_ps(r1, magnitude_bits));
                sum[h] = _mm_add_ps(sum[h], _mm_and_ps(r2, magnitude_bits));
                sum[h] = _mm_add_ps(sum[h], _mm_and_ps(r3, magnitude_bits));
            }
        _mm_storeu_ps(magnitude + b, _mm_div_ps(sum[0], frames));
        _mm_storeu_ps(magnitude + b + 4, _mm_div_ps(sum[1], frames));
    }
#endif
    for (; b < blocks; ++b) {
        ramp_off(b);
        const std::size_t lo = b * kBlock, count = std::min(kBlock, n - lo);
        float sum = 0.0f;
        for (std::size_t i = 0; i < count; ++i) sum += std::fabs(x[lo + i]);
        magnitude[b] = sum / static_cast<float>(count);
    }
}

void smooth_pass(float* x, std::size_t n) {
    if (n < 3) return;
    float before = x[0];  // the value the frame before i had before the pass
    std::size_t i = 1;
    if (wide::available()) {
        i = wide::smooth_pass(x, n, before);
    } else {
#if defined(__SSE2__)
        const __m128 quarter = _mm_set1_ps(0.25f), half = _mm_set1_ps(0.5f);
        __m128 prev = _mm_set1_ps(x[0]);  // the frames before i as they were; the last counts
        for (; i + 5 <= n; i += 4) {
            const __m128 v = _mm_loadu_ps(x + i), right = _mm_loadu_ps(x + i + 1);
            const __m128 t = _mm_shuffle_ps(prev, v, _MM_SHUFFLE(0, 0, 3, 3));
            const __m128 left = _mm_shuffle_ps(t, v, _MM_SHUFFLE(2, 1, 2, 0));
            _mm_storeu_ps(x + i, _mm_add_ps(_mm_add_ps(_mm_mul_ps(quarter, left), _mm_mul_ps(half, v)),
                                            _mm_mul_ps(quarter, right)));
            prev = v;
        }
        before = _mm_cvtss_f32(_mm_shuffle_ps(prev, prev, _MM_SHUFFLE(3, 3, 3, 3)));
#endif
    }
    for (; i + 1 < n; ++i) {
        const float here = x[i];
        x[i] = 0.25f * before + 0.5f * here + 0.25f * x[i + 1];
        before = here;
    }
}

namespace {

// The lane sums four frames at a time with the instructions every x86-64 processor has.
std::size_t narrow_lane_sums(const float* a, const float* b, std::size_t n, double* la, double* lb) {
    std::size_t i = 0;
#if defined(__SSE2__)
    __m128d a01 = _mm_setzero_pd(), a23 = a01, b01 = a01, b23 = a01;
    for (; i + kLanes <= n; i += kLanes) {
        const __m128 fa = _mm_loadu_ps(a + i), fb = _mm_loadu_ps(b + i);
        a01 = _mm_add_pd(a01, _mm_cvtps_pd(fa));
        a23 = _mm_add_pd(a23, _mm_cvtps_pd(_mm_movehl_ps(fa, fa)));
        b01 = _mm_add_pd(b01, _mm_cvtps_pd(fb));
        b23 = _mm_add_pd(b23, _mm_cvtps_pd(_mm_movehl_ps(fb, fb)));
    }
    _mm_storeu_pd(la, a01), _mm_storeu_pd(la + 2, a23), _mm_storeu_pd(lb, b01), _mm_storeu_pd(lb + 2, b23);
#else
    (void)a, (void)b, (void)n, (void)la, (void)lb;
#endif
    return i;
}

std::size_t narrow_lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n,
                                   double (*lane)[kLanes]) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128d ma = _mm_set1_pd(mean_a), mb = _mm_set1_pd(mean_b);
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    __m128d acc[5][2];
    for (auto& q : acc) q[0] = q[1] = _mm_setzero_pd();
    for (; i + kLanes <= n; i += kLanes) {
        const __m128 fa = _mm_loadu_ps(a + i), fb = _mm_loadu_ps(b + i);
        const __m128d da[2] = {_mm_sub_pd(_mm_cvtps_pd(fa), ma), _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(fa, fa)), ma)};
        const __m128d db[2] = {_mm_sub_pd(_mm_cvtps_pd(fb), mb), _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(fb, fb)), mb)};
        for (int h = 0; h < 2; ++h) {
            acc[0][h] = _mm_add_pd(acc[0][h], _mm_mul_pd(da[h], da[h]));
            acc[1][h] = _mm_add_pd(acc[1][h], _mm_and_pd(da[h], magnitude));
            acc[2][h] = _mm_add_pd(acc[2][h], _mm_mul_pd(db[h], db[h]));
            acc[3][h] = _mm_add_pd(acc[3][h], _mm_and_pd(db[h], magnitude));
            acc[4][h] = _mm_add_pd(acc[4][h], _mm_mul_pd(da[h], db[h]));
        }
    }
    for (int q = 0; q < 5; ++q) _mm_storeu_pd(lane[q], acc[q][0]), _mm_storeu_pd(lane[q] + 2, acc[q][1]);
#else
    (void)a, (void)mean_a, (void)b, (void)mean_b, (void)n, (void)lane;
#endif
    return i;
}

}  // namespace

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

std::array<double, 2> lane_sums_of(const float* a, const float* b, std::size_t n) {
    double la[kLanes] = {}, lb[kLanes] = {};
    std::size_t i = wide::available() ? wide::lane_sums(a, b, n, la, lb) : narrow_lane_sums(a, b, n, la, lb);
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t k = 0; k < kLanes; ++k) la[k] += a[i + k], lb[k] += b[i + k];
    for (; i < n; ++i) la[0] += a[i], lb[0] += b[i];
    return {combine_lanes(la), combine_lanes(lb)};
}

std::array<double, 5> lane_deviations_of(const float* a, double mean_a, const float* b, double mean_b, std::size_t n) {
    // sq_a, ab_a, sq_b, ab_b, cross
    double lane[5][kLanes] = {};
    std::size_t i = wide::available() ? wide::lane_deviations(a, mean_a, b, mean_b, n, lane)
                                      : narrow_lane_deviations(a, mean_a, b, mean_b, n, lane);
    auto add = [&](std::size_t k, double da, double db) {
        lane[0][k] += da * da, lane[1][k] += std::fabs(da);
        lane[2][k] += db * db, lane[3][k] += std::fabs(db);
        lane[4][k] += da * db;
    };
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t k = 0; k < kLanes; ++k) add(k, a[i + k] - mean_a, b[i + k] - mean_b);
    for (; i < n; ++i) add(0, a[i] - mean_a, b[i] - mean_b);
    std::array<double, 5> sum;
    for (int q = 0; q < 5; ++q) sum[static_cast<std::size_t>(q)] = combine_lanes(lane[q]);
    return sum;
}

}  // namespace kvr
