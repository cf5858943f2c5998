// The TAP file: each block's bytes as a record, a two-byte little-endian length before them.
// A TAP file keeps no timings: read back, a record plays with the ROM loader's and a pause
// of a second after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kvr::tap {

inline constexpr std::size_t kLengthSize = 2;
inline constexpr std::size_t kMostBytes = 0xFFFF;  // what the length holds
inline constexpr std::int32_t kPauseMs = 1000;

// The length of the record whose length field is at p.
inline std::size_t record_length(const std::uint8_t* p) { return std::size_t{p[0]} | (std::size_t{p[1]} << 8); }
// Appends a record of `bytes` (at most kMostBytes).
void put_record(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes);

}  // namespace kvr::tap
