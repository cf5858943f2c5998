#include "playback/tape_image.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "input/file_bytes.hpp"

#include "formats/kvr_image.hpp"

namespace kvr {

namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 16;

std::uint32_t le(const std::uint8_t* p, int width) {
    std::uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::string at_offset(const char* what, std::uint64_t offset) {
    char text[128];
    const auto at = static_cast<unsigned long long>(offset);
    std::snprintf(text, sizeof text, "%s at offset %llu (0x%llX)", what, at, at);
    return text;
}

// The bytes that follow the fixed part `p`: data, pulses or a name.
std::size_t tail_size(const std::uint8_t* p, std::uint8_t id) {
    switch (id) {
    case image::kStandardData: return le(p + 3, 2);
    case image::kTurboData: return le(p + 16, 3);
    case image::kPulseSequence: return 2 * std::size_t{p[1]};
    case image::kPureData: return le(p + 8, 3);
    case image::kGroupStart: return p[1];
    default: return 0;
    }
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
    const auto field = [&](std::size_t off, int width) { return static_cast<std::int32_t>(le(p + off, width)); };
    switch (b.id) {
    case image::kStandardData: b.pause_ms = field(1, 2); break;
    case image::kTurboData:
        b.pilot_pulse = field(1, 2), b.sync1 = field(3, 2), b.sync2 = field(5, 2);
        b.bit0 = field(7, 2), b.bit1 = field(9, 2), b.pilot_count = field(11, 2);
        b.used_bits = field(13, 1), b.pause_ms = field(14, 2);
        break;
    case image::kPureTone: b.tone_pulse = field(1, 2), b.tone_count = field(3, 2); break;
    case image::kPureData: b.bit0 = field(1, 2), b.bit1 = field(3, 2), b.used_bits = field(5, 1), b.pause_ms = field(6, 2); break;
    case image::kPause: b.pause_ms = field(1, 2); break;
    default: break;
    }
}

// The tail, read into `data`, becomes the pulses or the name of the blocks that have them.
void interpret_tail(TapeBlock& b) {
    if (b.id == image::kPulseSequence) {
        for (std::size_t i = 0; i + 1 < b.data.size(); i += 2)
            b.pulses.push_back(static_cast<std::uint16_t>(le(b.data.data() + i, 2)));
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

FileImageSource::~FileImageSource() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileImageSource::open(const std::string& name) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = open_regular_file(name);
    return fd_ >= 0;
}

bool FileImageSource::rewind() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0; }

std::vector<std::uint8_t> FileImageSource::peek(std::size_t n) const {
    std::vector<std::uint8_t> bytes(n);
    ssize_t got = -1;
    do got = ::pread(fd_, bytes.data(), n, 0);
    while (got < 0 && errno == EINTR);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

std::uint64_t FileImageSource::remaining() const {
    struct stat st {};
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0 || ::fstat(fd_, &st) != 0 || st.st_size < at) return 0;
    return static_cast<std::uint64_t>(st.st_size - at);
}

std::ptrdiff_t FileImageSource::read(std::uint8_t* into, std::size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd_, into, n);
        if (got >= 0 || errno != EINTR) return got;
    }
}

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
    error_ = at_offset("cannot read the file", at);
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
        return cut_short("bad signature", 0);
    if (!fill(image::kHeaderSize)) return cut_short("header runs past the end of the file", 0);
    consume(image::kHeaderSize);
    return true;
}

bool TapeReader::next(TapeBlock& block) {
    if (failed() || (!started_ && !start())) return false;
    return tap_ ? next_tap_record(block) : next_kvr_block(block);
}

bool TapeReader::cut_short(const char* what, std::uint64_t at) {
    if (error_.empty()) error_ = at_offset(what, at);  // a read error, if any, was named first
    return false;
}

bool TapeReader::next_kvr_block(TapeBlock& block) {
    if (!fill(1)) return false;  // the end of the image (or a read error, named)
    const std::uint64_t at = offset_;
    const std::uint8_t id = here()[0];
    const std::size_t fixed = image::fixed_size(id);
    if (fixed == 0) {
        char what[48];
        std::snprintf(what, sizeof what, "unknown block ID 0x%02X", id);
        error_ = at_offset(what, at);
        return false;
    }
    if (!fill(fixed)) return cut_short("block runs past the end of the file", at);
    const std::size_t tail = tail_size(here(), id);
    clear_block(block);
    block.id = id;
    block.offset = static_cast<std::size_t>(at);
    read_fields(block, here());
    consume(fixed);
    if (!take(block.data, tail)) return cut_short("block runs past the end of the file", at);
    interpret_tail(block);
    return true;
}

bool TapeReader::next_tap_record(TapeBlock& block) {
    if (!fill(1)) return false;
    const std::uint64_t at = offset_;
    if (!fill(2)) return cut_short("record runs past the end of the file", at);
    const std::size_t length = le(here(), 2);
    clear_block(block);
    block.id = image::kStandardData;
    block.offset = static_cast<std::size_t>(at);
    block.pause_ms = 1000;
    consume(2);
    if (!take(block.data, length)) return cut_short("record runs past the end of the file", at);
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
