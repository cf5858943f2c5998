#include "analysis/bits.hpp"

#include <algorithm>

#include "analysis/measure.hpp"
#include "formats/kvr_image.hpp"

namespace kvr {

BitRefs fixed_bit_refs(std::int32_t bit0_tstates, std::int32_t bit1_tstates, double samples_per_tstate) {
    BitRefs refs;
    refs.bit0 = tstates_to_samples(bit0_tstates, samples_per_tstate);
    refs.bit1 = tstates_to_samples(bit1_tstates, samples_per_tstate);
    refs.middle = middle_of(refs.bit0, refs.bit1);
    return refs;
}

namespace {

// The sums of two HPs whose pair mean (the sum halved, rounded down) differs from `first`
// by at most `pct` percent: [lo, hi]. Empty (lo > hi) when not even `first` itself does.
// The difference grows as the mean moves away from `first` on either side, so each bound
// is found by bisection.
void pair_sums_within(std::int32_t first, std::int32_t pct, std::int64_t& lo, std::int64_t& hi) {
    lo = 1;
    hi = 0;
    if (first < 0 || percent_diff(first, first) > pct) return;
    std::int64_t a = 0, b = first;  // the smallest mean within lies in [a, b]
    while (a < b) {
        const std::int64_t m = (a + b) / 2;
        if (percent_diff(static_cast<std::int32_t>(m), first) <= pct) b = m; else a = m + 1;
    }
    lo = 2 * a;
    a = first;
    b = INT32_MAX / 2;  // the largest mean within lies in [a, b]
    while (a < b) {
        const std::int64_t m = (a + b + 1) / 2;
        if (percent_diff(static_cast<std::int32_t>(m), first) <= pct) a = m; else b = m - 1;
    }
    hi = 2 * a + 1;
}

}  // namespace

BitRefs measure_bit_refs(HpCursor& c, const Settings& s) {
    if (s.rom_bit_timings) return fixed_bit_refs(image::kRomBit0, image::kRomBit1, c.samples_per_tstate());
    BitRefs refs;
    c.cur = c.measure();
    c.prev = c.measure();
    const std::int32_t first = mean_down(c.cur, c.prev);
    refs.bit0 = first;
    // The pairs that cannot end the search are passed over in one step: on a signal whose
    // pairs never differ, a search per block would otherwise run to the end every time.
    std::int64_t lo, hi;
    pair_sums_within(first, s.bit_difference_pct, lo, hi);
    if (lo <= hi)
        c.skip_pairs_within(static_cast<std::int32_t>(std::min<std::int64_t>(lo, INT32_MAX)),
                            static_cast<std::int32_t>(std::min<std::int64_t>(hi, INT32_MAX)));
    std::int32_t pair_mean;
    do {
        c.cur = c.measure();
        c.prev = c.measure();
        pair_mean = mean_down(c.cur, c.prev);
    } while (percent_diff(pair_mean, first) <= s.bit_difference_pct && c.pos < c.count());
    if (pair_mean < first) {
        refs.bit1 = first;
        refs.bit0 = pair_mean;
    } else {
        refs.bit1 = pair_mean;
    }
    refs.middle = middle_of(refs.bit0, refs.bit1);
    return refs;
}

namespace {

// A header is 19 bytes with a flag byte of 0 and a good checksum. Only such a first block
// ends at its checksum; any other first block ends as every later block does.
bool is_complete_header(const BitReader& r, std::uint8_t running_xor) {
    return r.read.length == 19 && r.buffer[0] == 0 && running_xor == 0;
}

// The longest HP that a block goes on after: kBlockEndFactor times the 1 reference. Only "/alter"
// changes the reference while reading, so the product is worked out again only when it
// has changed.
class LongHpLimit {
public:
    std::int32_t of(std::int32_t bit1) {
        if (bit1 != bit1_) {
            bit1_ = bit1;
            limit_ = trunc_i32(bit1 * kBlockEndFactor);
        }
        return limit_;
    }

private:
    std::int32_t bit1_ = 0;
    std::int32_t limit_ = 0;  // trunc_i32(0 * 1.4)
};

}  // namespace

BitRead read_bits(HpCursor& c, BitRefs& refs, const Settings& s, std::uint8_t* buffer, ReadMode mode) {
    BitReader r{c, refs, s, buffer, {}};
    r.start();
    // The exclusive-or of the completed bytes, so that the first-block rule costs nothing.
    std::uint8_t running_xor = 0;
    LongHpLimit long_hp;
    do {
        if (mode.six_bits && r.read.last_byte_bits == 6) break;
        if (!r.read_pair()) break;
        if (s.end_given && percent_diff_at_least(c.cur, c.prev, s.end_threshold_pct)) break;
        if (mode.first_block && is_complete_header(r, running_xor)) break;
        if (!s.end_given && !mode.six_bits) {
            const std::int32_t limit = long_hp.of(refs.bit1);
            if (c.cur > limit || c.prev > limit) break;
        }
        if (r.full()) break;
        const std::int32_t pair_sum = c.prev + c.cur;
        const int bit = r.decide(pair_sum);
        r.account(bit, pair_sum);
        if (r.store(bit)) running_xor ^= buffer[r.read.length - 1];
    } while (c.pos < c.count());

    r.read.decoded = r.read.last_byte_bits != 0 || r.read.length != 0;
    if (r.read.decoded) r.finish_partial_byte();
    return r.read;
}

BitPulses bit_pulses(const BitRead& read, double samples_per_tstate) {
    BitPulses bits;
    bits.bit0 = mean_to_tstates(read.zero_sum, read.zero_count, samples_per_tstate);
    bits.bit1 = mean_to_tstates(read.one_sum, read.one_count, samples_per_tstate);
    if (read.zero_count == 0 && read.one_count != 0) bits.bit0 = bits.bit1 / 2;
    if (read.one_count == 0 && read.zero_count != 0) bits.bit1 = saturate(std::int64_t{bits.bit0} * 2);
    return bits;
}

void approximate_bits(BitPulses& bits) {
    const std::int32_t delta = saturate(std::int64_t{bits.bit1} - 2 * std::int64_t{bits.bit0});
    bits.bit0 = saturate(bits.bit0 + std::int64_t{delta} / 4);
    bits.bit1 = saturate(bits.bit1 - std::int64_t{delta} / 2);
}

}  // namespace kvr
