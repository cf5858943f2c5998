// Speedlock type 1: a leader of clicked segments, six flag bits, then the data.
#include <cstdio>

#include "loaders/speedlock_common.hpp"

namespace kvr {

void speedlock1_decoder(Context& cx) {
    WorkingRecord& w = cx.work;
    LoaderTables& t = cx.loaders;
    set_fixed_bit_timings(cx, 565, 1130);
    const std::int32_t number = saturate(std::int64_t{w.block_count} - cx.settings.speedlock_skip + 1);

    if (writes_image(cx)) {
        char name[40];
        std::snprintf(name, sizeof name, "SpeedLock 1 Block %d", number);
        write_group_start(cx, name);
        write_leader_segments(cx);
    }

    w.six_bit_mode = true;
    bit_decoder(cx);
    w.six_bit_mode = false;
    // The flag bits stand at the top of the first byte, whatever block_length says.
    std::uint8_t b = w.block_data[0];
    char flag_text[7];
    for (int i = 0; i < 6; ++i, b = static_cast<std::uint8_t>(b << 1)) {
        const bool one = (b & 0x80) != 0;
        t.sync14_pulses[2 + 2 * i] = t.sync14_pulses[3 + 2 * i] = one ? 1130 : 565;
        flag_text[i] = one ? '1' : '0';
    }
    flag_text[6] = '\0';
    if (writes_image(cx)) write_pulse_sequence(cx, t.sync14_pulses);

    bit_decoder(cx);
    cx.console.print(" Speedlock 1 block %d   Flag:%s                       B%d L-%5d C%c ", number, flag_text,
                     w.last_byte_bits, w.block_length, xor_check(cx, w.block_length));
    finish_loader_block(cx);
}

}  // namespace kvr
