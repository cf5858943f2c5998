#include "analysis/measure.hpp"

#include <cmath>

namespace kvr {

double samples_per_tstate(std::int32_t sample_rate) { return sample_rate * 2.857142857142857e-7; }

std::int32_t to_tstates(double samples, double samples_per_tstate) {
    return trunc_i32(samples / samples_per_tstate + 0.5);
}

std::int32_t mean_to_tstates(double sum, std::int32_t count, double samples_per_tstate) {
    if (count == 0) return 0;
    return trunc_i32(sum / count / samples_per_tstate + 0.5);
}

std::int32_t tstates_to_samples(double tstates, double samples_per_tstate) {
    return trunc_i32(samples_per_tstate * tstates);
}

char xor_check(const std::uint8_t* bytes, std::int32_t n) {
    if (n <= 0) return '-';  // an empty block has no checksum byte
    std::uint8_t x = 0;
    for (std::int32_t i = 0; i + 1 < n; ++i) x ^= bytes[i];
    return x == bytes[n - 1] ? '*' : '-';
}

std::int32_t middle_of(std::int32_t bit0_ref, std::int32_t bit1_ref) {
    const double half = std::trunc((static_cast<double>(bit1_ref) - bit0_ref + 1.0) * 0.5);
    return trunc_i32(bit1_ref - half);
}

}  // namespace kvr
