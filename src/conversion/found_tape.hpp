// What one reading of a recording found, in the order of the recording: every pilot long
// enough for a block, and the block read after it when there was one. A reading is written
// as it comes (kelvarin), or gathered whole, mended and then written (kvrtool convert).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loaders/decoded_block.hpp"

namespace kvr {

// What a retry made of the block it was asked about.
struct RetryOutcome {
    bool retried = false;                  // the first reading did not check out
    const char* recovered_with = nullptr;  // the reading that replaced it, or null
};

// Where a block lies in the recording, in samples, and how it was read.
struct BlockSeen {
    std::int32_t pilot_start = 0;  // the first sample of its pilot (or leader)
    std::int32_t data_start = 0;   // where the step after the pilot left the cursor
    std::int32_t end = 0;          // where the search for the next block starts
    RetryOutcome retry;
    // The log-likelihood ratio of its least certain bit, for a block the demodulator read.
    std::optional<float> weakest_bit;
};

struct FoundBlock {
    DecodedBlock block;  // counted: a block was read
    BlockSeen seen;
    // How sure the reading was of each bit of its data, where the demodulator read it (the
    // log-likelihood ratio of each decision, in the order of the bits); empty otherwise.
    std::vector<float> confidence;
    // The demodulator's reading of a block that still fails its checksum, where it read as
    // many bytes as the block should have: the image keeps the block's own bytes, a vote
    // among several recordings of the tape weighs these.
    struct SoftReading {
        // Its bytes, and after them the bits it read past its last whole byte, if any (the
        // last byte then holds fewer than 8 of them, from its top bit).
        std::vector<std::uint8_t> bytes;
        std::vector<float> confidence;  // as above, of each bit it read: as many as it holds
    };
    std::optional<SoftReading> soft;
    // Lines the report prints after the block's own line (kvrtool's notes on it).
    std::vector<std::string> notes;
    // Where a tape put together of several recordings took the block from.
    struct Source {
        std::string recording;  // its name
        double seconds = 0.0;   // the start of the block's pilot there
        std::string how;        // "NAME", or how several readings made it ("voted from A, B")
    };
    std::optional<Source> source;
};

struct FoundPilot {
    std::int32_t start = 0;     // the first sample of the pilot
    bool gap_replaced = false;  // the pause before it counts as 0 (its loader says so)
    // The pause before it in seconds, where it was measured in another recording than the
    // one its position is of (a tape put together of several); otherwise measured from `start`.
    std::optional<float> pause_before;
    std::optional<FoundBlock> block;
};

using FoundTape = std::vector<FoundPilot>;

}  // namespace kvr
