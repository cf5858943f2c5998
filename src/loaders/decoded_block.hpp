// What a decoder gives back: the block's data and timings, the blocks it puts in front of
// its data, its sub-blocks, and the fields of its report lines.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <variant>
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

// The report line of each kind of block.
struct RomLine {
    char flag_letter = ' ';  // ' ' for ROM timings within the tolerance, '*' for a turbo block
    std::array<std::uint8_t, 12> head{};  // the first bytes in the buffer: flag, type, name
    std::int32_t pilot_pulse = 0, pilot_count = 0, sync1 = 0, sync2 = 0, bit0 = 0, bit1 = 0;
    std::int32_t used_bits = 0, length = 0;
    char check = '-';
};
struct Speedlock1Line {
    std::int32_t number = 0;
    std::array<char, 7> flags{};
    std::int32_t used_bits = 0, length = 0;
    char check = '-';
};
struct SpeedlockBlock1Line {
    std::int32_t type = 0, used_bits = 0, length = 0;
    char check = '-';
    std::optional<double> noise_seconds;  // the simulated noise that replaces the stretch before it
};
struct SpeedlockBlock2Line {
    std::int32_t type = 0, used_bits = 0, total = 0;
    char check = '-';
};
struct DigitalIntegrationLine {
    std::int32_t number = 0, bit0 = 0, bit1 = 0, used_bits = 0, length = 0;
};
using BlockLine =
    std::variant<std::monostate, RomLine, Speedlock1Line, SpeedlockBlock1Line, SpeedlockBlock2Line, DigitalIntegrationLine>;

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

    BlockLine line;
};

}  // namespace kvr
