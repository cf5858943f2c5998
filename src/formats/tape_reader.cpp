#include "formats/tape_reader.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/errors.hpp"
#include "formats/kvr_image.hpp"
#include "formats/tap_file.hpp"

namespace kvr {

namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 16;

std::string at_offset(Error what, std::uint64_t offset, std::string_view subject = {}) {
    char text[48];
    const auto at = static_cast<unsigned long long>(offset);
    std::snprintf(text, sizeof text, " at offset %llu (0x%llX)", at, at);
    return error_text(what, subject) + text;
}

// A block read afresh, keeping the room its vectors already have.
void clear_block(TapeBlock& b) {
    b.pilot_pulse = b.sync1 = b.sync2 = b.bit0 = b.bit1 = 0;
    b.pilot_count = b.pause_ms = b.tone_pulse = b.tone_count = 0;
    b.used_bits = 8;
    b.pulses.clear();
    b.name.clear();
    b.data.clear();
}

// The fields of the block whose fixed part is at `p`.
void read_fields(TapeBlock& b, const std::uint8_t* p) {
    using namespace image;
    const auto field = [&](Field f) { return static_cast<std::int32_t>(get(p, f)); };
    switch (b.id) {
    case kStandardData: b.pause_ms = field(standard::pause); break;
    case kTurboData:
        b.pilot_pulse = field(turbo::pilot), b.sync1 = field(turbo::sync1), b.sync2 = field(turbo::sync2);
        b.bit0 = field(turbo::bit0), b.bit1 = field(turbo::bit1), b.pilot_count = field(turbo::pilots);
        b.used_bits = field(turbo::used_bits), b.pause_ms = field(turbo::pause);
        break;
    case kPureTone: b.tone_pulse = field(tone::pulse), b.tone_count = field(tone::count); break;
    case kPureData:
        b.bit0 = field(pure::bit0), b.bit1 = field(pure::bit1), b.used_bits = field(pure::used_bits);
        b.pause_ms = field(pure::pause);
        break;
    case kPause: b.pause_ms = field(pause_block::ms); break;
    default: break;
    }
}

// The tail, read into `data`, becomes the pulses or the name of the blocks that have them.
void interpret_tail(TapeBlock& b) {
    if (b.id == image::kPulseSequence) {
        for (std::size_t i = 0; i + 1 < b.data.size(); i += 2)
            b.pulses.push_back(static_cast<std::uint16_t>(b.data[i] | (b.data[i + 1] << 8)));
        b.data.clear();
    } else if (b.id == image::kGroupStart) {
        b.name.assign(b.data.begin(), b.data.end());
        b.data.clear();
    } else if (b.id == image::kStandardData) {
        apply_rom_timings(b);
    }
}

}  // namespace

// ---- Sources ------------------------------------------------------------------------------

std::ptrdiff_t MemoryImageSource::read(std::uint8_t* into, std::size_t n) {
    n = std::min(n, bytes_.size() - pos_);
    if (n > 0) std::memcpy(into, bytes_.data() + pos_, n);
    pos_ += n;
    return static_cast<std::ptrdiff_t>(n);
}

std::uint64_t MemoryImageSource::remaining() const { return bytes_.size() - pos_; }

// ---- The reader -----------------------------------------------------------------------------

bool TapeReader::fill(std::size_t n) {
    if (end_ - begin_ >= n) return true;
    std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(begin_), buffer_.begin() + static_cast<std::ptrdiff_t>(end_),
              buffer_.begin());
    end_ -= begin_;
    begin_ = 0;
    if (buffer_.size() < std::max(n, kReadSize)) buffer_.resize(std::max(n, kReadSize));
    while (end_ < n && !source_ended_) {
        const std::ptrdiff_t got = source_.read(buffer_.data() + end_, buffer_.size() - end_);
        if (got < 0) read_failed(offset_ + end_);
        else if (got == 0) source_ended_ = true;
        else end_ += static_cast<std::size_t>(got);
    }
    return end_ >= n;
}

void TapeReader::read_failed(std::uint64_t at) {
    error_ = at_offset(Error::image_unreadable, at);
    source_ended_ = true;
}

