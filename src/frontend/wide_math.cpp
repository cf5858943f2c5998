#include "frontend/wide_math.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KVR_WIDE 1
#endif

namespace kvr::wide {

#if defined(KVR_WIDE)

__attribute__((target("avx2"))) std::size_t lane_sums(const float* a, const float* b, std::size_t n, double* la,
                                                       double* lb) {
    __m256d sa = _mm256_loadu_pd(la), sb = _mm256_loadu_pd(lb);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        sa = _mm256_add_pd(sa, _mm256_cvtps_pd(_mm_loadu_ps(a + i)));
        sb = _mm256_add_pd(sb, _mm256_cvtps_pd(_mm_loadu_ps(b + i)));
    }
    _mm256_storeu_pd(la, sa), _mm256_storeu_pd(lb, sb);
    return i;
}

__attribute__((target("avx2"))) std::size_t lane_deviations(const float* a, double mean_a, const float* b,
                                                             double mean_b, std::size_t n, double (*lane)[4]) {
    const __m256d ma = _mm256_set1_pd(mean_a), mb = _mm256_set1_pd(mean_b);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    __m256d acc[5];
    for (int q = 0; q < 5; ++q) acc[q] = _mm256_loadu_pd(lane[q]);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d da = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(a + i)), ma);
        const __m256d db = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(b + i)), mb);
        acc[0] = _mm256_add_pd(acc[0], _mm256_mul_pd(da, da));
        acc[1] = _mm256_add_pd(acc[1], _mm256_and_pd(da, magnitude));
        acc[2] = _mm256_add_pd(acc[2], _mm256_mul_pd(db, db));
        acc[3] = _mm256_add_pd(acc[3], _mm256_and_pd(db, magnitude));
        acc[4] = _mm256_add_pd(acc[4], _mm256_mul_pd(da, db));
    }
    for (int q = 0; q < 5; ++q) _mm256_storeu_pd(lane[q], acc[q]);
    return i;
}

__attribute__((target("avx2"))) std::size_t smooth_pass(float* x, std::size_t n, float& before) {
    // Each step reads its frames before the step before it writes its own, so every value
    // read is the one from before the pass.
    const __m256 quarter = _mm256_set1_ps(0.25f), half = _mm256_set1_ps(0.5f);
    std::size_t i = 1;
    if (n < 10) return i;
    __m256 pending = _mm256_setzero_ps();
    for (; i + 9 <= n; i += 8) {
        const __m256 left = _mm256_loadu_ps(x + i - 1), v = _mm256_loadu_ps(x + i), right = _mm256_loadu_ps(x + i + 1);
        if (i > 1) _mm256_storeu_ps(x + i - 8, pending);
        before = x[i + 7];
        pending = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(quarter, left), _mm256_mul_ps(half, v)),
                                _mm256_mul_ps(quarter, right));
    }
    _mm256_storeu_ps(x + i - 8, pending);
    return i;
}

#else

std::size_t lane_sums(const float*, const float*, std::size_t, double*, double*) { return 0; }
std::size_t lane_deviations(const float*, double, const float*, double, std::size_t, double (*)[4]) { return 0; }
std::size_t smooth_pass(float*, std::size_t, float&) { return 1; }

#endif

}  // namespace kvr::wide
