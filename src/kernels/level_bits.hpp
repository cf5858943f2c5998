// The levels of PCM frames in the layouts people record in, taken straight from the file's
// bytes, 64 frames to a word, in each of their forms; all give the same bits. A frame is low
// when its converted sample is negative.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/x86.hpp"

namespace kvr::kernels {

enum class LevelLayout {
    stereo16,  // two 16-bit channels: low when their sum is negative (as the floor of their mean is)
    mono16,    // one 16-bit channel: low when its top bit is set
    mono8,     // one unsigned 8-bit channel: low below 128, where its top bit is clear
};

// Bit j of words[k] is set when frame 64k + j of `frames` is low; the bits past the last
// frame are left clear.
namespace plain {
void low_bits(LevelLayout layout, const std::uint8_t* src, std::size_t frames, std::uint64_t* words);
}  // namespace plain

#if defined(KVR_X86_KERNELS)
namespace avx2 {
void low_bits(LevelLayout layout, const std::uint8_t* src, std::size_t frames, std::uint64_t* words);
}  // namespace avx2
#endif

}  // namespace kvr::kernels
