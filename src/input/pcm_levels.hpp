// The levels of PCM frames straight from the file's bytes, 64 frames to a word, and the
// edges between them. Reading a long recording is mostly this: a frame's level is the sign
// of its converted sample, which the common layouts give without converting it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/readers.hpp"

namespace kvr {

// Bit j of words[k] is set when frame 64k + j is low (its converted sample negative); the
// bits past the last frame are left clear.
void pcm_low_bits(const std::uint8_t* src, std::size_t frames, const PcmFormat& format, std::uint64_t* words);

// Writes to `out` the position (from `base`) of every frame of the n whose level differs from
// the one before it, and returns the end of what it wrote; `out` needs room for n. `low` is
// the level before the first frame, and afterwards the level of the last.
std::int32_t* edges_from_bits(const std::uint64_t* words, std::size_t n, std::int64_t base, bool& low,
                              std::int32_t* out);

}  // namespace kvr
