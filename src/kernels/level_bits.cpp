#include "kernels/level_bits.hpp"

#include <algorithm>

#if defined(KVR_X86_KERNELS)
#include <immintrin.h>
#endif

namespace kvr::kernels {

namespace {

constexpr std::size_t kWord = 64;

std::size_t frame_bytes(LevelLayout layout) {
    switch (layout) {
    case LevelLayout::stereo16: return 4;
    case LevelLayout::mono16: return 2;
    case LevelLayout::mono8: break;
    }
    return 1;
}

// One word of levels for up to 64 frames, taking each frame's level from `low_of`.
template <class LowOf>
std::uint64_t word_of(std::size_t count, LowOf low_of) {
    std::uint64_t w = 0;
    for (std::size_t j = 0; j < count; ++j) w |= std::uint64_t{low_of(j)} << j;
    return w;
}

std::int32_t sample16(const std::uint8_t* p) { return static_cast<std::int16_t>(p[0] | (p[1] << 8)); }

}  // namespace

namespace plain {

void low_bits(LevelLayout layout, const std::uint8_t* src, std::size_t frames, std::uint64_t* words) {
    const std::size_t step = kWord * frame_bytes(layout);
    for (std::size_t k = 0; k * kWord < frames; ++k) {
        const std::size_t count = std::min(kWord, frames - k * kWord);
        const std::uint8_t* p = src + k * step;
        switch (layout) {
        case LevelLayout::stereo16:
            words[k] = word_of(count, [p](std::size_t j) { return sample16(p + 4 * j) + sample16(p + 4 * j + 2) < 0; });
            break;
        case LevelLayout::mono16: words[k] = word_of(count, [p](std::size_t j) { return (p[2 * j + 1] & 0x80) != 0; }); break;
        case LevelLayout::mono8: words[k] = word_of(count, [p](std::size_t j) { return (p[j] & 0x80) == 0; }); break;
        }
    }
}

}  // namespace plain

#if defined(KVR_X86_KERNELS)

namespace avx2 {

namespace {

// Sixteen-bit stereo, eight frames to a load: each pair of channels summed in one step.
__attribute__((target("avx2"))) std::uint64_t word_16s(const std::uint8_t* p) {
    const __m256i ones = _mm256_set1_epi16(1);
    std::uint64_t w = 0;
    for (int i = 0; i < 8; ++i) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
        const __m256i sums = _mm256_madd_epi16(v, ones);
        w |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(sums)))} << (8 * i);
    }
    return w;
}

// Sixteen-bit mono: the sign bits of 32 samples gathered by packing them to bytes.
__attribute__((target("avx2"))) std::uint64_t word_16m(const std::uint8_t* p) {
    std::uint64_t w = 0;
    for (int i = 0; i < 2; ++i) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64 * i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64 * i + 32));
        // Packing works within each half of the register; the permute puts the halves in order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), 0xD8);
        w |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(packed))} << (32 * i);
    }
    return w;
}

__attribute__((target("avx2"))) std::uint64_t word_8m(const std::uint8_t* p) {
    const auto lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
    const auto hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))));
    return ~(std::uint64_t{lo} | std::uint64_t{hi} << 32);
}

}  // namespace

// The whole words wide, the rest plainly.
void low_bits(LevelLayout layout, const std::uint8_t* src, std::size_t frames, std::uint64_t* words) {
    std::uint64_t (*word)(const std::uint8_t*) = word_8m;
    if (layout == LevelLayout::stereo16) word = word_16s;
    else if (layout == LevelLayout::mono16) word = word_16m;
    const std::size_t whole = frames / kWord, step = kWord * frame_bytes(layout);
    for (std::size_t k = 0; k < whole; ++k) words[k] = word(src + k * step);
    plain::low_bits(layout, src + whole * step, frames - whole * kWord, words + whole);
}

}  // namespace avx2

#endif

}  // namespace kvr::kernels
