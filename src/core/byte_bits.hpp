// The bits of a block's bytes in the order a tape carries them: the first byte's top bit first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kvr {

// Bit k of the bytes (0 or 1), counted from the first byte's top bit.
inline int bit_of(std::span<const std::uint8_t> bytes, std::size_t k) { return (bytes[k / 8] >> (7 - k % 8)) & 1; }

}  // namespace kvr
