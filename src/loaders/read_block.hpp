// Reading one block: the one pass that every conversion and every retry runs. The loader
// searches the edges for its pilot, steps over what lies between the pilot and the data,
// and decodes the block; the reading gives back what it found and where it stopped.
#pragma once

#include <cstdint>
#include <span>

#include "analysis/edge_view.hpp"
#include "analysis/hp_cursor.hpp"
#include "loaders/loader.hpp"

namespace kvr {

// Where a reading begins, in samples of the whole recording.
struct ReadStart {
    CursorState at;                   // the cursor before the pilot search
    std::int32_t index = 0;           // the block's number in the run
    std::int32_t last_block_end = 0;  // where the block before it ended
};

struct BlockReading {
    PilotResult pilot;            // found: a pilot long enough for a block (start in samples of the whole recording)
    std::int32_t data_start = 0;  // where the step after the pilot left the cursor
    DecodedBlock block;           // counted when a block was read; its end in samples of the whole recording
    CursorState next;             // where the next reading starts
};

// Reads the block with the start's index from the view. The search for its pilot is tried
// again, a sample on where it gave nothing, until a pilot is found or the search has passed
// `search_until`; by default it is tried once. `state` is the loader's, taken and left as
// the reading leaves it. `buffer` (kBlockDataSize bytes) holds the bytes read: a read keeps
// what an earlier read left where it does not reach, as the block buffer of a conversion does.
BlockReading read_block(const LoaderDescriptor& loader, const EdgeView& edges, const ReadStart& start,
                        const Settings& settings, LoaderState& state, std::span<std::uint8_t> buffer,
                        std::int32_t search_until = INT32_MIN);

}  // namespace kvr
