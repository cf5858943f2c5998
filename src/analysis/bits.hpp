// Data bits: learning the 0 and 1 lengths by look-ahead, reading bit pairs into bytes, and
// the bit timings that follow from the lengths read.
#pragma once

#include <cstdint>

#include "analysis/hp_cursor.hpp"
#include "core/settings.hpp"

namespace kvr {

// The bytes one block may hold. Every read of a conversion fills one buffer of this size.
inline constexpr std::int32_t kBlockDataSize = 131072;

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
struct BitReader {
    HpCursor& c;
    BitRefs& refs;
    const Settings& s;
    std::uint8_t* buffer;  // kBlockDataSize bytes
    BitRead read;

    // An empty block: no bytes, no bits, no sums.
    void start();
    // The next two HPs into c.prev and c.cur; false when the recording ends inside them.
    bool measure_pair();
    // A pair too short for a bit is a glitch, merged with the two HPs after it (false when
    // the recording ends inside those).
    bool is_glitch() const;
    bool merge_glitch();
    // A pair with its glitch merged; false when the recording ends inside it.
    bool read_pair();
    int decide(std::int32_t pair_sum) const;
    // Adds the pair to the sums; with "/alter" the reference follows their running mean.
    void account(int bit, std::int32_t pair_sum);
    // Shifts the bit in; true when it completed a byte.
    bool store(int bit);
    bool full() const { return read.length >= kBlockDataSize; }
    // Ends the read: a partial last byte counts, its bits moved to the top (or is dropped
    // with "/ignore").
    void finish_partial_byte();
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
