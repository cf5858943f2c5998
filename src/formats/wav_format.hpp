// RIFF/WAVE: the identifiers and format tags that the reader and the encoder share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvr::wav {

inline constexpr char kRiff[] = "RIFF";
inline constexpr char kWave[] = "WAVE";
inline constexpr char kFormatChunk[] = "fmt ";
inline constexpr char kDataChunk[] = "data";
inline constexpr std::size_t kIdSize = 4;

inline constexpr std::uint32_t kTagPcm = 1;
inline constexpr std::uint32_t kTagFloat = 3;
inline constexpr std::uint32_t kTagExtensible = 0xFFFE;

}  // namespace kvr::wav
