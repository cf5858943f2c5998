// Mending a block at its least confident bits. A block's bytes end in the exclusive-or of
// the others, so when they do not check out, the exclusive-or of them all tells at which bit
// places of the bytes an odd number of bits is wrong. A bit is changed only where the
// demodulator's decision was weak and clearly the weakest of its place: a block whose bits
// are all confident is never changed, for tapes hold blocks whose checksum is wrong on purpose.
// Bits change only in neighbouring pairs of unlike values (a 1 0 read as 0 1), the one error
// that keeps the length of the bits, and so the place of every bit after them, as the signal had it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "demod/bits.hpp"

namespace kvr {

// The bits (by their number in the data) to change so that `bytes`, read from `data`'s bits,
// check out; empty when there is no such mend.
std::vector<std::size_t> bits_to_mend(const std::vector<std::uint8_t>& bytes, const demod::DataReading& data);

// Changes bit k of the data, and moves the bits after it by what its length changed.
void change_bit(demod::DataReading& data, std::size_t k);

}  // namespace kvr
