#include "playback/tape_image.hpp"

#include <cstdio>
#include <cstring>

#include "formats/kvr_image.hpp"
#include "input/byte_cursor.hpp"

namespace kvr {

namespace {

using Reader = ByteCursor;

std::string at_offset(const char* what, std::size_t offset) {
    char text[128];
    const auto at = static_cast<unsigned long long>(offset);
    std::snprintf(text, sizeof text, "%s at offset %llu (0x%llX)", what, at, at);
    return text;
}

// The bytes that follow the fixed part: data, pulses or a name.
std::size_t tail_size(const Reader& r, std::uint8_t id, std::size_t at) {
    switch (id) {
    case image::kStandardData: return r.le(at + 3, 2);
    case image::kTurboData: return r.le(at + 16, 3);
    case image::kPulseSequence: return 2 * std::size_t{r.le(at + 1, 1)};
    case image::kPureData: return r.le(at + 8, 3);
    case image::kGroupStart: return r.le(at + 1, 1);
    default: return 0;
    }
}

void fill_block(const Reader& r, TapeBlock& b, std::size_t at, std::size_t tail_at, std::size_t tail) {
    const auto le = [&](std::size_t off, int width) { return static_cast<std::int32_t>(r.le(at + off, width)); };
    const std::uint8_t* tail_bytes = r.bytes.data() + tail_at;
    switch (b.id) {
    case image::kStandardData:
        b.pause_ms = le(1, 2);
        b.data.assign(tail_bytes, tail_bytes + tail);
        apply_rom_timings(b);
        break;
    case image::kTurboData:
        b.pilot_pulse = le(1, 2), b.sync1 = le(3, 2), b.sync2 = le(5, 2);
        b.bit0 = le(7, 2), b.bit1 = le(9, 2), b.pilot_count = le(11, 2);
        b.used_bits = le(13, 1), b.pause_ms = le(14, 2);
        b.data.assign(tail_bytes, tail_bytes + tail);
        break;
    case image::kPureTone: b.tone_pulse = le(1, 2), b.tone_count = le(3, 2); break;
    case image::kPulseSequence:
        for (std::size_t i = 0; i < tail / 2; ++i) b.pulses.push_back(static_cast<std::uint16_t>(r.le(tail_at + 2 * i, 2)));
        break;
    case image::kPureData:
        b.bit0 = le(1, 2), b.bit1 = le(3, 2), b.used_bits = le(5, 1), b.pause_ms = le(6, 2);
        b.data.assign(tail_bytes, tail_bytes + tail);
        break;
    case image::kPause: b.pause_ms = le(1, 2); break;
    case image::kGroupStart: b.name.assign(reinterpret_cast<const char*>(tail_bytes), tail); break;
    default: break;
    }
}

bool parse_kvr(Reader& r, TapeImage& image, std::string& error) {
    r.pos = image::kHeaderSize;
    while (r.pos < r.bytes.size()) {
        const std::size_t at = r.pos;
        const auto id = static_cast<std::uint8_t>(r.le(at, 1));
        const std::size_t fixed = image::fixed_size(id);
        if (fixed == 0) {
            char what[48];
            std::snprintf(what, sizeof what, "unknown block ID 0x%02X", id);
            error = at_offset(what, at);
            return false;
        }
        if (!r.has(fixed)) {
            error = at_offset("block runs past the end of the file", at);
            return false;
        }
        const std::size_t tail = tail_size(r, id, at);
        if (!r.has(fixed + tail)) {
            error = at_offset("block runs past the end of the file", at);
            return false;
        }
        TapeBlock b;
        b.id = id;
        b.offset = at;
        fill_block(r, b, at, at + fixed, tail);
        image.blocks.push_back(std::move(b));
        r.pos = at + fixed + tail;
    }
    return true;
}

bool parse_tap(Reader& r, TapeImage& image, std::string& error) {
    image.is_tap = true;
    while (r.pos < r.bytes.size()) {
        const std::size_t at = r.pos;
        if (!r.has(2) || !r.has(2 + r.le(at, 2))) {
            error = at_offset("record runs past the end of the file", at);
            return false;
        }
        const std::size_t length = r.le(at, 2);
        TapeBlock b;
        b.id = image::kStandardData;
        b.offset = at;
        b.pause_ms = 1000;
        b.data.assign(r.bytes.data() + at + 2, r.bytes.data() + at + 2 + length);
        apply_rom_timings(b);
        image.blocks.push_back(std::move(b));
        r.pos = at + 2 + length;
    }
    return true;
}

}  // namespace

void apply_rom_timings(TapeBlock& b) {
    b.pilot_pulse = image::kRomPilot, b.sync1 = image::kRomSync1, b.sync2 = image::kRomSync2;
    b.bit0 = image::kRomBit0, b.bit1 = image::kRomBit1, b.used_bits = 8;
    b.pilot_count = (!b.data.empty() && b.data[0] != 0) ? image::kRomDataPilots : image::kRomHeaderPilots;
}

bool parse_tape_image(std::span<const std::uint8_t> file, bool tap, TapeImage& image, std::string& error) {
    image = TapeImage{};
    Reader r{file};
    if (tap) return parse_tap(r, image, error);
    if (!looks_like_kvr(file)) {
        error = at_offset("bad signature", 0);
        return false;
    }
    if (file.size() < image::kHeaderSize) {
        error = at_offset("header runs past the end of the file", 0);
        return false;
    }
    return parse_kvr(r, image, error);
}

bool looks_like_kvr(std::span<const std::uint8_t> file) {
    return file.size() >= sizeof image::kSignature &&
           std::memcmp(file.data(), image::kSignature, sizeof image::kSignature) == 0;
}

}  // namespace kvr
