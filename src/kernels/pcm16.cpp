#include "kernels/pcm16.hpp"

#include <algorithm>

#if defined(KVR_X86_KERNELS)
#include <immintrin.h>
#endif

namespace kvr::kernels {

namespace {

constexpr float kUnit = 1.0f / 32768.0f;

std::int32_t sample16(const std::uint8_t* p) { return static_cast<std::int16_t>(p[0] | (p[1] << 8)); }

// The plain loops from frame i on; the wide forms finish with them.
void convert_rest(const std::uint8_t* p, std::size_t count, std::size_t i, float* left, float* right) {
    for (; i < count; ++i) {
        const std::uint8_t* q = p + 4 * i;
        left[i] = static_cast<float>(sample16(q)) * kUnit;
        right[i] = static_cast<float>(sample16(q + 2)) * kUnit;
    }
}

void sums_rest(const std::uint8_t* p, std::size_t n, std::size_t i, StereoSums& s) {
    for (; i < n; ++i) {
        const std::int64_t a = sample16(p + 4 * i), b = sample16(p + 4 * i + 2);
        s.sum[0] += a, s.sum[1] += b;
        s.squares[0] += a * a, s.squares[1] += b * b;
        s.cross += a * b;
    }
}

// A sample is above the mean when n times it is above the sum (both exact).
void above_rest(const std::uint8_t* p, std::size_t n, std::size_t i, StereoSums& s) {
    const auto count = static_cast<std::int64_t>(n);
    for (; i < n; ++i)
        for (int c = 0; c < 2; ++c) {
            const std::int64_t x = sample16(p + 4 * i + 2 * c);
            if (x * count > s.sum[c]) s.sum_above[c] += x, ++s.count_above[c];
        }
}

void combine_rest(const std::uint8_t* p, std::size_t channels, std::size_t n, std::size_t i, const float* weight,
                  float* dest) {
    // Scaling by a power of two is exact, so the weight may take the scale first.
    const float w0 = weight[0] * kUnit, w1 = channels == 2 ? weight[1] * kUnit : 0.0f;
    const std::size_t step = 2 * channels;
    for (; i < n; ++i) {
        const std::uint8_t* q = p + step * i;
        const float a = w0 * static_cast<float>(sample16(q));
        dest[i] = channels == 2 ? a + w1 * static_cast<float>(sample16(q + 2)) : a;
    }
}

}  // namespace

namespace plain {

void convert_stereo16(const std::uint8_t* frames, std::size_t count, float* left, float* right) {
    convert_rest(frames, count, 0, left, right);
}

StereoSums stereo16_sums(const std::uint8_t* frames, std::size_t n) {
    StereoSums s;
    sums_rest(frames, std::min(n, kMaxPcm16Frames), 0, s);
    return s;
}

void add_sums_above(const std::uint8_t* frames, std::size_t n, StereoSums& sums) {
    above_rest(frames, std::min(n, kMaxPcm16Frames), 0, sums);
}

void combine16(const std::uint8_t* frames, std::size_t channels, std::size_t n, const float* weight, float* dest) {
    combine_rest(frames, channels, n, 0, weight, dest);
}

}  // namespace plain

#if defined(KVR_X86_KERNELS)

namespace sse2 {

void convert_stereo16(const std::uint8_t* frames, std::size_t count, float* left, float* right) {
    const __m128 scale = _mm_set1_ps(kUnit);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frames + 4 * i));
        const __m128i l = _mm_srai_epi32(_mm_slli_epi32(v, 16), 16), r = _mm_srai_epi32(v, 16);
        _mm_storeu_ps(left + i, _mm_mul_ps(_mm_cvtepi32_ps(l), scale));
        _mm_storeu_ps(right + i, _mm_mul_ps(_mm_cvtepi32_ps(r), scale));
    }
    convert_rest(frames, count, i, left, right);
}

}  // namespace sse2

