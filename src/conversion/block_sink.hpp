// Where decoded blocks go: a KVR image or a TAP file. The driver hands each block over in
// the same steps for both; a sink writes what its format keeps, when it can.
#pragma once

#include <cstddef>

#include "loaders/decoded_block.hpp"

namespace kvr {

class BlockSink {
public:
    virtual ~BlockSink() = default;
    // When the conversion starts.
    virtual void start() {}
    // Right after decoding: the blocks in front of the data.
    virtual void lead_in(const DecodedBlock&) {}
    // Right after decoding, after its report line: a sub-block but the last.
    virtual void subblock(const DecodedBlock& block, std::size_t i) = 0;
    // Right after decoding: a block whose data waits.
    virtual void take(DecodedBlock&& block) = 0;
    // When the pause after the waiting block is known: the next pilot, or the end.
    virtual void release(float pause) = 0;
    // Signal kept as it was recorded, between the blocks or beside a bad one: its pulses, the
    // silences after them and the groups around them, each put in at once.
    virtual void kept(const image::Piece&) {}
    virtual void kept_group_end() {}
};

}  // namespace kvr
