// The KVR image: its header and the block writers, including the choice between a
// standard and a turbo speed data block.
#include <cstdio>
#include <cstring>

#include "context.hpp"

namespace kvr {

namespace {

using image::field16;
using image::pause_ms;

// Each block is assembled here and then put into the image in one piece.
struct Scratch {
    std::vector<std::uint8_t> bytes;
    void emit(Context& cx) { cx.image.put(bytes.data(), bytes.size()); }
};

std::span<const std::uint8_t> data_of(const std::uint8_t* data, std::int32_t length) {
    return {data, static_cast<std::size_t>(length > 0 ? length : 0)};
}

void write_standard_block(Context& cx) {
    const WorkingRecord& w = cx.work;
    Scratch s;
    image::put_standard_data(s.bytes, pause_ms(w.pause_seconds), data_of(w.block_data.data(), w.block_length));
    s.emit(cx);
}

void write_turbo_block(Context& cx) {
    const WorkingRecord& w = cx.work;
    const Settings& st = cx.settings;
    // The forced values come after the standard test, so they never change the kind chosen.
    image::TurboFields f;
    f.pilot = w.pilot_pulse;
    f.sync1 = st.force_sync ? kRomSync1 : w.sync1_pulse;
    f.sync2 = st.force_sync ? kRomSync2 : w.sync2_pulse;
    f.bit0 = w.bit0_pulse;
    f.bit1 = w.bit1_pulse;
    f.pilots = st.force_pilot ? st.forced_pilot_hps : w.pending_pilot_count;
    f.used_bits = w.last_byte_bits;
    f.pause_ms = pause_ms(w.pause_seconds);
    Scratch s;
    image::put_turbo_data(s.bytes, f, data_of(w.block_data.data(), w.block_length));
    s.emit(cx);
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

void write_header(Context& cx) {
    Scratch s;
    image::put_header(s.bytes);
    s.emit(cx);
}

void write_group_start(Context& cx, const char* name) {
    Scratch s;
    image::put_group_start(s.bytes, name);
    s.emit(cx);
}

void write_group_end(Context& cx) {
    Scratch s;
    image::put_group_end(s.bytes);
    s.emit(cx);
}

void write_pure_tone(Context& cx, std::int64_t pulse, std::int64_t count) {
    Scratch s;
    image::put_pure_tone(s.bytes, pulse, count);
    s.emit(cx);
}

void write_pulse_sequence(Context& cx, std::span<const std::uint16_t> pulses) {
    Scratch s;
    image::put_pulse_sequence(s.bytes, pulses);
    s.emit(cx);
}

void write_pause_block(Context& cx, std::int32_t ms) {
    Scratch s;
    image::put_pause(s.bytes, ms);
    s.emit(cx);
}

void write_pure_data(Context& cx, const std::uint8_t* data, std::int32_t length, bool trailer) {
    const WorkingRecord& w = cx.work;
    Scratch s;
    image::put_pure_data(s.bytes, w.bit0_pulse, w.bit1_pulse, w.last_byte_bits, pause_ms(w.pause_seconds),
                         data_of(data, length));
    if (trailer) image::put_trailer(s.bytes);
    s.emit(cx);
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
