#include "report_page/weak_bits.hpp"

#include <algorithm>
#include <numeric>

#include "core/byte_bits.hpp"

namespace kvr {

WeakBits weakest_bits(const FoundBlock& found, std::size_t most) {
    WeakBits out;
    const std::vector<std::uint8_t>* bytes = &found.block.data;
    const std::vector<float>* confidence = &found.confidence;
    if (confidence->empty() && found.soft) {
        bytes = &found.soft->bytes;
        confidence = &found.soft->confidence;
        out.of_failing_reading = true;
    }
    // Only the bits of whole bytes the reading holds: a reading may have decided a few past them.
    const std::size_t bits = std::min(confidence->size(), bytes->size() * 8);
    if (bits == 0) return out;
    std::vector<std::size_t> order(bits);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const std::size_t shown = std::min(most, bits);
    // Ties go to the earlier bit, so that the page is the same from run to run.
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(shown), order.end(),
                      [confidence](std::size_t a, std::size_t b) {
                          const float ca = (*confidence)[a], cb = (*confidence)[b];
                          return ca < cb || (ca == cb && a < b);
                      });
    const std::vector<std::uint8_t>& kept = found.block.data;
    for (std::size_t i = 0; i < shown; ++i) {
        const std::size_t k = order[i];
        WeakBit w;
        w.bit = static_cast<std::int32_t>(k);
        w.value = bit_of(*bytes, k) == 1;
        w.confidence = (*confidence)[k];
        // The mender sets a bit it changed to no confidence at all: it is no longer what was read.
        w.changed = !out.of_failing_reading && w.confidence == 0.0f;
        w.differs = out.of_failing_reading && k / 8 < kept.size() && (bit_of(kept, k) == 1) != w.value;
        out.bits.push_back(w);
    }
    return out;
}

}  // namespace kvr
