// The sub-blocks of a Speedlock block 2, each but the last followed by a 42-HP trailer.
#include "context.hpp"

namespace kvr {

namespace {

std::int32_t trailer_target(int i) { return (i >= 10 && i < 32) ? 1750 : 875; }

// Looks at the next 42 HPs without consuming them; stops at the first that does not fit.
bool trailer_follows(Context& cx) {
    WorkingRecord& w = cx.work;
    const std::int32_t saved = w.sample_pos;
    bool found = true;
    for (int i = 0; i < 42 && found; ++i) {
        const std::int32_t t = to_tstates(cx, measure_hp(cx));
        found = percent_diff(t, trailer_target(i)) <= 30;
    }
    w.sample_pos = saved;
    return found;
}

bool pair_ends_subblock(Context& cx) {
    const WorkingRecord& w = cx.work;
    const Settings& s = cx.settings;
    if (s.end_given) return percent_diff(w.cur_hp, w.prev_hp) >= s.end_threshold_pct;
    const std::int64_t limit = 2 * std::int64_t{w.bit1_ref};
    return w.cur_hp > limit || w.prev_hp > limit;
}

}  // namespace

int subblock_reader(Context& cx) {
    WorkingRecord& w = cx.work;
    const std::int32_t count = cx.samples.sample_count();
    start_block(cx);
    bool trailer_found = false;
    do {
        if (w.last_byte_bits == 0 && w.block_length > 0 && trailer_follows(cx)) {
            trailer_found = true;
            break;
        }
        if (w.block_length >= kBlockDataSize) break;  // the block buffer is full
        if (!measure_pair(cx) || pair_ends_subblock(cx)) break;
        if (is_glitch(w) && !merge_glitch(cx)) break;
        const std::int32_t pair_sum = w.prev_hp + w.cur_hp;
        const int bit = decide_bit(cx, pair_sum);
        account_bit(cx, bit, pair_sum);
        store_bit(cx, bit);
    } while (w.sample_pos < count);

    finish_partial_byte(cx, w.last_byte_bits);
    cx.console.print("   Sub-Block %2d                                             L-%5d\n",
                     cx.loaders.subblock_number, w.block_length);
    w.no_block_pending = false;
    return trailer_found ? 1 : 0;
}

}  // namespace kvr
