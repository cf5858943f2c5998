#include "frontend/trigger.hpp"

#include <algorithm>
#include <bit>

#include "kernels/kernels.hpp"

namespace kvr {

namespace {

constexpr std::size_t kWord = kernels::kWordFrames;

// The facts of frames z[i, i + kWord), i a multiple of kBlock, of which the first `count` exist.
kernels::FrameBits frame_bits(kernels::FrameBitsForm form, const float* z, std::size_t i, std::size_t count,
                              const Conditioned& c) {
    return form(z + i, count, c.threshold.data() + i / kBlock, c.quiet.data() + i / kBlock);
}

std::uint64_t bits_from(std::size_t k) { return k >= kWord ? 0 : ~std::uint64_t{0} << k; }
std::uint64_t bits_through(std::size_t k) { return k + 1 >= kWord ? ~std::uint64_t{0} : (std::uint64_t{1} << (k + 1)) - 1; }
std::size_t highest(std::uint64_t bits) { return kWord - 1 - static_cast<std::size_t>(std::countl_zero(bits)); }

}  // namespace

// Word by word: the frames that cross the baseline and those beyond the thresholds are
// found for 64 frames at once, and only the flips are then followed one by one.
void decide(const float* z, std::size_t size, const Conditioned& c, std::uint64_t first, std::uint64_t from,
            std::uint64_t to, TriggerState& t, std::vector<std::int32_t>& edges) {
    if (from >= to) return;
    const std::size_t start = static_cast<std::size_t>(from - first), end = static_cast<std::size_t>(to - first);
    if (t.level == 0) t.level = z[start] >= 0 ? 1 : -1;
    // The frame before the first; at the first frame of all, that frame itself, which
    // crosses nothing.
    const float before = start > 0 ? z[start - 1] : z[start];
    std::uint64_t carry_not_positive = before <= 0, carry_not_negative = before >= 0;
    const kernels::FrameBitsForm form = kernels::frame_bits_form();
    for (std::size_t w = start / kWord * kWord; w < end; w += kWord) {
        const kernels::FrameBits f = frame_bits(form, z, w, std::min(kWord, size - w), c);
        const std::uint64_t valid = bits_from(start > w ? start - w : 0) & ~bits_from(end - w);
        const std::uint64_t ups = ((f.not_positive << 1) | carry_not_positive) & f.positive & valid;
        const std::uint64_t downs = ((f.not_negative << 1) | carry_not_negative) & f.negative & valid;
        carry_not_positive = f.not_positive >> (kWord - 1);
        carry_not_negative = f.not_negative >> (kWord - 1);
        const std::uint64_t base = first + w;
        for (std::size_t from_bit = 0;;) {
            const std::uint64_t flips = (t.level < 0 ? f.above : f.below) & valid & bits_from(from_bit);
            if (flips == 0) break;
            const auto k = static_cast<std::size_t>(std::countr_zero(flips));
            const std::uint64_t crossings = (t.level < 0 ? ups : downs) & bits_through(k);
            const std::uint64_t crossed = crossings != 0 ? base + highest(crossings) : (t.level < 0 ? t.up : t.down);
            const std::uint64_t g = base + k;
            edges.push_back(static_cast<std::int32_t>(std::min(std::max(crossed, t.last_flip + 1), g)));
            t.level = static_cast<std::int8_t>(-t.level);
            t.last_flip = g;
            from_bit = k + 1;
        }
        if (ups != 0) t.up = base + highest(ups);
        if (downs != 0) t.down = base + highest(downs);
    }
}

}  // namespace kvr
