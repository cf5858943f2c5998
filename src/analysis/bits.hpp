// Data bits: learning the 0 and 1 lengths by look-ahead, reading bit pairs into bytes, and
// the bit timings that follow from the lengths read.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "analysis/hp_cursor.hpp"
#include "analysis/measure.hpp"
#include "core/settings.hpp"

namespace kvr {

// The bytes one block may hold. Every read of a conversion fills one buffer of this size.
inline constexpr std::int32_t kBlockDataSize = 131072;

// A block ends at an HP longer than this many times the 1 reference.
inline constexpr double kBlockEndFactor = 1.4;

// The reference lengths a pair of HPs is judged against, in samples.
struct BitRefs {
    std::int32_t bit0 = 0;
    std::int32_t bit1 = 0;
    std::int32_t middle = 0;  // the dividing length of the middle-value rule
};

// The references of fixed bit timings in T-states.
BitRefs fixed_bit_refs(std::int32_t bit0_tstates, std::int32_t bit1_tstates, double samples_per_tstate);

// Learns the references from the first bits ahead (or takes the ROM timings); the cursor
// is left after the look-ahead, for the caller to set back.
BitRefs measure_bit_refs(HpCursor& c, const Settings& s);

// What one read of bits gave: its bytes are in the buffer.
struct BitRead {
    bool decoded = false;             // at least one bit
    std::int32_t length = 0;          // bytes, a partial last one included
    std::int32_t last_byte_bits = 0;  // used bits of the last byte (the bits in the byte being filled while reading)
    double zero_sum = 0.0;            // the HP lengths of all 0 bits and of all 1 bits
    double one_sum = 0.0;
    std::int32_t zero_count = 0;      // the HPs summed, two per bit
    std::int32_t one_count = 0;
};

// The pieces of a read, for the readers of this module and of the loaders: HP pairs from
// the cursor, bits judged against the references, and bytes filled in the buffer. A byte
// that a read does not reach keeps what an earlier read left there.
// All of it is inline: a reader whose address reached a call could be changed by any byte
// stored in the buffer, and its sums would then go through memory for every bit.
struct BitReader {
    HpCursor& c;
    BitRefs& refs;
    const Settings& s;
    std::uint8_t* buffer;  // kBlockDataSize bytes
    BitRead read;

    // An empty block: no bytes, no bits, no sums.
    void start() {
        buffer[0] = 0;
        read = BitRead{};
    }
    // The next two HPs into c.prev and c.cur; false when the recording ends inside them.
    bool measure_pair() {
        c.prev = c.measure();
        c.cur = c.measure();
        // An HP of 0 is the end of the recording: a pair that reaches past it holds no bit.
        return c.prev != 0 && c.cur != 0;
    }
    // A pair too short for a bit is a glitch, merged with the two HPs after it (false when
    // the recording ends inside those).
    bool is_glitch() const { return std::int64_t{c.prev} + c.cur < refs.bit0; }
    bool merge_glitch() {
        const std::int32_t third = c.measure();
        const std::int32_t fourth = c.measure();
        c.cur = c.prev + c.cur + third;
        c.prev = fourth;
        return third != 0 && fourth != 0;
    }
    // A pair with its glitch merged; false when the recording ends inside it.
    bool read_pair() { return measure_pair() && (!is_glitch() || merge_glitch()); }
    // Data bits are random, so nothing here branches on the bit: a branch would be
    // mispredicted for every other bit.
    int decide(std::int32_t pair_sum) const {
        if (s.middle_value) return static_cast<int>(mean_up(pair_sum, 0) > refs.middle);
        const std::int32_t pair_mean = mean_down(pair_sum, 0);
        const std::int64_t to0 = std::llabs(std::int64_t{pair_mean} - refs.bit0);
        const std::int64_t to1 = std::llabs(std::int64_t{pair_mean} - refs.bit1);
        return static_cast<int>(to0 > to1);  // equal distances give 0
    }
    // Adds the pair to the sums; with "/alter" the reference follows their running mean.
    // Both sums take a term, the other bit's 0: adding 0 leaves a sum as it was (the sums
    // are never -0).
    void account(int bit, std::int32_t pair_sum) {
        const std::int32_t to_one = pair_sum & -bit;
        read.zero_sum += pair_sum - to_one;
        read.one_sum += to_one;
        read.zero_count += 2 - 2 * bit;
        read.one_count += 2 * bit;
        if (s.alternative_bits && (bit ? read.one_count : read.zero_count) > 2) follow_mean(bit);
    }
    // Shifts the bit in; true when it completed a byte.
    bool store(int bit) {
        std::uint8_t& byte = buffer[read.length];
        byte = static_cast<std::uint8_t>(byte * 2 + bit);
        if (++read.last_byte_bits < 8) return false;
        ++read.length;
        read.last_byte_bits = 0;
        if (read.length < kBlockDataSize) buffer[read.length] = 0;
        return true;
    }
    bool full() const { return read.length >= kBlockDataSize; }
    // The reference of a bit value becomes the running mean of its HPs so far.
    void follow_mean(int bit) {
        const double sum = bit ? read.one_sum : read.zero_sum;
        const std::int32_t count = bit ? read.one_count : read.zero_count;
        (bit ? refs.bit1 : refs.bit0) = trunc_i32(sum / count + 0.5);
        if (s.middle_value) refs.middle = middle_of(refs.bit0, refs.bit1);
    }
    // Ends the read: a partial last byte counts, its bits moved to the top (or is dropped
    // with "/ignore").
    void finish_partial_byte() {
        const std::int32_t bit_count = read.last_byte_bits;
        if (bit_count == 0) {
            read.last_byte_bits = 8;
            return;
        }
        std::uint8_t& byte = buffer[read.length];
        byte = static_cast<std::uint8_t>(byte << (8 - bit_count));
        ++read.length;
        read.last_byte_bits = bit_count;
        if (s.ignore_partial_byte) {
            --read.length;
            read.last_byte_bits = 8;
        }
    }
};

struct ReadMode {
    bool first_block = false;  // the first block of a run also ends at a complete header
    bool six_bits = false;     // stop after six bits, whatever their lengths
};

// Reads bit pairs into bytes until the block ends: at a long HP, at a pair whose halves
// differ (with "/end"), at the end of a first header, or at the end of the recording. The
// cursor is left after the pair that ended the block, which c.prev and c.cur hold.
BitRead read_bits(HpCursor& c, BitRefs& refs, const Settings& s, std::uint8_t* buffer, ReadMode mode);

// The bit timings of a read in T-states, from the mean HP of each value. A value that
// never occurred follows from the other 1 : 2.
struct BitPulses {
    std::int32_t bit0 = 0;
    std::int32_t bit1 = 0;
};
BitPulses bit_pulses(const BitRead& read, double samples_per_tstate);
// Makes the 1 bit twice the 0 bit, sharing the difference between the two.
void approximate_bits(BitPulses& bits);

}  // namespace kvr
