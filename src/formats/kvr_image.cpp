#include "formats/kvr_image.hpp"

#include "core/arithmetic.hpp"

namespace kvr::image {

namespace {

void byte(std::vector<std::uint8_t>& out, std::int64_t v) { out.push_back(static_cast<std::uint8_t>(v)); }

void word(std::vector<std::uint8_t>& out, std::int64_t v) {
    const std::uint16_t w = field16(v);
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
}

void word24(std::vector<std::uint8_t>& out, std::int64_t v) {
    byte(out, v & 0xFF);
    byte(out, (v >> 8) & 0xFF);
    byte(out, (v >> 16) & 0xFF);
}

void append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data) {
    out.insert(out.end(), data.begin(), data.end());
}

}  // namespace

std::uint16_t field16(std::int64_t value) {
    return static_cast<std::uint16_t>(value < 0 ? 0 : (value > 65535 ? 65535 : value));
}

std::int32_t pause_ms(float pause_seconds) {
    return trunc_i32((static_cast<double>(pause_seconds) + 0.0005) * 1000.0);
}

void put_header(std::vector<std::uint8_t>& out) {
    out.insert(out.end(), std::begin(kSignature), std::end(kSignature));
    out.push_back(kMajorVersion);
    out.push_back(kMinorVersion);
}

void put_standard_data(std::vector<std::uint8_t>& out, std::int64_t pause, std::span<const std::uint8_t> data) {
    byte(out, kStandardData);
    word(out, pause);
    word(out, static_cast<std::int64_t>(data.size()));
    append(out, data);
}

void put_turbo_data(std::vector<std::uint8_t>& out, const TurboFields& f, std::span<const std::uint8_t> data) {
    byte(out, kTurboData);
    for (std::int64_t v : {f.pilot, f.sync1, f.sync2, f.bit0, f.bit1, f.pilots}) word(out, v);
    byte(out, f.used_bits);
    word(out, f.pause_ms);
    word24(out, static_cast<std::int64_t>(data.size()));
    append(out, data);
}

void put_pure_tone(std::vector<std::uint8_t>& out, std::int64_t pulse, std::int64_t count) {
    byte(out, kPureTone);
    word(out, pulse);
    word(out, count);
}

void put_pulse_sequence(std::vector<std::uint8_t>& out, std::span<const std::uint16_t> pulses) {
    byte(out, kPulseSequence);
    byte(out, static_cast<std::int64_t>(pulses.size()));
    for (std::uint16_t p : pulses) word(out, p);
}

void put_pure_data(std::vector<std::uint8_t>& out, std::int64_t bit0, std::int64_t bit1, std::int64_t used_bits,
                   std::int64_t pause, std::span<const std::uint8_t> data) {
    byte(out, kPureData);
    word(out, bit0);
    word(out, bit1);
    byte(out, used_bits);
    word(out, pause);
    word24(out, static_cast<std::int64_t>(data.size()));
    append(out, data);
}

void put_pause(std::vector<std::uint8_t>& out, std::int64_t ms) {
    byte(out, kPause);
    word(out, ms);
}

void put_group_start(std::vector<std::uint8_t>& out, std::string_view name) {
    byte(out, kGroupStart);
    byte(out, static_cast<std::int64_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
}

void put_group_end(std::vector<std::uint8_t>& out) { byte(out, kGroupEnd); }

void put_trailer(std::vector<std::uint8_t>& out) {
    std::uint16_t pulses[kTrailerLength];
    for (int i = 0; i < kTrailerLength; ++i) pulses[i] = trailer_pulse(i);
    put_pulse_sequence(out, pulses);
}

Piece Piece::group_start(std::string name) {
    Piece p;
    p.kind = Kind::group_start;
    p.name = std::move(name);
    return p;
}

Piece Piece::pure_tone(std::int64_t pulse, std::int64_t count) {
    Piece p;
    p.kind = Kind::pure_tone;
    p.pulse = pulse;
    p.count = count;
    return p;
}

Piece Piece::pulse_sequence(std::vector<std::uint16_t> pulses) {
    Piece p;
    p.kind = Kind::pulse_sequence;
    p.pulses = std::move(pulses);
    return p;
}

Piece Piece::pause(std::int64_t ms) {
    Piece p;
    p.kind = Kind::pause;
    p.count = ms;
    return p;
}

void put_piece(std::vector<std::uint8_t>& out, const Piece& piece) {
    switch (piece.kind) {
    case Piece::Kind::group_start: put_group_start(out, piece.name); break;
    case Piece::Kind::pure_tone: put_pure_tone(out, piece.pulse, piece.count); break;
    case Piece::Kind::pulse_sequence: put_pulse_sequence(out, piece.pulses); break;
    case Piece::Kind::pause: put_pause(out, piece.count); break;
    }
}

}  // namespace kvr::image
