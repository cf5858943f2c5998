// A block's least certain bits, for the page: where the demodulator read the block, the bits
// of that reading; where the block still fails, those of the demodulator's failing reading
// kept beside it. A block read from the classic levels alone has none.
#pragma once

#include <cstddef>

#include "conversion/found_tape.hpp"
#include "report_page/tape_facts.hpp"

namespace kvr {

// The page lists this many bits a block at most.
inline constexpr std::size_t kWeakBitsShown = 8;

// The `most` least certain bits of the block's reading, least certain first.
WeakBits weakest_bits(const FoundBlock& found, std::size_t most = kWeakBitsShown);

}  // namespace kvr
