// What a decoder gives back: the block's data and timings, the blocks it puts in front of
// its data, its sub-blocks, and the fields of its report lines.
#pragma once

#include <any>
#include <array>
#include <cstdint>
#include <vector>

#include "formats/kvr_image.hpp"

namespace kvr {

struct LoaderDescriptor;

// The timings of a block in T-states, as its image block carries them.
struct BlockTimings {
    std::int32_t pilot_pulse = 0;
    std::int32_t pilot_count = 0;
    std::int32_t sync1 = 0;
    std::int32_t sync2 = 0;
    std::int32_t bit0 = 0;
    std::int32_t bit1 = 0;
};

// One sub-block of a block read in pieces. All but the last are written at once, each as
// pure data followed by the trailer; the last is the block's own data.
struct SubBlock {
    std::int32_t number = 0;       // as the report counts them, across the whole run
    std::size_t offset = 0;        // in DecodedBlock::subblock_bytes (all but the last)
    std::int32_t length = 0;
    std::int32_t used_bits = 8;
};

struct DecodedBlock {
    bool counted = false;  // a block was read: it is reported and counted
    bool waits = false;    // its data waits to be written (not after a read without bits)
    std::int32_t index = 0;  // its number in the run, from 0
    std::int32_t end = 0;    // the sample where the next search starts
    const LoaderDescriptor* loader = nullptr;

    // The data written one step late, when its pause is known.
    std::vector<std::uint8_t> data;
    std::int32_t last_byte_bits = 0;
    std::uint8_t flag_byte = 0;  // byte 0 of the buffer, which a block of no bytes still shows
    BlockTimings timings;
    struct Tone {
        std::int32_t pulse = 0;  // T-states
        std::int32_t count = 0;
    };
    Tone first_tone;  // the first of two pilot tones

    // Written at once: the blocks in front of the data, then the sub-blocks but the last.
    std::vector<image::Piece> lead_in;
    std::vector<SubBlock> subblocks;
    std::vector<std::uint8_t> subblock_bytes;

    // The fields of its report line, of a type of its loader's own, which only that loader
    // reads (through its descriptor).
    std::any line;
};

}  // namespace kvr
