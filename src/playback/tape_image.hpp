// Reading KVR images and TAP files back into blocks, for listing and playback.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kvr {

// One block of an image. A TAP record becomes a standard speed data block with a
// pause of 1000 ms.
struct TapeBlock {
    std::uint8_t id = 0;
    std::size_t offset = 0;  // where the block starts in the file
    std::int32_t pilot_pulse = 0, sync1 = 0, sync2 = 0, bit0 = 0, bit1 = 0;
    std::int32_t pilot_count = 0, used_bits = 8, pause_ms = 0;
    std::int32_t tone_pulse = 0, tone_count = 0;
    std::vector<std::uint16_t> pulses;
    std::string name;
    std::vector<std::uint8_t> data;
};

struct TapeImage {
    bool is_tap = false;
    std::vector<TapeBlock> blocks;
};

// Parses a KVR image, or a TAP file when `tap` is set. On failure returns false and
// names the offset of the fault in `error`.
bool parse_tape_image(std::span<const std::uint8_t> file, bool tap, TapeImage& image, std::string& error);
bool looks_like_kvr(std::span<const std::uint8_t> file);

// The ROM loader's timings for a standard speed data block.
void apply_rom_timings(TapeBlock& block);

// One line per block: its kind, its fields, the checksum state and the time it starts.
std::string list_tape_image(const TapeImage& image);

// The length of a block when played, in T-states (pauses included).
double block_tstates(const TapeBlock& block);

}  // namespace kvr
