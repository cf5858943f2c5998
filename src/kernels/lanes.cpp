#include "kernels/lanes.hpp"

#include <cmath>

#if defined(KVR_X86_KERNELS)
#include <immintrin.h>
#endif

namespace kvr::kernels {

namespace {

double combined(const double* lane) { return (lane[0] + lane[1]) + (lane[2] + lane[3]); }

// The deviations' sums, in the order the lanes of lane_deviations hold them.
enum Deviation { kSquaresA, kMagnitudesA, kSquaresB, kMagnitudesB, kCross, kDeviations };

}  // namespace

namespace plain {

LaneSums lane_sums(const float* a, const float* b, std::size_t n) {
    double la[kLanes] = {}, lb[kLanes] = {};
    return finish_lane_sums(a, b, n, 0, la, lb);
}

LaneDeviations lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n) {
    double lane[kDeviations][kLanes] = {};
    return finish_lane_deviations(a, mean_a, b, mean_b, n, 0, lane);
}

LaneSums finish_lane_sums(const float* a, const float* b, std::size_t n, std::size_t i, double* la, double* lb) {
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t k = 0; k < kLanes; ++k) la[k] += a[i + k], lb[k] += b[i + k];
    for (; i < n; ++i) la[0] += a[i], lb[0] += b[i];
    return {combined(la), combined(lb)};
}

LaneDeviations finish_lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n,
                                      std::size_t i, double (*lane)[kLanes]) {
    auto add = [&](std::size_t k, double da, double db) {
        lane[kSquaresA][k] += da * da, lane[kMagnitudesA][k] += std::fabs(da);
        lane[kSquaresB][k] += db * db, lane[kMagnitudesB][k] += std::fabs(db);
        lane[kCross][k] += da * db;
    };
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t k = 0; k < kLanes; ++k) add(k, a[i + k] - mean_a, b[i + k] - mean_b);
    for (; i < n; ++i) add(0, a[i] - mean_a, b[i] - mean_b);
    return {combined(lane[kSquaresA]), combined(lane[kMagnitudesA]), combined(lane[kSquaresB]),
            combined(lane[kMagnitudesB]), combined(lane[kCross])};
}

}  // namespace plain

#if defined(KVR_X86_KERNELS)

namespace sse2 {

LaneSums lane_sums(const float* a, const float* b, std::size_t n) {
    __m128d a01 = _mm_setzero_pd(), a23 = a01, b01 = a01, b23 = a01;
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const __m128 fa = _mm_loadu_ps(a + i), fb = _mm_loadu_ps(b + i);
        a01 = _mm_add_pd(a01, _mm_cvtps_pd(fa));
        a23 = _mm_add_pd(a23, _mm_cvtps_pd(_mm_movehl_ps(fa, fa)));
        b01 = _mm_add_pd(b01, _mm_cvtps_pd(fb));
        b23 = _mm_add_pd(b23, _mm_cvtps_pd(_mm_movehl_ps(fb, fb)));
    }
    double la[kLanes], lb[kLanes];
    _mm_storeu_pd(la, a01), _mm_storeu_pd(la + 2, a23), _mm_storeu_pd(lb, b01), _mm_storeu_pd(lb + 2, b23);
    return plain::finish_lane_sums(a, b, n, i, la, lb);
}

LaneDeviations lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n) {
    const __m128d ma = _mm_set1_pd(mean_a), mb = _mm_set1_pd(mean_b);
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    __m128d acc[kDeviations][2];
    for (auto& q : acc) q[0] = q[1] = _mm_setzero_pd();
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const __m128 fa = _mm_loadu_ps(a + i), fb = _mm_loadu_ps(b + i);
        const __m128d da[2] = {_mm_sub_pd(_mm_cvtps_pd(fa), ma), _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(fa, fa)), ma)};
        const __m128d db[2] = {_mm_sub_pd(_mm_cvtps_pd(fb), mb), _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(fb, fb)), mb)};
        for (int h = 0; h < 2; ++h) {
            acc[kSquaresA][h] = _mm_add_pd(acc[kSquaresA][h], _mm_mul_pd(da[h], da[h]));
            acc[kMagnitudesA][h] = _mm_add_pd(acc[kMagnitudesA][h], _mm_and_pd(da[h], magnitude));
            acc[kSquaresB][h] = _mm_add_pd(acc[kSquaresB][h], _mm_mul_pd(db[h], db[h]));
            acc[kMagnitudesB][h] = _mm_add_pd(acc[kMagnitudesB][h], _mm_and_pd(db[h], magnitude));
            acc[kCross][h] = _mm_add_pd(acc[kCross][h], _mm_mul_pd(da[h], db[h]));
        }
    }
    double lane[kDeviations][kLanes];
    for (int q = 0; q < kDeviations; ++q) _mm_storeu_pd(lane[q], acc[q][0]), _mm_storeu_pd(lane[q] + 2, acc[q][1]);
    return plain::finish_lane_deviations(a, mean_a, b, mean_b, n, i, lane);
}

}  // namespace sse2

namespace avx2 {

__attribute__((target("avx2"))) LaneSums lane_sums(const float* a, const float* b, std::size_t n) {
    __m256d sa = _mm256_setzero_pd(), sb = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        sa = _mm256_add_pd(sa, _mm256_cvtps_pd(_mm_loadu_ps(a + i)));
        sb = _mm256_add_pd(sb, _mm256_cvtps_pd(_mm_loadu_ps(b + i)));
    }
    double la[kLanes], lb[kLanes];
    _mm256_storeu_pd(la, sa), _mm256_storeu_pd(lb, sb);
    return plain::finish_lane_sums(a, b, n, i, la, lb);
}

__attribute__((target("avx2"))) LaneDeviations lane_deviations(const float* a, double mean_a, const float* b,
                                                                double mean_b, std::size_t n) {
    const __m256d ma = _mm256_set1_pd(mean_a), mb = _mm256_set1_pd(mean_b);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    __m256d acc[kDeviations];
    for (auto& q : acc) q = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const __m256d da = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(a + i)), ma);
        const __m256d db = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(b + i)), mb);
        acc[kSquaresA] = _mm256_add_pd(acc[kSquaresA], _mm256_mul_pd(da, da));
        acc[kMagnitudesA] = _mm256_add_pd(acc[kMagnitudesA], _mm256_and_pd(da, magnitude));
        acc[kSquaresB] = _mm256_add_pd(acc[kSquaresB], _mm256_mul_pd(db, db));
        acc[kMagnitudesB] = _mm256_add_pd(acc[kMagnitudesB], _mm256_and_pd(db, magnitude));
        acc[kCross] = _mm256_add_pd(acc[kCross], _mm256_mul_pd(da, db));
    }
    double lane[kDeviations][kLanes];
    for (int q = 0; q < kDeviations; ++q) _mm256_storeu_pd(lane[q], acc[q]);
    return plain::finish_lane_deviations(a, mean_a, b, mean_b, n, i, lane);
}

}  // namespace avx2

#endif

}  // namespace kvr::kernels
