// Conversions of numbers that must never overflow: every double that becomes an integer,
// and every wide integer that must fit 32 bits, goes through these. They run for every
// half-period, so they are inline.
#pragma once

#include <cmath>
#include <cstdint>

namespace kvr {

// Truncates toward zero; values beyond the range of int32 saturate, NaN gives 0.
inline std::int32_t trunc_i32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

inline std::int32_t saturate(std::int64_t v) {
    return static_cast<std::int32_t>(v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : v));
}

}  // namespace kvr
