// The KVR image: its header and the block writers, including the choice between a
// standard and a turbo speed data block.
#include <cstdio>
#include <cstring>

#include "context.hpp"

namespace kvr {

namespace {

// Ten pulses of 875, twenty-two of 1750 and ten of 875 T-states.
constexpr std::uint16_t trailer_pulse(int i) { return (i >= 10 && i < 32) ? 1750 : 875; }

struct Scratch {
    std::uint8_t bytes[32];
    std::size_t size = 0;

    Scratch& byte(std::int64_t v) {
        bytes[size++] = static_cast<std::uint8_t>(v);
        return *this;
    }
    Scratch& word(std::int64_t v) {
        const std::uint16_t w = field16(v);
        return byte(w & 0xFF).byte(w >> 8);
    }
    Scratch& word24(std::int64_t v) { return byte(v & 0xFF).byte((v >> 8) & 0xFF).byte((v >> 16) & 0xFF); }
    void emit(Context& cx) { cx.image.put(bytes, size); }
};

void write_data(Context& cx, const std::uint8_t* data, std::int32_t length) {
    if (length > 0) cx.image.put(data, static_cast<std::size_t>(length));
}

void write_standard_block(Context& cx) {
    const WorkingRecord& w = cx.work;
    Scratch{}.byte(0x10).word(pause_ms(w.pause_seconds)).word(w.block_length).emit(cx);
    write_data(cx, w.block_data.data(), w.block_length);
}

void write_turbo_block(Context& cx) {
    const WorkingRecord& w = cx.work;
    const Settings& s = cx.settings;
    // The forced values come after the standard test, so they never change the kind chosen.
    const std::int32_t sync1 = s.force_sync ? kRomSync1 : w.sync1_pulse;
    const std::int32_t sync2 = s.force_sync ? kRomSync2 : w.sync2_pulse;
    const std::int32_t pilots = s.force_pilot ? s.forced_pilot_hps : w.pending_pilot_count;
    Scratch{}
        .byte(0x11)
        .word(w.pilot_pulse)
        .word(sync1)
        .word(sync2)
        .word(w.bit0_pulse)
        .word(w.bit1_pulse)
        .word(pilots)
        .byte(w.last_byte_bits)
        .word(pause_ms(w.pause_seconds))
        .word24(w.block_length)
        .emit(cx);
    write_data(cx, w.block_data.data(), w.block_length);
}

void write_digital_integration_group(Context& cx, std::int32_t k) {
    WorkingRecord& w = cx.work;
    char name[32];
    std::snprintf(name, sizeof name, "DI Block %d", k - 2);
    write_group_start(cx, name);
    write_pure_tone(cx, mean_to_tstates(cx, w.pending_tone1_sum, w.pending_tone1_count),
                    w.pending_tone1_count);
    write_pure_tone(cx, w.pilot_pulse, w.pending_pilot_count);
    const std::uint16_t sync[] = {field16(w.sync1_pulse)};
    write_pulse_sequence(cx, sync);
    write_pure_data(cx, w.block_data.data(), w.block_length, false);
    write_group_end(cx);
}

}  // namespace

std::uint16_t field16(std::int64_t value) {
    return static_cast<std::uint16_t>(value < 0 ? 0 : (value > 65535 ? 65535 : value));
}

std::int32_t pause_ms(float pause_seconds) {
    return trunc_i32((static_cast<double>(pause_seconds) + 0.0005) * 1000.0);
}

void write_header(Context& cx) {
    static const std::uint8_t kHeader[10] = {'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10};
    cx.image.put(kHeader, sizeof kHeader);
}

void write_word(Context& cx, std::int64_t value) { Scratch{}.word(value).emit(cx); }

void write_group_start(Context& cx, const char* name) {
    const std::size_t length = std::strlen(name);
    cx.image.put_byte(0x21);
    cx.image.put_byte(static_cast<std::uint8_t>(length));
    cx.image.put(name, length);
}

void write_group_end(Context& cx) { cx.image.put_byte(0x22); }

void write_pure_tone(Context& cx, std::int64_t pulse, std::int64_t count) {
    Scratch{}.byte(0x12).word(pulse).word(count).emit(cx);
}

void write_pulse_sequence(Context& cx, std::span<const std::uint16_t> pulses) {
    Scratch{}.byte(0x13).byte(static_cast<std::int64_t>(pulses.size())).emit(cx);
    for (std::uint16_t p : pulses) write_word(cx, p);
}

void write_pause_block(Context& cx, std::int32_t ms) { Scratch{}.byte(0x20).word(ms).emit(cx); }

void write_pure_data(Context& cx, const std::uint8_t* data, std::int32_t length, bool trailer) {
    const WorkingRecord& w = cx.work;
    Scratch{}
        .byte(0x14)
        .word(w.bit0_pulse)
        .word(w.bit1_pulse)
        .byte(w.last_byte_bits)
        .word(pause_ms(w.pause_seconds))
        .word24(length)
        .emit(cx);
    write_data(cx, data, length);
    if (trailer) {
        Scratch{}.byte(0x13).byte(42).emit(cx);
        for (int i = 0; i < 42; ++i) write_word(cx, trailer_pulse(i));
    }
}

void write_leader_segments(Context& cx) {
    const WorkingRecord& w = cx.work;
    const std::uint16_t clicks[] = {field16(w.click_pulses[0]), field16(w.click_pulses[1])};
    const std::size_t click_count = w.click_hps < 0 ? 0 : (w.click_hps > 2 ? 2 : static_cast<std::size_t>(w.click_hps));
    for (std::int32_t i = 0; i < w.segment_count; ++i) {
        write_pure_tone(cx, w.leader_pulse, w.leader_segments[static_cast<std::size_t>(i)]);
        if (i + 1 < w.segment_count) write_pulse_sequence(cx, std::span(clicks, click_count));
    }
}

void write_pending_block(Context& cx) {
    WorkingRecord& w = cx.work;
    const Settings& s = cx.settings;
    const std::int32_t k = w.block_count;
    const std::int32_t S = s.speedlock_skip;
    if (s.bleepload) {
        if (w.last_byte_bits == 0) {
            cx.image.bleep_pilot_reset = true;  // a pilot-only marker: nothing of its own
            return;
        }
        if (cx.image.bleep_pilot_reset) {
            cx.image.bleep_pilot_reset = false;
            w.pilot_pulse = kRomPilot;
            w.pending_pilot_count = kRomDataPilots;
        }
    }
    // Every Speedlock turbo block has opened a group; its data closes it.
    if (s.speedlock_type != 0 && k > S) {
        write_pure_data(cx, w.block_data.data(), w.block_length, false);
        write_group_end(cx);
        return;
    }
    // Only a block that the two-tone path decoded gets the Digital Integration form.
    if (s.di_loader && (k == 3 || k == 4) && k - 1 < S) {
        write_digital_integration_group(cx, k);
        return;
    }
    if (is_standard_timing(cx, w.pending_pilot_count))
        write_standard_block(cx);
    else
        write_turbo_block(cx);
}

}  // namespace kvr
