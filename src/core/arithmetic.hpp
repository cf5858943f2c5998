// Conversions of numbers that must never overflow: every double that becomes an integer,
// and every wide integer that must fit 32 bits, goes through these.
#pragma once

#include <cstdint>

namespace kvr {

// Truncates toward zero; values beyond the range of int32 saturate, NaN gives 0.
std::int32_t trunc_i32(double value);
std::int32_t saturate(std::int64_t value);

}  // namespace kvr
