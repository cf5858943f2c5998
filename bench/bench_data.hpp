// Data blocks of the benchmarks: a flag byte, bytes of a fixed pseudo-random sequence, and the
// checksum, the same for every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

inline std::vector<std::uint8_t> with_checksum(std::uint8_t flag, std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> b{flag};
    unsigned x = seed;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b.push_back(static_cast<std::uint8_t>(x >> 16));
    }
    std::uint8_t c = 0;
    for (std::uint8_t v : b) c ^= v;
    b.push_back(c);
    return b;
}

}  // namespace bench
