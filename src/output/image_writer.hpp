// The output file: a KVR image or a TAP file, written strictly in sequence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output/safe_output.hpp"

namespace kvr {

// The image's bytes, in order: into an output file written safely (see OutputFile), so a
// failed conversion never leaves a half-written image and never destroys an existing one, or
// kept in memory.
class ImageWriter {
public:
    bool open_file(const std::string& name);  // false when the file cannot be created
    // Why the last open_file() failed, or empty.
    const std::string& open_error() const { return file_.reason(); }
    void open_memory();                       // keeps every byte in memory (tests)
    bool is_open() const { return in_memory_ || file_.is_open(); }
    // Written under a temporary name until finish(): abandoning it leaves nothing to see.
    bool writes_aside() const { return file_.way() == OutputFile::Way::replace; }

    void put(const void* bytes, std::size_t n);
    void put_byte(std::uint8_t value) { put(&value, 1); }

    // Puts the file in place; false when any write failed.
    bool finish();
    // Drops whatever was written: no file is created, an existing one is left as it was.
    void abandon();

    const std::vector<std::uint8_t>& memory() const { return memory_; }

private:
    OutputFile file_;
    bool in_memory_ = false;
    std::vector<std::uint8_t> memory_;
};

}  // namespace kvr
