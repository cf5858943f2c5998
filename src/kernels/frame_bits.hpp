// Six facts about each frame of a word of 64 frames, one bit each, for the level decision,
// in each of its forms; all give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/blocks.hpp"
#include "kernels/x86.hpp"

namespace kvr::kernels {

inline constexpr std::size_t kWordFrames = 64;  // frames per mask word

struct FrameBits {
    std::uint64_t positive = 0, negative = 0;          // z > 0, z < 0
    std::uint64_t not_positive = 0, not_negative = 0;  // z <= 0, z >= 0 (a NaN is neither)
    std::uint64_t above = 0, below = 0;                // z > threshold, z < -threshold, outside quiet blocks
};

// The bits of frames z[0, count), count at most kWordFrames, z the first frame of a block;
// threshold[b] and quiet[b] are those of the word's block b. The bits past `count` are clear.
namespace plain {
FrameBits frame_bits(const float* z, std::size_t count, const float* threshold, const std::uint8_t* quiet);
}  // namespace plain

#if defined(KVR_X86_KERNELS)
namespace sse2 {
FrameBits frame_bits(const float* z, std::size_t count, const float* threshold, const std::uint8_t* quiet);
}  // namespace sse2
namespace avx2 {
FrameBits frame_bits(const float* z, std::size_t count, const float* threshold, const std::uint8_t* quiet);
}  // namespace avx2

namespace avx512 {
FrameBits frame_bits(const float* z, std::size_t count, const float* threshold, const std::uint8_t* quiet);
}  // namespace avx512
#endif

}  // namespace kvr::kernels
