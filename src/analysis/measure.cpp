// Half-periods, percentages, T-states and checksums: the arithmetic that decides which
// lengths count as equal everywhere else.
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdlib>

#include "context.hpp"

namespace kvr {

std::int32_t measure_hp(Context& cx) {
    WorkingRecord& w = cx.work;
    const std::int32_t count = cx.samples.sample_count();
    const std::int32_t start = w.sample_pos < 0 ? 0 : w.sample_pos;
    w.hp_start = start;
    if (start >= count) return 0;
    const std::int8_t* data = cx.samples.sample_data.data();
    const bool low = data[start] < 0;
    std::int32_t pos = start + 1;
    // Eight samples at a time: the sign bits that differ from the HP's level mark its end.
    constexpr std::uint64_t kSigns = 0x8080808080808080ULL;
    const std::uint64_t level = low ? kSigns : 0;
    while (std::endian::native == std::endian::little && count - pos >= 8) {
        std::uint64_t word;
        std::memcpy(&word, data + pos, 8);
        const std::uint64_t changed = (word & kSigns) ^ level;
        if (changed != 0) {
            pos += std::countr_zero(changed) / 8;
            w.sample_pos = pos;
            return pos - start;
        }
        pos += 8;
    }
    while (pos < count && (data[pos] < 0) == low) ++pos;
    w.sample_pos = pos;
    return pos - start;
}

void skip_hps(Context& cx, int n) {
    std::int32_t last = cx.work.cur_hp;
    for (int i = 0; i < n; ++i) last = measure_hp(cx);
    if (n != 1) cx.work.cur_hp = last;
}

std::int32_t percent_diff(std::int32_t a, std::int32_t b) {
    if (a == 0 && b == 0) return 0;
    const double hi = a > b ? a : b;
    const double lo = a > b ? b : a;
    // The 0.5 is added to a value that is zero or negative, so the result is the exact
    // percentage less one half, truncated: 20 % gives 19, 36.5 % gives 36.
    const double r = std::trunc((lo - hi) / hi * 100.0 + 0.5);
    const double magnitude = std::fabs(r);
    return std::isnan(magnitude) ? 0 : (magnitude >= 2147483647.0 ? INT32_MAX : static_cast<std::int32_t>(magnitude));
}

std::int32_t to_tstates(Context& cx, double samples) {
    return trunc_i32(samples / cx.work.samples_per_tstate + 0.5);
}

std::int32_t mean_to_tstates(Context& cx, double sum, std::int32_t count) {
    if (count == 0) return 0;
    return trunc_i32(sum / count / cx.work.samples_per_tstate + 0.5);
}

std::int32_t tstates_to_samples(Context& cx, double tstates) {
    return trunc_i32(cx.work.samples_per_tstate * tstates);
}

char xor_check(Context& cx, std::int32_t n) {
    if (n <= 0) return '-';  // an empty block has no checksum byte
    std::uint8_t x = 0;
    const std::uint8_t* data = cx.work.block_data.data();
    for (std::int32_t i = 0; i + 1 < n; ++i) x ^= data[i];
    return x == data[n - 1] ? '*' : '-';
}

std::int32_t mean_down(std::int32_t a, std::int32_t b) {
    return trunc_i32((static_cast<double>(a) + b + 0.5) * 0.5);
}

std::int32_t mean_up(std::int32_t a, std::int32_t b) {
    return trunc_i32((static_cast<double>(a) + b + 1.0) * 0.5);
}

std::int32_t middle_of(std::int32_t bit0_ref, std::int32_t bit1_ref) {
    const double half = std::trunc((static_cast<double>(bit1_ref) - bit0_ref + 1.0) * 0.5);
    return trunc_i32(bit1_ref - half);
}

}  // namespace kvr
