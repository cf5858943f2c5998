// Pieces shared by the Speedlock decoders.
#pragma once

#include "context.hpp"

namespace kvr {

// Sets the bit pulses and the references derived from them for a fixed-timing loader.
inline void set_fixed_bit_timings(Context& cx, std::int32_t bit0, std::int32_t bit1) {
    WorkingRecord& w = cx.work;
    w.bit0_pulse = bit0;
    w.bit1_pulse = bit1;
    w.bit0_ref = tstates_to_samples(cx, bit0);
    w.bit1_ref = tstates_to_samples(cx, bit1);
    w.middle_hp = middle_of(w.bit0_ref, w.bit1_ref);
}

// A TAP file keeps only data, so the loaders write their KVR blocks only into an image.
inline bool writes_image(const Context& cx) { return !cx.settings.tap_output; }

// Counts the block and gives back the HP pair that ended its data.
inline void finish_loader_block(Context& cx) {
    WorkingRecord& w = cx.work;
    ++w.block_count;
    w.sample_pos -= w.prev_hp + w.cur_hp;
    w.last_block_end = w.sample_pos;
}

}  // namespace kvr
