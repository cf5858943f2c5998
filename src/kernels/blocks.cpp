#include "kernels/blocks.hpp"

#include <algorithm>
#include <cmath>

#if defined(KVR_X86_KERNELS)
#include <immintrin.h>
#endif

namespace kvr::kernels {

namespace plain {

void block_extremes(const float* x, std::size_t n, float* top, float* bottom) {
    for (std::size_t i = 0, b = 0; i < n; i += kBlockFrames, ++b) {
        const std::size_t end = std::min(n, i + kBlockFrames);
        float t = x[i], m = x[i];
        for (std::size_t j = i + 1; j < end; ++j) t = std::max(t, x[j]), m = std::min(m, x[j]);
        top[b] = t, bottom[b] = m;
    }
}

void remove_baseline(float* x, std::size_t n, const float* edge_base, float* magnitude) {
    for (std::size_t lo = 0, b = 0; lo < n; lo += kBlockFrames, ++b) {
        const std::size_t count = std::min(kBlockFrames, n - lo);
        const float base = edge_base[b], step = (edge_base[b + 1] - edge_base[b]) / static_cast<float>(kBlockFrames);
        float sum = 0.0f;
        for (std::size_t k = 0; k < count; ++k) {
            x[lo + k] = x[lo + k] - (base + step * static_cast<float>(k));
            sum += std::fabs(x[lo + k]);
        }
        magnitude[b] = sum / static_cast<float>(count);
    }
}

void smooth_pass(float* x, std::size_t n) {
    if (n >= 3) smooth_rest(x, n, 1, x[0]);
}

void smooth_rest(float* x, std::size_t n, std::size_t i, float before) {
    for (; i + 1 < n; ++i) {
        const float here = x[i];
        x[i] = 0.25f * before + 0.5f * here + 0.25f * x[i + 1];
        before = here;
    }
}

}  // namespace plain

#if defined(KVR_X86_KERNELS)

namespace sse2 {

void block_extremes(const float* x, std::size_t n, float* top, float* bottom) {
    // Over finite values the order in which the extremes are taken changes nothing but the
    // sign of a zero.
    std::size_t b = 0, i = 0;
    for (; i + kBlockFrames <= n; i += kBlockFrames, ++b) {
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
    plain::block_extremes(x + i, n - i, top + b, bottom + b);
}

namespace {

// Takes base + step * k from each of x[0, kBlockFrames), k the frame's place in its block.
void remove_ramp(float* x, float base, float step) {
    static_assert(kBlockFrames % 4 == 0, "blocks are whole groups of four frames");
    const __m128 base4 = _mm_set1_ps(base), step4 = _mm_set1_ps(step);
    __m128 place = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f);
    for (std::size_t k = 0; k < kBlockFrames; k += 4) {
        _mm_storeu_ps(x + k, _mm_sub_ps(_mm_loadu_ps(x + k), _mm_add_ps(base4, _mm_mul_ps(step4, place))));
        place = _mm_add_ps(place, _mm_set1_ps(4.0f));
    }
}

}  // namespace

void remove_baseline(float* x, std::size_t n, const float* edge_base, float* magnitude) {
    // Eight whole blocks at a time while they are in the cache: their baselines taken away,
    // then their magnitudes summed with each block in a lane of its own, frame after frame
    // in order, as the plain sum adds them.
    constexpr std::size_t kGroup = 8;
    const __m128 magnitude_bits = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    const __m128 frames = _mm_set1_ps(static_cast<float>(kBlockFrames));
    std::size_t b = 0;
    for (const std::size_t whole = n / kBlockFrames; b + kGroup <= whole; b += kGroup) {
        for (std::size_t k = b; k < b + kGroup; ++k)
            remove_ramp(x + k * kBlockFrames, edge_base[k], (edge_base[k + 1] - edge_base[k]) / static_cast<float>(kBlockFrames));
        const float* z = x + b * kBlockFrames;
        __m128 sum[2] = {_mm_setzero_ps(), _mm_setzero_ps()};  // blocks 0 to 3, 4 to 7
        for (std::size_t j = 0; j < kBlockFrames; j += 4)
            for (std::size_t h = 0; h < 2; ++h) {
                const float* q = z + 4 * h * kBlockFrames + j;
                __m128 r0 = _mm_loadu_ps(q), r1 = _mm_loadu_ps(q + kBlockFrames);
                __m128 r2 = _mm_loadu_ps(q + 2 * kBlockFrames), r3 = _mm_loadu_ps(q + 3 * kBlockFrames);
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);  // r0: frame j of each block, r1: frame j + 1, ...
                sum[h] = _mm_add_ps(sum[h], _mm_and_ps(r0, magnitude_bits));
                sum[h] = _mm_add_ps(sum[h], _mm_and_ps(r1, magnitude_bits));
                sum[h] = _mm_add_ps(sum[h], _mm_and_ps(r2, magnitude_bits));
                sum[h] = _mm_add_ps(sum[h], _mm_and_ps(r3, magnitude_bits));
            }
        _mm_storeu_ps(magnitude + b, _mm_div_ps(sum[0], frames));
        _mm_storeu_ps(magnitude + b + 4, _mm_div_ps(sum[1], frames));
    }
    const std::size_t done = b * kBlockFrames;
    plain::remove_baseline(x + done, n - done, edge_base + b, magnitude + b);
}

void smooth_pass(float* x, std::size_t n) {
    if (n < 3) return;
    const __m128 quarter = _mm_set1_ps(0.25f), half = _mm_set1_ps(0.5f);
    __m128 prev = _mm_set1_ps(x[0]);  // the frames before i as they were; the last counts
    std::size_t i = 1;
    for (; i + 5 <= n; i += 4) {
        const __m128 v = _mm_loadu_ps(x + i), right = _mm_loadu_ps(x + i + 1);
        const __m128 t = _mm_shuffle_ps(prev, v, _MM_SHUFFLE(0, 0, 3, 3));
        const __m128 left = _mm_shuffle_ps(t, v, _MM_SHUFFLE(2, 1, 2, 0));
        _mm_storeu_ps(x + i, _mm_add_ps(_mm_add_ps(_mm_mul_ps(quarter, left), _mm_mul_ps(half, v)),
                                        _mm_mul_ps(quarter, right)));
        prev = v;
    }
    plain::smooth_rest(x, n, i, _mm_cvtss_f32(_mm_shuffle_ps(prev, prev, _MM_SHUFFLE(3, 3, 3, 3))));
}

}  // namespace sse2

namespace avx2 {

__attribute__((target("avx2"))) void smooth_pass(float* x, std::size_t n) {
    if (n < 10) return plain::smooth_pass(x, n);
    // Each step reads its frames before the step before it writes its own, so every value
    // read is the one from before the pass.
    const __m256 quarter = _mm256_set1_ps(0.25f), half = _mm256_set1_ps(0.5f);
    __m256 pending = _mm256_setzero_ps();
    float before = x[0];
    std::size_t i = 1;
    for (; i + 9 <= n; i += 8) {
        const __m256 left = _mm256_loadu_ps(x + i - 1), v = _mm256_loadu_ps(x + i), right = _mm256_loadu_ps(x + i + 1);
        if (i > 1) _mm256_storeu_ps(x + i - 8, pending);
        before = x[i + 7];
        pending = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(quarter, left), _mm256_mul_ps(half, v)),
                                _mm256_mul_ps(quarter, right));
    }
    _mm256_storeu_ps(x + i - 8, pending);
    plain::smooth_rest(x, n, i, before);
}

}  // namespace avx2

#endif

}  // namespace kvr::kernels
