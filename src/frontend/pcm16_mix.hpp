// The channels of 16-bit PCM frames judged and combined straight from the file's bytes:
// most recordings are 16-bit, and converting every sample to a float of its own first
// costs as much as the judging itself. The sums are exact integers; the signal combined
// is, value for value, what combining the converted channels gives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvr {

// At most this many frames are summed at once: a channel's sum, and any sample times the
// count, stay within 32 bits, and every other sum within 64.
inline constexpr std::size_t kMaxPcm16Frames = std::size_t{1} << 15;

// Sums over n frames of two interleaved little-endian 16-bit channels, in sample units.
struct StereoSums {
    std::int64_t sum[2] = {}, squares[2] = {}, cross = 0;
    // Over the samples above their channel's mean (n * sample > sum): their sum and count.
    std::int64_t sum_above[2] = {}, count_above[2] = {};
};

// frames: n <= kMaxPcm16Frames stereo frames (four bytes each). The sums over the samples
// above the mean take a second pass, once the sums are known, and only some judgments
// need them.
StereoSums stereo16_sums(const std::uint8_t* frames, std::size_t n);
void add_sums_above(const std::uint8_t* frames, std::size_t n, StereoSums& sums);

// dest[i] = weight[0] * first sample of frame i, plus weight[1] * its second sample when
// `channels` is 2, each sample at full scale 1 (divided by 32768). A weight of zero leaves
// its channel out. channels: 1 or 2.
void combine16(const std::uint8_t* frames, std::size_t channels, std::size_t n, const float* weight, float* dest);

}  // namespace kvr
