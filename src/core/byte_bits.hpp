// The bits of a block's bytes in the order a tape carries them: the first byte's top bit first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kvr {

// Bit k of the bytes (0 or 1), counted from the first byte's top bit.
inline int bit_of(std::span<const std::uint8_t> bytes, std::size_t k) { return (bytes[k / 8] >> (7 - k % 8)) & 1; }

// `count` bytes of bits held one in each element, from bits[first] on; bits before the first
// one (where `first` is negative) are 0. The bits must reach as far as the bytes do.
inline std::vector<std::uint8_t> packed_bits(std::span<const std::uint8_t> bits, std::ptrdiff_t first, std::size_t count) {
    std::vector<std::uint8_t> out(count, 0);
    for (std::size_t i = 0; i < count * 8; ++i) {
        const std::ptrdiff_t k = first + static_cast<std::ptrdiff_t>(i);
        if (k >= 0 && bits[static_cast<std::size_t>(k)]) out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (0x80 >> (i % 8)));
    }
    return out;
}

}  // namespace kvr
