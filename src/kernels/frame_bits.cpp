#include "kernels/frame_bits.hpp"

#if defined(KVR_X86_KERNELS)
#include <immintrin.h>
#endif

namespace kvr::kernels {

namespace plain {

FrameBits frame_bits(const float* z, std::size_t count, const float* threshold, const std::uint8_t* quiet) {
    FrameBits f;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t bit = std::uint64_t{1} << k;
        const float v = z[k], high = threshold[k / kBlockFrames];
        if (v > 0) f.positive |= bit;
        if (v < 0) f.negative |= bit;
        if (v <= 0) f.not_positive |= bit;
        if (v >= 0) f.not_negative |= bit;
        if (quiet[k / kBlockFrames]) continue;
        if (v > high) f.above |= bit;
        if (v < -high) f.below |= bit;
    }
    return f;
}

}  // namespace plain

#if defined(KVR_X86_KERNELS)

// A block is a whole number of the wide forms' steps, so a step never straddles two blocks.
static_assert(kBlockFrames % 8 == 0);

namespace sse2 {

FrameBits frame_bits(const float* z, std::size_t count, const float* threshold, const std::uint8_t* quiet) {
    if (count < kWordFrames) return plain::frame_bits(z, count, threshold, quiet);
    FrameBits f;
    const __m128 zero = _mm_setzero_ps();
    for (std::size_t k = 0; k < kWordFrames; k += 4) {
        const std::size_t b = k / kBlockFrames;
        const __m128 v = _mm_loadu_ps(z + k), high = _mm_set1_ps(threshold[b]);
        const __m128 low = _mm_sub_ps(zero, high);  // -threshold, as the plain test negates it
        auto bits = [&](__m128 m) { return static_cast<std::uint64_t>(_mm_movemask_ps(m)) << k; };
        f.positive |= bits(_mm_cmpgt_ps(v, zero));
        f.negative |= bits(_mm_cmplt_ps(v, zero));
        f.not_positive |= bits(_mm_cmple_ps(v, zero));
        f.not_negative |= bits(_mm_cmpge_ps(v, zero));
        if (quiet[b]) continue;
        f.above |= bits(_mm_cmpgt_ps(v, high));
        f.below |= bits(_mm_cmplt_ps(v, low));
    }
    return f;
}

}  // namespace sse2

namespace avx2 {

__attribute__((target("avx2"))) FrameBits frame_bits(const float* z, std::size_t count, const float* threshold,
                                                     const std::uint8_t* quiet) {
    if (count < kWordFrames) return plain::frame_bits(z, count, threshold, quiet);
    FrameBits f;
    const __m256 zero = _mm256_setzero_ps();
    for (std::size_t k = 0; k < kWordFrames; k += 8) {
        const std::size_t b = k / kBlockFrames;
        const __m256 v = _mm256_loadu_ps(z + k), high = _mm256_set1_ps(threshold[b]);
        const __m256 low = _mm256_sub_ps(zero, high);
        // (A helper for the mask would not be built for these instructions.)
        f.positive |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_GT_OQ))) << k;
        f.negative |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_LT_OQ))) << k;
        f.not_positive |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_LE_OQ))) << k;
        f.not_negative |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_GE_OQ))) << k;
        if (quiet[b]) continue;
        f.above |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, high, _CMP_GT_OQ))) << k;
        f.below |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, low, _CMP_LT_OQ))) << k;
    }
    return f;
}

}  // namespace avx2

namespace avx512 {

// A step of sixteen frames is one block, or lies within one.
static_assert(kBlockFrames % 16 == 0);

__attribute__((target("avx512f"))) FrameBits frame_bits(const float* z, std::size_t count, const float* threshold,
                                                        const std::uint8_t* quiet) {
    if (count < kWordFrames) return plain::frame_bits(z, count, threshold, quiet);
    FrameBits f;
    const __m512 zero = _mm512_setzero_ps();
    for (std::size_t k = 0; k < kWordFrames; k += 16) {
        const std::size_t b = k / kBlockFrames;
        const __m512 v = _mm512_loadu_ps(z + k);
        f.positive |= std::uint64_t{_mm512_cmp_ps_mask(v, zero, _CMP_GT_OQ)} << k;
        f.negative |= std::uint64_t{_mm512_cmp_ps_mask(v, zero, _CMP_LT_OQ)} << k;
        f.not_positive |= std::uint64_t{_mm512_cmp_ps_mask(v, zero, _CMP_LE_OQ)} << k;
        f.not_negative |= std::uint64_t{_mm512_cmp_ps_mask(v, zero, _CMP_GE_OQ)} << k;
        if (quiet[b]) continue;
        const __m512 high = _mm512_set1_ps(threshold[b]), low = _mm512_sub_ps(zero, high);
        f.above |= std::uint64_t{_mm512_cmp_ps_mask(v, high, _CMP_GT_OQ)} << k;
        f.below |= std::uint64_t{_mm512_cmp_ps_mask(v, low, _CMP_LT_OQ)} << k;
    }
    return f;
}

}  // namespace avx512

#endif

}  // namespace kvr::kernels
