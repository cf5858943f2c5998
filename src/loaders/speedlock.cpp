// Speedlock types 2 to 4: block 1 is one run of data, block 2 a run of sub-blocks
// separated by trailers.
#include <cstdio>

#include "loaders/speedlock_common.hpp"

namespace kvr {

namespace {

struct TypeTimings {
    std::int32_t bit0, bit1;
};

TypeTimings timings_of(std::int32_t type) {
    if (type == 3) return {551, 1102};
    if (type == 4) return {753, 1508};
    return {565, 1130};
}

// The fixed flag pattern 1, 1, 1, 0, 1, 0 in the last six pairs of the 28-pulse table.
void fill_sync28_flags(Context& cx) {
    static const bool kFlags[6] = {true, true, true, false, true, false};
    WorkingRecord& w = cx.work;
    for (int i = 0; i < 6; ++i) {
        const auto pulse = static_cast<std::uint16_t>(kFlags[i] ? w.bit1_pulse : w.bit0_pulse);
        cx.loaders.sync28_pulses[16 + 2 * i] = cx.loaders.sync28_pulses[17 + 2 * i] = pulse;
    }
}

// The stretch before block 1 in whole milliseconds, at most 24000.
std::int64_t noise_ms(Context& cx) {
    const WorkingRecord& w = cx.work;
    const std::int64_t gap = std::int64_t{w.pilot_start} - w.last_block_end;
    const std::int64_t rate = cx.samples.sample_rate;
    // The rate is cut to whole kilohertz first; below 1 kHz that would divide by zero.
    std::int64_t ms = rate >= 1000 ? gap / (rate / 1000) : (rate > 0 ? gap * 1000 / rate : 0);
    return ms > 24000 ? 24000 : ms;
}

void write_simulated_noise(Context& cx, std::int64_t ms) {
    cx.console.print(" Speedlock 3 variant 2 Simulated Noise for %1.3f seconds\n", ms * 0.001);
    if (!writes_image(cx)) return;
    write_pure_tone(cx, 3000, trunc_i32(ms * 3500.0035000035 / 3000));
    write_pause_block(cx, 300);
}

void write_pilot_and_sync(Context& cx, std::int32_t type) {
    WorkingRecord& w = cx.work;
    if (type == 2) {
        if (!writes_image(cx)) return;
        write_leader_segments(cx);
        write_pulse_sequence(cx, cx.loaders.sync14_pulses);
        return;
    }
    w.pilot_pulse = mean_to_tstates(cx, w.pilot_sum, w.pilot_count);
    if (!writes_image(cx)) return;
    write_pure_tone(cx, w.pilot_pulse, w.pilot_count);
    write_pulse_sequence(cx, cx.loaders.sync28_pulses);
}

void read_block2(Context& cx, std::int32_t type) {
    WorkingRecord& w = cx.work;
    cx.console.print(" Speedlock %d block 2 :\n", type);
    std::int32_t total = 0;
    std::uint8_t x = 0;
    while (subblock_reader(cx) == 1) {
        for (std::int32_t i = 0; i < w.block_length; ++i) x ^= w.block_data[static_cast<std::size_t>(i)];
        for (int i = 0; i < 42; ++i) w.cur_hp = measure_hp(cx);  // the trailer on tape
        ++cx.loaders.subblock_number;
        w.pause_seconds = 0.0f;
        if (writes_image(cx))
            write_pure_data(cx, w.block_data.data(), w.block_length, true);
        else
            write_tap_bytes(cx, w.block_data.data(), w.block_length, w.block_count + 1);
        total += w.block_length;
    }
    // The last sub-block waits to be written; its last byte checks every byte before it.
    for (std::int32_t i = 0; i + 1 < w.block_length; ++i) x ^= w.block_data[static_cast<std::size_t>(i)];
    total += w.block_length;
    const char letter = (w.block_length > 0 && x == w.block_data[static_cast<std::size_t>(w.block_length - 1)]) ? '*' : '-';
    cx.console.print(" Speedlock %d block 2 Total                               B%d L-%5d C%c ", type,
                     w.last_byte_bits, total, letter);
}

}  // namespace

void speedlock_decoder(Context& cx) {
    WorkingRecord& w = cx.work;
    const Settings& s = cx.settings;
    const std::int32_t type = s.speedlock_type;
    const TypeTimings timings = timings_of(type);
    set_fixed_bit_timings(cx, timings.bit0, timings.bit1);
    if (type == 3 || type == 4) fill_sync28_flags(cx);
    const int block = w.block_count == s.speedlock_skip ? 1 : 2;
    const bool noise = type == 3 && s.speedlock_variant == 2 && block == 1;

    std::int64_t ms = 0;
    if (noise) {
        ms = noise_ms(cx);
        if (ms < 20000) {
            w.no_block_pending = true;  // still part of the noise before block 1
            return;
        }
    }
    if (writes_image(cx)) {
        char name[40];
        std::snprintf(name, sizeof name, "SpeedLock %d Block %d", type, block);
        write_group_start(cx, name);
    }
    if (noise) write_simulated_noise(cx, ms);
    write_pilot_and_sync(cx, type);

    if (block == 1) {
        bit_decoder(cx);
        cx.console.print(" Speedlock %d block 1                                     B%d L-%5d C%c ", type,
                         w.last_byte_bits, w.block_length, xor_check(cx, w.block_length));
    } else {
        read_block2(cx, type);
    }
    finish_loader_block(cx);
}

}  // namespace kvr
