#include "recovery/bit_mending.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace kvr {

namespace {

// A bit is changed to mend a checksum only when its decision was this weak, and clearly the
// weakest of its place in the bytes; at most this many bits a block.
constexpr float kMendConfidence = 6.0f;
constexpr float kMendMargin = 1.0f;
constexpr int kMostMended = 4;

// Whether the bits to change are pairs of neighbours of unlike values: each pair a 1 0 read as
// 0 1 or the other way, which lasts as long either way. Changing one bit alone makes the
// data 2 short half-periods longer or shorter, against where the signal put the bits after it:
// a reading that lost its step there (a 1 read as two 0s, in a dropout) is not mended but made
// wrong, its checksum then holding by chance: two wrong readings in three have an exclusive-or
// of four set bits or fewer, which changing as many weak bits always makes hold.
bool swaps_only(std::vector<std::size_t> bits, const demod::DataReading& data) {
    std::sort(bits.begin(), bits.end());
    if (bits.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < bits.size(); i += 2)
        if (bits[i + 1] != bits[i] + 1 || data.bits[bits[i]].value == data.bits[bits[i + 1]].value) return false;
    return true;
}

}  // namespace

// Changes bit k of the data, and moves the bits after it by what its length changed.
void change_bit(demod::DataReading& data, std::size_t k) {
    demod::DecidedBit& b = data.bits[k];
    const double T = (b.end - b.start) / (b.value ? 4.0 : 2.0);
    b.value ^= 1;
    const double units = b.value ? 2.0 : 1.0;
    const double end = b.start + 2.0 * units * T;
    const double by = end - b.end;
    b.middle = b.start + units * T;
    b.end = end;
    for (std::size_t i = k + 1; i < data.bits.size(); ++i) data.bits[i].start += by, data.bits[i].middle += by, data.bits[i].end += by;
}

// The bits to change so that the block's bytes check out: for each bit place of the bytes
// that the exclusive-or says is wrong, the least confident bit of that place, when it is weak
// and the others of its place are clearly stronger. Empty when there is no such mend.
std::vector<std::size_t> bits_to_mend(const std::vector<std::uint8_t>& bytes, const demod::DataReading& data) {
    std::uint8_t x = 0;
    for (std::uint8_t v : bytes) x ^= v;
    const std::size_t bits = std::min(bytes.size() * 8, data.bits.size());
    if (x == 0 || std::popcount(x) > kMostMended) return {};
    std::vector<std::size_t> chosen;
    for (int place = 0; place < 8; ++place) {
        if (((x >> (7 - place)) & 1) == 0) continue;
        std::size_t weakest = bits;
        float first = 1e30f, second = 1e30f;
        for (std::size_t k = static_cast<std::size_t>(place); k < bits; k += 8) {
            const float c = std::fabs(data.bits[k].confidence);
            if (c < first) second = first, first = c, weakest = k;
            else if (c < second) second = c;
        }
        if (weakest == bits || first > kMendConfidence || second - first < kMendMargin) return {};
        chosen.push_back(weakest);
    }
    return swaps_only(chosen, data) ? chosen : std::vector<std::size_t>{};
}

}  // namespace kvr
