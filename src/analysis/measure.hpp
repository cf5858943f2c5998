// The arithmetic that decides which lengths count as equal everywhere else: percentages,
// means, T-states and the checksum. Plain values in, plain values out.
#pragma once

#include <cmath>
#include <cstdint>

#include "core/arithmetic.hpp"

namespace kvr {

// The difference of two lengths in whole percent of the larger, less one half, truncated.
// It decides every comparison of lengths, so it is inline.
inline std::int32_t percent_diff(std::int32_t a, std::int32_t b) {
    if (a == 0 && b == 0) return 0;
    const double hi = a > b ? a : b;
    const double lo = a > b ? b : a;
    // The 0.5 is added to a value that is zero or negative, so the result is the exact
    // percentage less one half, truncated: 20 % gives 19, 36.5 % gives 36.
    const double r = std::trunc((lo - hi) / hi * 100.0 + 0.5);
    const double magnitude = std::fabs(r);
    return std::isnan(magnitude) ? 0 : (magnitude >= 2147483647.0 ? INT32_MAX : static_cast<std::int32_t>(magnitude));
}

// Samples per T-state of the 3.5 MHz clock at a sample rate.
double samples_per_tstate(std::int32_t sample_rate);
// A length in samples as T-states, rounded.
std::int32_t to_tstates(double samples, double samples_per_tstate);
// The mean of `count` lengths summing to `sum` samples, in T-states; 0 for no lengths.
std::int32_t mean_to_tstates(double sum, std::int32_t count, double samples_per_tstate);
// T-states as a reference length in samples, truncated.
std::int32_t tstates_to_samples(double tstates, double samples_per_tstate);

// '*' when the exclusive-or of the n bytes is 0 (the last byte checks the others), '-'
// otherwise and for no bytes.
char xor_check(const std::uint8_t* bytes, std::int32_t n);

// The integer mean of two HPs rounded down and rounded up.
inline std::int32_t mean_down(std::int32_t a, std::int32_t b) {
    return trunc_i32((static_cast<double>(a) + b + 0.5) * 0.5);
}
inline std::int32_t mean_up(std::int32_t a, std::int32_t b) {
    return trunc_i32((static_cast<double>(a) + b + 1.0) * 0.5);
}
// The dividing length between the 0 and 1 references.
std::int32_t middle_of(std::int32_t bit0_ref, std::int32_t bit1_ref);

}  // namespace kvr
