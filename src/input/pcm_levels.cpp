#include "input/pcm_levels.hpp"

#include <algorithm>
#include <bit>
#include <optional>

#include "kernels/kernels.hpp"

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

// The layouts people record in have kernels of their own; every other converts its samples.
std::optional<kernels::LevelLayout> layout_of(const PcmFormat& f) {
    if (f.is_float) return std::nullopt;
    if (f.bits == 16 && f.channels == 2) return kernels::LevelLayout::stereo16;
    if (f.bits == 16 && f.channels == 1) return kernels::LevelLayout::mono16;
    if (f.bits == 8 && f.channels == 1) return kernels::LevelLayout::mono8;
    return std::nullopt;
}

}  // namespace

void pcm_low_bits(const std::uint8_t* src, std::size_t frames, const PcmFormat& format, std::uint64_t* words) {
    if (const std::optional<kernels::LevelLayout> layout = layout_of(format))
        return kernels::low_bits(*layout, src, frames, words);
    for (std::size_t k = 0; k * kWord < frames; ++k) {
        const std::size_t count = std::min(kWord, frames - k * kWord);
        std::int8_t samples[kWord];
        convert_pcm_samples(src + k * kWord * format.frame_bytes(), samples, count, format);
        words[k] = word_of(count, [&samples](std::size_t j) { return samples[j] < 0; });
    }
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
