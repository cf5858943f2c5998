#include "frontend/trigger.hpp"

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "frontend/wide_math.hpp"

namespace kvr {

namespace {

constexpr std::size_t kWord = 64;  // frames per mask word

// Six facts about each frame of a word of frames, one bit each.
struct FrameBits {
    std::uint64_t positive = 0, negative = 0;          // z > 0, z < 0
    std::uint64_t not_positive = 0, not_negative = 0;  // z <= 0, z >= 0 (a NaN is neither)
    std::uint64_t above = 0, below = 0;                // z > threshold, z < -threshold, outside quiet blocks

    void set(std::size_t k, float v, float threshold, bool quiet) {
        const std::uint64_t bit = std::uint64_t{1} << k;
        if (v > 0) positive |= bit;
        if (v < 0) negative |= bit;
        if (v <= 0) not_positive |= bit;
        if (v >= 0) not_negative |= bit;
        if (!quiet && v > threshold) above |= bit;
        if (!quiet && v < -threshold) below |= bit;
    }
};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// A whole word eight frames at a time, for processors that have the instructions.
__attribute__((target("avx2"))) FrameBits wide_frame_bits(const float* z, std::size_t i, const Conditioned& c) {
    FrameBits f;
    const __m256 zero = _mm256_setzero_ps();
    for (std::size_t k = 0; k < kWord; k += 8) {
        const std::size_t b = (i + k) / kBlock;  // eight frames never straddle two blocks
        const __m256 v = _mm256_loadu_ps(z + i + k), high = _mm256_set1_ps(c.threshold[b]);
        const __m256 low = _mm256_sub_ps(zero, high);
        // (A helper for the mask would not be compiled for these instructions.)
        f.positive |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_GT_OQ))) << k;
        f.negative |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_LT_OQ))) << k;
        f.not_positive |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_LE_OQ))) << k;
        f.not_negative |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_GE_OQ))) << k;
        if (c.quiet[b]) continue;
        f.above |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, high, _CMP_GT_OQ))) << k;
        f.below |= static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, low, _CMP_LT_OQ))) << k;
    }
    return f;
}
#endif

// The bits of frames z[i, i + kWord), i a multiple of kBlock, of which the first `count` exist.
FrameBits frame_bits(const float* z, std::size_t i, std::size_t count, const Conditioned& c) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (count == kWord && wide::available()) return wide_frame_bits(z, i, c);
#endif
    FrameBits f;
    std::size_t k = 0;
#if defined(__SSE2__)
    if (count == kWord) {
        const __m128 zero = _mm_setzero_ps();
        for (; k < kWord; k += 4) {
            const std::size_t b = (i + k) / kBlock;
            const __m128 v = _mm_loadu_ps(z + i + k), high = _mm_set1_ps(c.threshold[b]);
            const __m128 low = _mm_sub_ps(zero, high);  // -threshold, as the plain test negates it
            auto bits = [&](__m128 m) { return static_cast<std::uint64_t>(_mm_movemask_ps(m)) << k; };
            f.positive |= bits(_mm_cmpgt_ps(v, zero));
            f.negative |= bits(_mm_cmplt_ps(v, zero));
            f.not_positive |= bits(_mm_cmple_ps(v, zero));
            f.not_negative |= bits(_mm_cmpge_ps(v, zero));
            if (c.quiet[b]) continue;
            f.above |= bits(_mm_cmpgt_ps(v, high));
            f.below |= bits(_mm_cmplt_ps(v, low));
        }
        return f;
    }
#endif
    for (; k < count; ++k) {
        const std::size_t b = (i + k) / kBlock;
        f.set(k, z[i + k], c.threshold[b], c.quiet[b] != 0);
    }
    return f;
}

std::uint64_t bits_from(std::size_t k) { return k >= kWord ? 0 : ~std::uint64_t{0} << k; }
std::uint64_t bits_through(std::size_t k) { return k + 1 >= kWord ? ~std::uint64_t{0} : (std::uint64_t{1} << (k + 1)) - 1; }
std::size_t highest(std::uint64_t bits) { return kWord - 1 - static_cast<std::size_t>(std::countl_zero(bits)); }

}  // namespace

// Word by word: the frames that cross the baseline and those beyond the thresholds are
// found for 64 frames at once, and only the flips are then followed one by one.
void decide(const float* z, std::size_t size, const Conditioned& c, std::uint64_t first, std::uint64_t from,
            std::uint64_t to, TriggerState& t, std::vector<std::int32_t>& edges) {
    if (from >= to) return;
    const std::size_t start = static_cast<std::size_t>(from - first), end = static_cast<std::size_t>(to - first);
    if (t.level == 0) t.level = z[start] >= 0 ? 1 : -1;
    // The frame before the first; at the first frame of all, that frame itself, which
    // crosses nothing.
    const float before = start > 0 ? z[start - 1] : z[start];
    std::uint64_t carry_not_positive = before <= 0, carry_not_negative = before >= 0;
    for (std::size_t w = start / kWord * kWord; w < end; w += kWord) {
        const FrameBits f = frame_bits(z, w, std::min(kWord, size - w), c);
        const std::uint64_t valid = bits_from(start > w ? start - w : 0) & ~bits_from(end - w);
        const std::uint64_t ups = ((f.not_positive << 1) | carry_not_positive) & f.positive & valid;
        const std::uint64_t downs = ((f.not_negative << 1) | carry_not_negative) & f.negative & valid;
        carry_not_positive = f.not_positive >> (kWord - 1);
        carry_not_negative = f.not_negative >> (kWord - 1);
        const std::uint64_t base = first + w;
        for (std::size_t from_bit = 0;;) {
            const std::uint64_t flips = (t.level < 0 ? f.above : f.below) & valid & bits_from(from_bit);
            if (flips == 0) break;
            const auto k = static_cast<std::size_t>(std::countr_zero(flips));
            const std::uint64_t crossings = (t.level < 0 ? ups : downs) & bits_through(k);
            const std::uint64_t crossed = crossings != 0 ? base + highest(crossings) : (t.level < 0 ? t.up : t.down);
            const std::uint64_t g = base + k;
            edges.push_back(static_cast<std::int32_t>(std::min(std::max(crossed, t.last_flip + 1), g)));
            t.level = static_cast<std::int8_t>(-t.level);
            t.last_flip = g;
            from_bit = k + 1;
        }
        if (ups != 0) t.up = base + highest(ups);
        if (downs != 0) t.down = base + highest(downs);
    }
}

}  // namespace kvr
