#include "analysis/hp_cursor.hpp"

#include <bit>
#include <cstring>

#include "analysis/measure.hpp"

namespace kvr {

HpCursor::HpCursor(const std::int8_t* samples, std::int32_t count, std::int32_t sample_rate)
    : data_(samples), count_(count), rate_(sample_rate), samples_per_tstate_(kvr::samples_per_tstate(sample_rate)) {}

std::int32_t HpCursor::measure() {
    const std::int32_t start = pos < 0 ? 0 : pos;
    hp_start = start;
    if (start >= count_) return 0;
    const bool low = data_[start] < 0;
    std::int32_t p = start + 1;
    // Eight samples at a time: the sign bits that differ from the HP's level mark its end.
    constexpr std::uint64_t kSigns = 0x8080808080808080ULL;
    const std::uint64_t level = low ? kSigns : 0;
    while (std::endian::native == std::endian::little && count_ - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, data_ + p, 8);
        const std::uint64_t changed = (word & kSigns) ^ level;
        if (changed != 0) {
            p += std::countr_zero(changed) / 8;
            pos = p;
            return p - start;
        }
        p += 8;
    }
    while (p < count_ && (data_[p] < 0) == low) ++p;
    pos = p;
    return p - start;
}

void HpCursor::skip(int n) {
    std::int32_t last = cur;
    for (int i = 0; i < n; ++i) last = measure();
    if (n != 1) cur = last;
}

}  // namespace kvr