bool TapeReader::take(std::vector<std::uint8_t>& into, std::size_t n) {
    const std::size_t buffered = std::min(n, end_ - begin_);
    // A length field never sizes more memory than the image still holds.
    if (n > buffered && n - buffered > source_.remaining()) return false;
    into.resize(n);
    std::copy_n(here(), buffered, into.begin());
    consume(buffered);
    // The rest goes straight into the block: a large block is held once, not twice.
    for (std::size_t got = buffered; got < n;) {
        const std::ptrdiff_t more = source_ended_ ? 0 : source_.read(into.data() + got, n - got);
        if (more <= 0) {
            if (more < 0) read_failed(offset_);
            source_ended_ = true;
            return false;
        }
        got += static_cast<std::size_t>(more);
        offset_ += static_cast<std::uint64_t>(more);
    }
    return true;
}

void TapeReader::consume(std::size_t n) {
    begin_ += n;
    offset_ += n;
}

bool TapeReader::start() {
    started_ = true;
    if (tap_) return true;
    if (!fill(sizeof image::kSignature) || std::memcmp(here(), image::kSignature, sizeof image::kSignature) != 0)
        return cut_short(Error::image_bad_signature, 0);
    if (!fill(image::kHeaderSize)) return cut_short(Error::image_header_short, 0);
    consume(image::kHeaderSize);
    return true;
}

bool TapeReader::next(TapeBlock& block) {
    if (failed() || (!started_ && !start())) return false;
    return tap_ ? next_tap_record(block) : next_kvr_block(block);
}

bool TapeReader::cut_short(Error what, std::uint64_t at) {
    if (error_.empty()) error_ = at_offset(what, at);  // a read error, if any, was named first
    return false;
}

bool TapeReader::next_kvr_block(TapeBlock& block) {
    if (!fill(1)) return false;  // the end of the image (or a read error, named)
    const std::uint64_t at = offset_;
    const std::uint8_t id = here()[0];
    const std::size_t fixed = image::fixed_size(id);
    if (fixed == 0) {
        char number[8];
        std::snprintf(number, sizeof number, "0x%02X", id);
        error_ = at_offset(Error::image_unknown_block, at, number);
        return false;
    }
    if (!fill(fixed)) return cut_short(Error::image_block_short, at);
    const std::size_t tail = image::tail_size(here(), id);
    clear_block(block);
    block.id = id;
    block.offset = static_cast<std::size_t>(at);
    read_fields(block, here());
    consume(fixed);
    if (!take(block.data, tail)) return cut_short(Error::image_block_short, at);
    interpret_tail(block);
    return true;
}

bool TapeReader::next_tap_record(TapeBlock& block) {
    if (!fill(1)) return false;
    const std::uint64_t at = offset_;
    if (!fill(tap::kLengthSize)) return cut_short(Error::image_record_short, at);
    const std::size_t length = tap::record_length(here());
    clear_block(block);
    block.id = image::kStandardData;
    block.offset = static_cast<std::size_t>(at);
    block.pause_ms = tap::kPauseMs;
    consume(tap::kLengthSize);
    if (!take(block.data, length)) return cut_short(Error::image_record_short, at);
    apply_rom_timings(block);
    return true;
}

// ---- Whole images -----------------------------------------------------------------------------

void apply_rom_timings(TapeBlock& b) {
    b.pilot_pulse = image::kRomPilot, b.sync1 = image::kRomSync1, b.sync2 = image::kRomSync2;
    b.bit0 = image::kRomBit0, b.bit1 = image::kRomBit1, b.used_bits = 8;
    b.pilot_count = (!b.data.empty() && b.data[0] != 0) ? image::kRomDataPilots : image::kRomHeaderPilots;
}

bool parse_tape_image(std::span<const std::uint8_t> file, bool tap, TapeImage& image, std::string& error) {
    image = TapeImage{};
    image.is_tap = tap;
    MemoryImageSource source(file);
    TapeReader reader(source, tap);
    TapeBlock block;
    while (reader.next(block)) image.blocks.push_back(block);
    error = reader.error();
    return !reader.failed();
}

bool looks_like_kvr(std::span<const std::uint8_t> file) {
    return file.size() >= sizeof image::kSignature &&
           std::memcmp(file.data(), image::kSignature, sizeof image::kSignature) == 0;
}

}  // namespace kvr
