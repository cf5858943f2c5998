// The output file and the writers that put KVR blocks and TAP records into it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kvr {

struct Context;

// One buffered, strictly sequential writer. A file is written under a temporary name
// beside its target and renamed into place by finish(), so a failed conversion never
// leaves a half-written image and never destroys an existing one.
class ImageWriter {
public:
    ImageWriter() = default;
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;
    ~ImageWriter();

    bool open_file(const std::string& name);  // false when the file cannot be created
    void open_memory();                       // keeps every byte in memory (tests)
    bool is_open() const { return in_memory_ || fd_ >= 0; }

    void put(const void* bytes, std::size_t n);
    void put_byte(std::uint8_t value) { put(&value, 1); }

    // Flushes, closes and renames into place; false when any write failed.
    bool finish();
    // Drops whatever was written.
    void abandon();

    const std::vector<std::uint8_t>& memory() const { return memory_; }

    // Set while BleepLoad pilot-only markers have been skipped since the last real block.
    bool bleep_pilot_reset = false;

private:
    void flush_buffer();

    int fd_ = -1;
    bool in_memory_ = false;
    bool failed_ = false;
    std::string temp_name_;
    std::string final_name_;
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> memory_;
};

void write_header(Context& cx);
void write_pending_block(Context& cx);
void write_pure_data(Context& cx, const std::uint8_t* data, std::int32_t length, bool trailer);
void write_group_end(Context& cx);
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
