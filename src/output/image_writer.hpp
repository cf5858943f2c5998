// The output file: a KVR image or a TAP file, written strictly in sequence.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kvr {

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

}  // namespace kvr
