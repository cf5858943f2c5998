#include "formats/kvr_image.hpp"

#include <algorithm>

#include "core/arithmetic.hpp"

namespace kvr::image {

namespace {

void append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data) {
    out.insert(out.end(), data.begin(), data.end());
}

// A block's fixed part, filled field by field; two-byte fields saturate through field16,
// others keep their low bytes.
class Fixed {
public:
    Fixed(std::vector<std::uint8_t>& out, std::uint8_t id) : out_(out), at_(out.size()) {
        out.resize(at_ + fixed_size(id), 0);
        out[at_] = id;
    }
    void set(Field f, std::int64_t v) {
        const std::uint64_t u = f.width == 2 ? field16(v) : static_cast<std::uint64_t>(v);
        for (int i = 0; i < f.width; ++i) out_[at_ + f.at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(u >> (8 * i));
    }

private:
    std::vector<std::uint8_t>& out_;
    std::size_t at_;
};

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
    Fixed f(out, kStandardData);
    f.set(standard::pause, pause);
    f.set(standard::length, static_cast<std::int64_t>(data.size()));
    append(out, data);
}

void put_turbo_data(std::vector<std::uint8_t>& out, const TurboFields& t, std::span<const std::uint8_t> data) {
    Fixed f(out, kTurboData);
    f.set(turbo::pilot, t.pilot);
    f.set(turbo::sync1, t.sync1);
    f.set(turbo::sync2, t.sync2);
    f.set(turbo::bit0, t.bit0);
    f.set(turbo::bit1, t.bit1);
    f.set(turbo::pilots, t.pilots);
    f.set(turbo::used_bits, t.used_bits);
    f.set(turbo::pause, t.pause_ms);
    f.set(turbo::length, static_cast<std::int64_t>(data.size()));
    append(out, data);
}

void put_pure_tone(std::vector<std::uint8_t>& out, std::int64_t pulse, std::int64_t count) {
    Fixed f(out, kPureTone);
    f.set(tone::pulse, pulse);
    f.set(tone::count, count);
}

// More pulses than the count's byte holds go into as many blocks as they need, one after
// the other: they play the same, where a count cut to its low byte would misplace every
// block after it.
void put_pulse_sequence(std::vector<std::uint8_t>& out, std::span<const std::uint16_t> pulses) {
    do {
        const std::span<const std::uint16_t> part = pulses.first(std::min(pulses.size(), kMostPulses));
        Fixed f(out, kPulseSequence);
        f.set(pulses::count, static_cast<std::int64_t>(part.size()));
        for (std::uint16_t p : part) {
            out.push_back(static_cast<std::uint8_t>(p & 0xFF));
            out.push_back(static_cast<std::uint8_t>(p >> 8));
        }
        pulses = pulses.subspan(part.size());
    } while (!pulses.empty());
}

void put_pure_data(std::vector<std::uint8_t>& out, std::int64_t bit0, std::int64_t bit1, std::int64_t used_bits,
                   std::int64_t pause, std::span<const std::uint8_t> data) {
    Fixed f(out, kPureData);
    f.set(pure::bit0, bit0);
    f.set(pure::bit1, bit1);
    f.set(pure::used_bits, used_bits);
    f.set(pure::pause, pause);
    f.set(pure::length, static_cast<std::int64_t>(data.size()));
    append(out, data);
}

void put_pause(std::vector<std::uint8_t>& out, std::int64_t ms) {
    Fixed f(out, kPause);
    f.set(pause_block::ms, ms);
}

void put_group_start(std::vector<std::uint8_t>& out, std::string_view name) {
    Fixed f(out, kGroupStart);
    f.set(group::name_length, static_cast<std::int64_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
}

void put_group_end(std::vector<std::uint8_t>& out) { Fixed f(out, kGroupEnd); }

std::uint32_t get(const std::uint8_t* fixed, Field field) {
    std::uint32_t v = 0;
    for (int i = field.width - 1; i >= 0; --i) v = (v << 8) | fixed[field.at + static_cast<std::size_t>(i)];
    return v;
}

std::size_t tail_size(const std::uint8_t* p, std::uint8_t id) {
    switch (id) {
    case kStandardData: return get(p, standard::length);
    case kTurboData: return get(p, turbo::length);
    case kPulseSequence: return 2 * std::size_t{get(p, pulses::count)};
    case kPureData: return get(p, pure::length);
    case kGroupStart: return get(p, group::name_length);
    default: return 0;
    }
}

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
