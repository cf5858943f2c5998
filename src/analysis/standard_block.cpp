// The ROM scheme's block at any speed: bits, timings in T-states, the standard test and
// the report line.
#include <cstdio>

#include "context.hpp"

namespace kvr {


void measure_bit_pulses(Context& cx) {
    WorkingRecord& w = cx.work;
    w.bit0_pulse = mean_to_tstates(cx, w.zero_sum, w.zero_count);
    w.bit1_pulse = mean_to_tstates(cx, w.one_sum, w.one_count);
    if (w.zero_count == 0 && w.one_count != 0) w.bit0_pulse = w.bit1_pulse / 2;
    if (w.one_count == 0 && w.zero_count != 0) w.bit1_pulse = saturate(std::int64_t{w.bit0_pulse} * 2);
}

void approximate_bits(Context& cx) {
    WorkingRecord& w = cx.work;
    const std::int64_t delta = std::int64_t{w.bit1_pulse} - 2 * std::int64_t{w.bit0_pulse};
    w.approx_delta = saturate(delta);
    w.bit0_pulse = saturate(w.bit0_pulse + std::int64_t{w.approx_delta} / 4);
    w.bit1_pulse = saturate(w.bit1_pulse - std::int64_t{w.approx_delta} / 2);
}

bool is_standard_timing(Context& cx, std::int32_t pilot_count) {
    const WorkingRecord& w = cx.work;
    const std::int32_t t = cx.settings.standard_tolerance_pct;
    const std::int32_t rom_pilots = w.block_data[0] == 0 ? kRomHeaderPilots : kRomDataPilots;
    return percent_diff(w.bit0_pulse, kRomBit0) <= t && percent_diff(w.bit1_pulse, kRomBit1) <= t &&
           percent_diff(w.pilot_pulse, kRomPilot) <= t && w.block_length < 65536 &&
           percent_diff(pilot_count, rom_pilots) <= t;
}

void header_name_text(Context& cx, char text[13]) {
    const WorkingRecord& w = cx.work;
    static const char* const kPrefix[] = {"P:", "N:", "C:", "B:"};
    const std::uint8_t* d = w.block_data.data();
    if (d[0] == 0 && (w.block_length == 19 || w.block_length == 20) && d[1] <= 3) {
        text[0] = kPrefix[d[1]][0];
        text[1] = kPrefix[d[1]][1];
        for (int i = 0; i < 10; ++i) {
            const std::uint8_t c = d[2 + i];
            text[2 + i] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : ' ';
        }
    } else {
        for (int i = 0; i < 12; ++i) text[i] = '-';
    }
    text[12] = '\0';
}

void standard_block_decoder(Context& cx) {
    WorkingRecord& w = cx.work;
    const Settings& s = cx.settings;
    if (s.bleepload && (w.sync1_pulse >= 3 * kRomSync1 || w.sync2_pulse >= 3 * kRomSync2)) {
        // A tone without sync: the pilot-only marker, flagged by last_byte_bits 0.
        w.sync1_pulse = w.sync2_pulse = 0;
        w.last_byte_bits = 0;
        w.no_block_pending = false;
        w.block_length = 1;
    } else {
        const std::int32_t data_start = w.sample_pos;
        bit_reference_measurement(cx);
        w.sample_pos = data_start;
        bit_decoder(cx);
        if (s.bleepload) {
            w.sync1_pulse = kRomSync1;
            w.sync2_pulse = kRomSync2;
        }
        if (w.no_block_pending) return;
    }

    w.pilot_pulse = mean_to_tstates(cx, w.pilot_sum, w.pilot_count);
    measure_bit_pulses(cx);
    if (s.bleepload) {
        w.bit1_pulse = kRomBit1;
        w.bit0_pulse = kRomBit0;
        w.pilot_pulse = kRomPilot;
    }
    if (s.approximate_bit1) approximate_bits(cx);
    const char flag_letter = is_standard_timing(cx, w.pilot_count) ? ' ' : '*';
    const char checksum_letter = xor_check(cx, w.block_length);
    char name[13];
    header_name_text(cx, name);
    cx.console.print("%c%s P-%4d,%4d S-%4d/%4d 0-%4d,1-%4d F-%02X B%d L-%5d C%c ", flag_letter, name,
                     w.pilot_pulse, w.pilot_count, w.sync1_pulse, w.sync2_pulse, w.bit0_pulse,
                     w.bit1_pulse, w.block_data[0], w.last_byte_bits, w.block_length, checksum_letter);
    ++w.block_count;
    w.sample_pos -= w.prev_hp + w.cur_hp;  // the pair that ended the block may open the next pilot
    w.last_block_end = w.sample_pos;
}

}  // namespace kvr
