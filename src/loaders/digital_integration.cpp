// Digital Integration blocks: two pilot tones, one sync HP, data of measured speed.
#include "loaders/speedlock_common.hpp"

namespace kvr {

void digital_integration_decoder(Context& cx) {
    WorkingRecord& w = cx.work;
    const std::int32_t data_start = w.sample_pos;
    bit_reference_measurement(cx);
    w.sample_pos = data_start;
    bit_decoder(cx);
    if (w.no_block_pending) return;
    w.pilot_pulse = mean_to_tstates(cx, w.pilot_sum, w.pilot_count);
    measure_bit_pulses(cx);
    if (cx.settings.approximate_bit1) approximate_bits(cx);
    cx.console.print(" Digital Integration Block %d          0-%4d,1-%4d      B%d L-%5d    ", w.block_count - 1,
                     w.bit0_pulse, w.bit1_pulse, w.last_byte_bits, w.block_length);
    finish_loader_block(cx);
}

}  // namespace kvr
