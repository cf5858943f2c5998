// The kernels: the loops that run over every frame, each with a plain form and one or two
// wide ones beside it in its family's file (blocks, lanes, frame_bits, pcm16, level_bits).
// Each entry here takes the widest form the processor has and core/wide allows; every form
// gives what the plain one gives (a test holds each to it), so the choice changes nothing
// but the time taken.
#pragma once

#include "kernels/blocks.hpp"
#include "kernels/frame_bits.hpp"
#include "kernels/lanes.hpp"
#include "kernels/level_bits.hpp"
#include "kernels/pcm16.hpp"

namespace kvr::kernels {

// Blocks of kBlockFrames frames (blocks.hpp).
void block_extremes(const float* x, std::size_t n, float* top, float* bottom);
void remove_baseline(float* x, std::size_t n, const float* edge_base, float* magnitude);
void smooth_pass(float* x, std::size_t n);

// Two channels' sums in lanes (lanes.hpp).
LaneSums lane_sums(const float* a, const float* b, std::size_t n);
LaneDeviations lane_deviations(const float* a, double mean_a, const float* b, double mean_b, std::size_t n);

// A word of the level decision's facts (frame_bits.hpp): the form to take, asked once by a
// loop that asks for word after word.
using FrameBitsForm = FrameBits (*)(const float*, std::size_t, const float*, const std::uint8_t*);
FrameBitsForm frame_bits_form();

// 16-bit PCM frames (pcm16.hpp).
void convert_stereo16(const std::uint8_t* frames, std::size_t count, float* left, float* right);
StereoSums stereo16_sums(const std::uint8_t* frames, std::size_t n);
void add_sums_above(const std::uint8_t* frames, std::size_t n, StereoSums& sums);
void combine16(const std::uint8_t* frames, std::size_t channels, std::size_t n, const float* weight, float* dest);

// The levels of PCM frames (level_bits.hpp).
void low_bits(LevelLayout layout, const std::uint8_t* src, std::size_t frames, std::uint64_t* words);

}  // namespace kvr::kernels