namespace avx2 {

namespace {

// Adds the eight 32-bit values of v, widened, to the four 64-bit lanes of acc.
__attribute__((target("avx2"))) __m256i add_wide(__m256i acc, __m256i v) {
    acc = _mm256_add_epi64(acc, _mm256_cvtepi32_epi64(_mm256_castsi256_si128(v)));
    return _mm256_add_epi64(acc, _mm256_cvtepi32_epi64(_mm256_extracti128_si256(v, 1)));
}

__attribute__((target("avx2"))) std::int64_t total64(__m256i v) {
    alignas(32) std::int64_t lane[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane), v);
    return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

__attribute__((target("avx2"))) std::int64_t total32(__m256i v) {
    alignas(32) std::int32_t lane[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane), v);
    std::int64_t t = 0;
    for (std::int32_t x : lane) t += x;
    return t;
}

}  // namespace

// Eight frames at a time: each 32-bit lane holds one frame, its first sample in the low half.
__attribute__((target("avx2"))) StereoSums stereo16_sums(const std::uint8_t* frames, std::size_t n) {
    n = std::min(n, kMaxPcm16Frames);
    const __m256i low = _mm256_set1_epi32(0xffff);
    __m256i sum[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
    __m256i sq[2] = {sum[0], sum[0]}, cross = sum[0];
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frames + 4 * i));
        const __m256i a = _mm256_and_si256(v, low), b = _mm256_andnot_si256(low, v);
        const __m256i turned = _mm256_or_si256(_mm256_slli_epi32(v, 16), _mm256_srli_epi32(v, 16));
        sum[0] = _mm256_add_epi32(sum[0], _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16));
        sum[1] = _mm256_add_epi32(sum[1], _mm256_srai_epi32(v, 16));
        // Each product alone in its lane (the other half is zero), so none can overflow.
        sq[0] = add_wide(sq[0], _mm256_madd_epi16(a, a));
        sq[1] = add_wide(sq[1], _mm256_madd_epi16(b, b));
        cross = add_wide(cross, _mm256_madd_epi16(a, turned));
    }
    StereoSums s;
    for (int c = 0; c < 2; ++c) s.sum[c] = total32(sum[c]), s.squares[c] = total64(sq[c]);
    s.cross = total64(cross);
    sums_rest(frames, n, i, s);
    return s;
}

__attribute__((target("avx2"))) void add_sums_above(const std::uint8_t* frames, std::size_t n, StereoSums& s) {
    n = std::min(n, kMaxPcm16Frames);
    const __m256i count = _mm256_set1_epi32(static_cast<std::int32_t>(n));
    const __m256i mean[2] = {_mm256_set1_epi32(static_cast<std::int32_t>(s.sum[0])),
                             _mm256_set1_epi32(static_cast<std::int32_t>(s.sum[1]))};
    __m256i above[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()}, many[2] = {above[0], above[0]};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frames + 4 * i));
        const __m256i x[2] = {_mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16), _mm256_srai_epi32(v, 16)};
        for (int c = 0; c < 2; ++c) {
            const __m256i over = _mm256_cmpgt_epi32(_mm256_mullo_epi32(x[c], count), mean[c]);
            above[c] = _mm256_add_epi32(above[c], _mm256_and_si256(over, x[c]));
            many[c] = _mm256_sub_epi32(many[c], over);
        }
    }
    for (int c = 0; c < 2; ++c) s.sum_above[c] += total32(above[c]), s.count_above[c] += total32(many[c]);
    above_rest(frames, n, i, s);
}

__attribute__((target("avx2"))) void combine16(const std::uint8_t* frames, std::size_t channels, std::size_t n,
                                               const float* weight, float* dest) {
    const __m256 w0 = _mm256_set1_ps(weight[0] * kUnit);
    std::size_t i = 0;
    if (channels == 1) {
        for (; i + 8 <= n; i += 8) {
            const __m256i v = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(frames + 2 * i)));
            _mm256_storeu_ps(dest + i, _mm256_mul_ps(w0, _mm256_cvtepi32_ps(v)));
        }
    } else {
        const __m256 w1 = _mm256_set1_ps(weight[1] * kUnit);
        for (; i + 8 <= n; i += 8) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frames + 4 * i));
            const __m256 a = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16));
            const __m256 b = _mm256_cvtepi32_ps(_mm256_srai_epi32(v, 16));
            _mm256_storeu_ps(dest + i, _mm256_add_ps(_mm256_mul_ps(w0, a), _mm256_mul_ps(w1, b)));
        }
    }
    combine_rest(frames, channels, n, i, weight, dest);
}

}  // namespace avx2

#endif

}  // namespace kvr::kernels
