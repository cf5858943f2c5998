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

// percent_diff(a, b) <= limit, without a division in nearly every case: the tone and bit
// loops ask it for every HP.
//
// Why the integer test gives the same answer: take 0 <= lo <= hi, hi > 0 and d = hi - lo.
// Exactly, percent_diff is trunc(0.5 - p) in magnitude with p = 100 d / hi in [0, 100],
// which is at most `limit` (0 or more) exactly when 0.5 - p > -(limit + 1), that is when
// 200 d < (2 limit + 3) hi. Both sides are integers, so when they differ, p lies at least
// 1 / (2 hi) >= 2^-32 from the boundary. The three roundings of the double formula (the
// quotient, the product by 100, the sum with 0.5) move its value by less than 2^-44 in
// all, far too little to cross the boundary: it decides as the exact value does. Only at
// equality, and outside these ranges, is the double formula itself asked.
inline bool percent_diff_at_most(std::int32_t a, std::int32_t b, std::int32_t limit) {
    const std::int32_t hi = a > b ? a : b;
    const std::int32_t lo = a > b ? b : a;
    if (lo >= 0 && hi > 0 && limit >= 0 && limit <= 100) {
        const std::int64_t scaled_diff = 200 * (std::int64_t{hi} - lo);
        const std::int64_t bound = (2 * std::int64_t{limit} + 3) * hi;
        if (scaled_diff != bound) return scaled_diff < bound;
    }
    return percent_diff(a, b) <= limit;
}

// percent_diff(a, b) >= limit, by the same test.
inline bool percent_diff_at_least(std::int32_t a, std::int32_t b, std::int32_t limit) {
    return limit == INT32_MIN || !percent_diff_at_most(a, b, limit - 1);
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

// The integer mean of two HPs rounded down and rounded up. For a sum of 0 or more the
// double formula is exact and equals the halving in integers (at most INT32_MAX, which is
// also where it saturates); only a negative sum, which truncates toward zero, takes it.
inline std::int32_t mean_down(std::int32_t a, std::int32_t b) {
    const std::int64_t sum = std::int64_t{a} + b;
    if (sum >= 0) return static_cast<std::int32_t>(sum >> 1);
    return trunc_i32((static_cast<double>(a) + b + 0.5) * 0.5);
}
inline std::int32_t mean_up(std::int32_t a, std::int32_t b) {
    const std::int64_t sum = std::int64_t{a} + b;
    if (sum >= 0) return static_cast<std::int32_t>((sum + 1) >> 1);
    return trunc_i32((static_cast<double>(a) + b + 1.0) * 0.5);
}
// The dividing length between the 0 and 1 references.
std::int32_t middle_of(std::int32_t bit0_ref, std::int32_t bit1_ref);

}  // namespace kvr
