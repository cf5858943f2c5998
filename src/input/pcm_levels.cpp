#include "input/pcm_levels.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/wide.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KVR_WIDE_LEVELS 1
#endif

namespace kvr {

namespace {

constexpr std::size_t kWord = 64;

// One word of levels for up to 64 frames, taking each frame's level from `low_of`.
template <class LowOf>
std::uint64_t word_of(std::size_t count, LowOf low_of) {
    std::uint64_t w = 0;
    for (std::size_t j = 0; j < count; ++j) w |= std::uint64_t{low_of(j)} << j;
    return w;
}

// The layouts people record in, frame by frame. The sum of two 16-bit channels is negative
// exactly when the floor of their mean is, and so is its top byte: the level needs no division.
void plain_bits(const std::uint8_t* src, std::size_t frames, const PcmFormat& f, std::uint64_t* words) {
    const bool integer = !f.is_float;
    for (std::size_t k = 0; k * kWord < frames; ++k) {
        const std::size_t count = std::min(kWord, frames - k * kWord);
        const std::uint8_t* p = src + k * kWord * f.frame_bytes();
        if (integer && f.bits == 16 && f.channels == 2) {
            words[k] = word_of(count, [p](std::size_t j) { return pcm16_sample(p + 4 * j) + pcm16_sample(p + 4 * j + 2) < 0; });
        } else if (integer && f.bits == 16 && f.channels == 1) {
            words[k] = word_of(count, [p](std::size_t j) { return (p[2 * j + 1] & 0x80) != 0; });
        } else if (integer && f.bits == 8 && f.channels == 1) {
            words[k] = word_of(count, [p](std::size_t j) { return (p[j] & 0x80) == 0; });
        } else {
            std::int8_t samples[kWord];
            convert_pcm_samples(p, samples, count, f);
            words[k] = word_of(count, [&samples](std::size_t j) { return samples[j] < 0; });
        }
    }
}

#if defined(KVR_WIDE_LEVELS)

// Sixteen-bit stereo, eight frames to a load: each pair of channels summed in one step.
__attribute__((target("avx2"))) std::uint64_t wide_word_16s(const std::uint8_t* p) {
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
__attribute__((target("avx2"))) std::uint64_t wide_word_16m(const std::uint8_t* p) {
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

// Eight-bit mono: unsigned samples are low below 128, where the top bit is clear.
__attribute__((target("avx2"))) std::uint64_t wide_word_8m(const std::uint8_t* p) {
    const auto lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
    const auto hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))));
    return ~(std::uint64_t{lo} | std::uint64_t{hi} << 32);
}

// The whole words of the layouts above; returns how many frames it did (a multiple of 64),
// leaving the rest for the plain loop.
std::size_t wide_bits(const std::uint8_t* src, std::size_t frames, const PcmFormat& f, std::uint64_t* words) {
    if (f.is_float || !wide::available()) return 0;
    std::uint64_t (*word)(const std::uint8_t*) = nullptr;
    if (f.bits == 16 && f.channels == 2) word = wide_word_16s;
    else if (f.bits == 16 && f.channels == 1) word = wide_word_16m;
    else if (f.bits == 8 && f.channels == 1) word = wide_word_8m;
    if (word == nullptr) return 0;
    const std::size_t whole = frames / kWord, step = kWord * f.frame_bytes();
    for (std::size_t k = 0; k < whole; ++k) words[k] = word(src + k * step);
    return whole * kWord;
}

#else

std::size_t wide_bits(const std::uint8_t*, std::size_t, const PcmFormat&, std::uint64_t*) { return 0; }

#endif

}  // namespace

void pcm_low_bits(const std::uint8_t* src, std::size_t frames, const PcmFormat& format, std::uint64_t* words) {
    const std::size_t done = wide_bits(src, frames, format, words);
    plain_bits(src + done * format.frame_bytes(), frames - done, format, words + done / kWord);
}

std::int32_t* edges_from_bits(const std::uint64_t* words, std::size_t n, std::int64_t base, bool& low,
                              std::int32_t* out) {
    std::uint64_t before = low ? 1 : 0;  // the level before each word's first frame
    for (std::size_t k = 0; k * kWord < n; ++k) {
        const std::size_t count = std::min(kWord, n - k * kWord);
        const std::uint64_t w = words[k];
        std::uint64_t changes = w ^ (w << 1 | before);
        if (count < kWord) changes &= (std::uint64_t{1} << count) - 1;
        const auto at = static_cast<std::int32_t>(base + static_cast<std::int64_t>(k * kWord));
        while (changes != 0) {
            *out++ = at + std::countr_zero(changes);
            changes &= changes - 1;
        }
        before = w >> (count - 1) & 1;
    }
    low = before != 0;
    return out;
}

}  // namespace kvr
