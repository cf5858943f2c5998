// Reading KVR images and TAP files back into blocks, for listing and playback, one block at
// a time through a small buffer; every length is checked against the bytes still there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/errors.hpp"

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

// Where the bytes of an image come from, in order.
class ImageSource {
public:
    virtual ~ImageSource() = default;
    // Up to n bytes; 0 at the end of the image, -1 when it cannot be read.
    virtual std::ptrdiff_t read(std::uint8_t* into, std::size_t n) = 0;
    // How many bytes are still to come, as far as can be known now.
    virtual std::uint64_t remaining() const = 0;
};

class MemoryImageSource : public ImageSource {
public:
    explicit MemoryImageSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::ptrdiff_t read(std::uint8_t* into, std::size_t n) override;
    std::uint64_t remaining() const override;

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

// Reads an image one block at a time, holding no more of it than the block being read and a
// small buffer.
class TapeReader {
public:
    TapeReader(ImageSource& source, bool tap) : source_(source), tap_(tap) {}

    // The next block; false at the end of the image or at a fault, which error() then names.
    bool next(TapeBlock& block);
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    std::size_t buffer_capacity() const { return buffer_.capacity(); }

private:
    bool fill(std::size_t n);  // n bytes (a fixed part) ready at the cursor; false when the image ends first
    bool take(std::vector<std::uint8_t>& into, std::size_t n);  // the next n bytes; false when they are not there
    void read_failed(std::uint64_t at);
    bool start();
    bool cut_short(Error what, std::uint64_t at);  // names the fault; false
    bool next_kvr_block(TapeBlock& block);
    bool next_tap_record(TapeBlock& block);
    const std::uint8_t* here() const { return buffer_.data() + begin_; }
    void consume(std::size_t n);

    ImageSource& source_;
    bool tap_;
    bool started_ = false;
    bool source_ended_ = false;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0, end_ = 0;  // the bytes read but not yet taken
    std::uint64_t offset_ = 0;         // the file offset of buffer_[begin_]
    std::string error_;
};

// Parses a whole KVR image, or a TAP file when `tap` is set. On failure returns false and
// names the offset of the fault in `error`.
bool parse_tape_image(std::span<const std::uint8_t> file, bool tap, TapeImage& image, std::string& error);
bool looks_like_kvr(std::span<const std::uint8_t> file);

// The ROM loader's timings for a standard speed data block.
void apply_rom_timings(TapeBlock& block);

}  // namespace kvr
