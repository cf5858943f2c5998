// Data bits: learning the 0 and 1 lengths by look-ahead, and reading bit pairs into bytes.
#include <cstdlib>

#include "context.hpp"

namespace kvr {

void bit_reference_measurement(Context& cx) {
    WorkingRecord& w = cx.work;
    if (cx.settings.rom_bit_timings) {
        w.bit0_ref = tstates_to_samples(cx, kRomBit0);
        w.bit1_ref = tstates_to_samples(cx, kRomBit1);
    } else {
        w.cur_hp = measure_hp(cx);
        w.prev_hp = measure_hp(cx);
        const std::int32_t first = mean_down(w.cur_hp, w.prev_hp);
        w.bit0_ref = first;
        do {
            w.cur_hp = measure_hp(cx);
            w.prev_hp = measure_hp(cx);
            w.pair_mean = mean_down(w.cur_hp, w.prev_hp);
        } while (percent_diff(w.pair_mean, first) <= cx.settings.bit_difference_pct &&
                 w.sample_pos < cx.samples.sample_count());
        if (w.pair_mean < first) {
            w.bit1_ref = first;
            w.bit0_ref = w.pair_mean;
        } else {
            w.bit1_ref = w.pair_mean;
        }
    }
    w.middle_hp = middle_of(w.bit0_ref, w.bit1_ref);
}

int decide_bit(Context& cx, std::int32_t pair_sum) {
    WorkingRecord& w = cx.work;
    if (cx.settings.middle_value) {
        w.pair_mean = mean_up(pair_sum, 0);
        return w.pair_mean > w.middle_hp ? 1 : 0;
    }
    w.pair_mean = mean_down(pair_sum, 0);
    const std::int64_t to0 = std::llabs(std::int64_t{w.pair_mean} - w.bit0_ref);
    const std::int64_t to1 = std::llabs(std::int64_t{w.pair_mean} - w.bit1_ref);
    return to0 > to1 ? 1 : 0;  // equal distances give 0
}

void account_bit(Context& cx, int bit, std::int32_t pair_sum) {
    WorkingRecord& w = cx.work;
    double& sum = bit ? w.one_sum : w.zero_sum;
    std::int32_t& count = bit ? w.one_count : w.zero_count;
    std::int32_t& ref = bit ? w.bit1_ref : w.bit0_ref;
    sum += pair_sum;
    count += 2;
    w.last_bit = bit;
    if (cx.settings.alternative_bits && count > 2) {
        // The reference follows the running mean of the bits of this value so far.
        ref = trunc_i32(sum / count + 0.5);
        if (cx.settings.middle_value) w.middle_hp = middle_of(w.bit0_ref, w.bit1_ref);
    }
}

bool store_bit(Context& cx, int bit) {
    WorkingRecord& w = cx.work;
    std::uint8_t& byte = w.block_data[static_cast<std::size_t>(w.block_length)];
    byte = static_cast<std::uint8_t>(byte * 2 + bit);
    if (++w.last_byte_bits < 8) return false;
    ++w.block_length;
    w.last_byte_bits = 0;
    if (w.block_length < kBlockDataSize) w.block_data[static_cast<std::size_t>(w.block_length)] = 0;
    return true;
}

void finish_partial_byte(Context& cx, std::int32_t bit_count) {
    WorkingRecord& w = cx.work;
    if (bit_count == 0) {
        w.last_byte_bits = 8;
        return;
    }
    // The partial byte counts, its bits moved to the top.
    std::uint8_t& byte = w.block_data[static_cast<std::size_t>(w.block_length)];
    byte = static_cast<std::uint8_t>(byte << (8 - bit_count));
    ++w.block_length;
    w.last_byte_bits = bit_count;
    if (cx.settings.ignore_partial_byte) {
        --w.block_length;
        w.last_byte_bits = 8;
    }
}

void start_block(Context& cx) {
    WorkingRecord& w = cx.work;
    w.block_data[0] = 0;
    w.block_length = 0;
    w.last_byte_bits = 0;
    w.zero_count = w.one_count = 0;
    w.zero_sum = w.one_sum = 0.0;
}

namespace {

// A header is 19 bytes with a flag byte of 0 and a good checksum. Only such a first block
// ends at its checksum; any other first block ends as every later block does.
bool is_complete_header(const WorkingRecord& w, std::uint8_t running_xor) {
    return w.block_length == 19 && w.block_data[0] == 0 && running_xor == 0;
}

}  // namespace

bool measure_pair(Context& cx) {
    WorkingRecord& w = cx.work;
    w.prev_hp = measure_hp(cx);
    w.cur_hp = measure_hp(cx);
    // An HP of 0 is the end of the recording: a pair that reaches past it holds no bit.
    return w.prev_hp != 0 && w.cur_hp != 0;
}

bool is_glitch(const WorkingRecord& w) { return std::int64_t{w.prev_hp} + w.cur_hp < w.bit0_ref; }

bool merge_glitch(Context& cx) {
    WorkingRecord& w = cx.work;
    const std::int32_t third = measure_hp(cx);
    const std::int32_t fourth = measure_hp(cx);
    w.cur_hp = w.prev_hp + w.cur_hp + third;
    w.prev_hp = fourth;
    return third != 0 && fourth != 0;
}

bool read_bit_pair(Context& cx) {
    if (!measure_pair(cx)) return false;
    return !is_glitch(cx.work) || merge_glitch(cx);
}

void bit_decoder(Context& cx) {
    WorkingRecord& w = cx.work;
    const Settings& s = cx.settings;
    const std::int32_t count = cx.samples.sample_count();
    start_block(cx);
    // The exclusive-or of the completed bytes, so that the first-block rule costs nothing.
    std::uint8_t running_xor = 0;
    do {
        if (w.six_bit_mode && w.last_byte_bits == 6) break;
        if (!read_bit_pair(cx)) break;
        if (s.end_given && percent_diff(w.cur_hp, w.prev_hp) >= s.end_threshold_pct) break;
        if (w.block_count == 0 && is_complete_header(w, running_xor)) break;
        if (!s.end_given && !w.six_bit_mode) {
            const std::int32_t limit = trunc_i32(w.bit1_ref * 1.4);
            if (w.cur_hp > limit || w.prev_hp > limit) break;
        }
        if (w.block_length >= kBlockDataSize) break;  // the block buffer is full
        const std::int32_t pair_sum = w.prev_hp + w.cur_hp;
        const int bit = decide_bit(cx, pair_sum);
        account_bit(cx, bit, pair_sum);
        if (store_bit(cx, bit)) running_xor ^= w.block_data[static_cast<std::size_t>(w.block_length - 1)];
    } while (w.sample_pos < count);

    const std::int32_t bit_count = w.last_byte_bits;
    w.no_block_pending = bit_count == 0 && w.block_length == 0;
    if (!w.no_block_pending) finish_partial_byte(cx, bit_count);
}

}  // namespace kvr
