// 16-bit PCM frames as the file holds them (two bytes per sample, little-endian, the
// channels interleaved), in each of their kernels' forms: the channels apart as floats, the
// exact integer sums the judging takes, and the channels combined into one signal. Every
// form gives the same values to the last bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/x86.hpp"

namespace kvr::kernels {

// At most this many frames are summed at once: a channel's sum, and any sample times the
// count, stay within 32 bits, and every other sum within 64.
inline constexpr std::size_t kMaxPcm16Frames = std::size_t{1} << 15;

// Sums over n frames of two channels, in sample units.
struct StereoSums {
    std::int64_t sum[2] = {}, squares[2] = {}, cross = 0;
    // Over the samples above their channel's mean (n * sample > sum): their sum and count.
    std::int64_t sum_above[2] = {}, count_above[2] = {};
};

namespace plain {

// Two channels of `count` frames apart, each sample at full scale 1 (divided by 32768).
void convert_stereo16(const std::uint8_t* frames, std::size_t count, float* left, float* right);
// The sums of n <= kMaxPcm16Frames stereo frames; those over the samples above the mean
// take a second pass, once the sums are known, and only some judgments need them.
StereoSums stereo16_sums(const std::uint8_t* frames, std::size_t n);
void add_sums_above(const std::uint8_t* frames, std::size_t n, StereoSums& sums);
// dest[i] = weight[0] * first sample of frame i, plus weight[1] * its second sample when
// `channels` is 2, each sample at full scale 1. A weight of zero leaves its channel out.
// channels: 1 or 2.
void combine16(const std::uint8_t* frames, std::size_t channels, std::size_t n, const float* weight, float* dest);

}  // namespace plain

#if defined(KVR_X86_KERNELS)
namespace sse2 {
void convert_stereo16(const std::uint8_t* frames, std::size_t count, float* left, float* right);
}  // namespace sse2

namespace avx2 {
StereoSums stereo16_sums(const std::uint8_t* frames, std::size_t n);
void add_sums_above(const std::uint8_t* frames, std::size_t n, StereoSums& sums);
void combine16(const std::uint8_t* frames, std::size_t channels, std::size_t n, const float* weight, float* dest);
}  // namespace avx2
#endif

}  // namespace kvr::kernels
