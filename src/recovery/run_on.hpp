// A block that runs on past the length its header announced: the pause after it held noise,
// read as more bits. The machine loads the announced bytes and checks them alone, so a block
// whose announced bytes check out is read whole, and what came after them was never data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "conversion/found_tape.hpp"

namespace kvr {

// At most this many bytes past the announced length are taken for noise. A reading longer
// than that has gone wrong otherwise (a lost end, a slip), and is left to the other readings.
inline constexpr std::size_t kMostRunOnBytes = 4;

// The block cut to the `announced` bytes, where it is longer, does not check out as read and
// does so cut; none otherwise (also where its loader holds none of its blocks to a length).
std::optional<DecodedBlock> without_run_on(const DecodedBlock& block, std::int32_t announced);

}  // namespace kvr
