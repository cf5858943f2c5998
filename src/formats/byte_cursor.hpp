// Little-endian reads from a span, each checked against the bytes really there.
#pragma once

#include <cstdint>
#include <span>

namespace kvr {

struct ByteCursor {
    std::span<const std::uint8_t> bytes;
    std::uint64_t pos = 0;

    std::uint64_t left() const { return pos < bytes.size() ? bytes.size() - pos : 0; }
    bool has(std::uint64_t n) const { return left() >= n; }
    const std::uint8_t* here() const { return bytes.data() + pos; }

    // The `width` bytes (1 to 4) at `at`, little-endian. A byte that is not there reads as
    // 0, so that no read ever leaves the span; callers check has() where it matters.
    std::uint32_t le(std::uint64_t at, int width) const {
        std::uint32_t v = 0;
        for (int i = (width < 4 ? width : 4) - 1; i >= 0; --i) {
            const std::uint64_t p = at + static_cast<unsigned>(i);
            v = (v << 8) | (p >= at && p < bytes.size() ? bytes[p] : 0u);
        }
        return v;
    }
    // Reads `width` bytes (1 to 4) at the cursor, or returns false without moving.
    bool read(int width, std::uint32_t& out) {
        if (!has(static_cast<std::uint64_t>(width))) return false;
        out = le(pos, width);
        pos += static_cast<std::uint64_t>(width);
        return true;
    }
};

}  // namespace kvr
