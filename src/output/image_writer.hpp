// The output file and the writers that put KVR blocks and TAP records into it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "output/safe_output.hpp"

namespace kvr {

struct Context;

// The image's bytes, in order: into an output file written safely (see OutputFile), so a
// failed conversion never leaves a half-written image and never destroys an existing one, or
// kept in memory.
class ImageWriter {
public:
    bool open_file(const std::string& name);  // false when the file cannot be created
    void open_memory();                       // keeps every byte in memory (tests)
    bool is_open() const { return in_memory_ || file_.is_open(); }

    void put(const void* bytes, std::size_t n);
    void put_byte(std::uint8_t value) { put(&value, 1); }

    // Puts the file in place; false when any write failed.
    bool finish();
    // Drops whatever was written: no file is created, an existing one is left as it was.
    void abandon();

    const std::vector<std::uint8_t>& memory() const { return memory_; }

    // Set while BleepLoad pilot-only markers have been skipped since the last real block.
    bool bleep_pilot_reset = false;

private:
    OutputFile file_;
    bool in_memory_ = false;
    std::vector<std::uint8_t> memory_;
};

// A value for a 16-bit field: wider values become 65535 and negative ones 0.
std::uint16_t field16(std::int64_t value);
std::int32_t pause_ms(float pause_seconds);

void write_header(Context& cx);
void write_pending_block(Context& cx);
void write_pure_data(Context& cx, const std::uint8_t* data, std::int32_t length, bool trailer);
void write_group_end(Context& cx);
void write_word(Context& cx, std::int64_t value);
void write_leader_segments(Context& cx);
void write_group_start(Context& cx, const char* name);
void write_pure_tone(Context& cx, std::int64_t pulse, std::int64_t count);
void write_pulse_sequence(Context& cx, std::span<const std::uint16_t> pulses);
void write_pause_block(Context& cx, std::int32_t ms);

void write_tap_record(Context& cx);
// One TAP record; a record of 0 bytes is not written, and one too long for its length
// field is left out with a warning that names the block (counted from 1).
void write_tap_bytes(Context& cx, const std::uint8_t* data, std::int32_t length, std::int32_t block_number);

}  // namespace kvr
