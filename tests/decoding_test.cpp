// Pilot detection and bit decoding on hand-made half-periods.
#include <gtest/gtest.h>

#include "support.hpp"

namespace kvr::test {
namespace {

using Hps = std::vector<std::int32_t>;

Hps repeat(std::int32_t hp, int n) { return Hps(static_cast<std::size_t>(n), hp); }
Hps operator+(Hps a, const Hps& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::unique_ptr<Context> context_on(const Hps& hps, const Configure& configure = {}) {
    auto cx = fresh_context();
    if (configure) configure(cx->settings);
    cx->samples.sample_data = samples_from_hps(hps);
    cx->samples.sample_rate = 44100;
    cx->work.samples_per_tstate = 44100 * 2.857142857142857e-7;
    return cx;
}

// Two HPs per bit, first bit of each byte first.
Hps bit_hps(const ByteVec& bytes, std::int32_t zero, std::int32_t one, int last_bits = 8) {
    Hps out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int bits = i + 1 == bytes.size() ? last_bits : 8;
        for (int k = 0; k < bits; ++k) {
            const std::int32_t hp = ((bytes[i] >> (7 - k)) & 1) ? one : zero;
            out.push_back(hp);
            out.push_back(hp);
        }
    }
    return out;
}

TEST(PilotDetector, CountsTheToneWithoutItsOpeningPair) {
    auto found = [](int similar) {
        auto cx = context_on(repeat(20, similar) + repeat(8, 4));
        standard_pilot_detector(*cx);
        return std::make_pair(cx->work.block_found, cx->work.pilot_count);
    };
    EXPECT_EQ(found(52), std::make_pair(true, 50));
    EXPECT_EQ(found(51), std::make_pair(false, 49));
    auto cx = context_on(Hps{9, 30, 9} + repeat(20, 60) + repeat(8, 2));
    standard_pilot_detector(*cx);
    EXPECT_EQ(cx->work.pilot_start, 48);
    EXPECT_EQ(cx->work.prev_hp, 8);  // the HP that ended the tone: the first sync HP
    EXPECT_EQ(cx->work.pilot_sum, 20.0 * 58);
}

TEST(PilotDetector, ToleranceIsWholePercentLessAHalf) {
    auto count = [](std::int32_t odd) {
        auto cx = context_on(repeat(100, 10) + Hps{odd} + repeat(100, 60) + Hps{30});
        standard_pilot_detector(*cx);
        return cx->work.pilot_count;
    };
    EXPECT_EQ(count(64), 69);  // 36 % shorter: percent_diff 35, the tone goes on
    EXPECT_EQ(count(63), 8);   // 37 % shorter ends it
}

TEST(PilotDetector, BleepLoadNeedsLongTonesForTheFirstThreeBlocks) {
    auto found = [](int hps, int block_count) {
        auto cx = context_on(repeat(20, hps + 2) + repeat(5, 2), [](Settings& s) { s.bleepload = true; });
        cx->work.block_count = block_count;
        standard_pilot_detector(*cx);
        return cx->work.block_found;
    };
    EXPECT_FALSE(found(999, 0));
    EXPECT_TRUE(found(1000, 2));
    EXPECT_TRUE(found(50, 3));
}

TEST(PilotDetector, TwoTonesCountTheEndingHpInTheSecond) {
    auto cx = context_on(repeat(30, 80) + repeat(15, 52) + Hps{5, 7, 7});
    two_tone_pilot_detector(*cx);
    const WorkingRecord& w = cx->work;
    EXPECT_EQ(w.tone1_count, 80);  // the opening pair counts here, the first 15 does not
    EXPECT_EQ(w.tone1_sum, 30.0 * 80);
    EXPECT_EQ(w.pilot_count, 52);  // 15 x 50 counted after the reference pair, plus the 5
    EXPECT_EQ(w.pilot_sum, 15.0 * 51 + 5);
    EXPECT_TRUE(w.block_found);
    first_sync_measurement(*cx);
    EXPECT_EQ(w.sync1_pulse, to_tstates(*cx, 5));
}

Hps leader(int segments, int first, int others, std::int32_t hp = 20) {
    Hps out = repeat(hp, first);
    for (int i = 1; i < segments; ++i) out = out + Hps{6, 6} + repeat(hp, others);
    return out;
}

TEST(LeaderDetector, SegmentsSeparatedByClicks) {
    auto cx = context_on(Hps{3} + leader(21, 200, 200) + Hps{6, 6, 20, 200, 5});
    speedlock_leader_detector(*cx);
    const WorkingRecord& w = cx->work;
    ASSERT_TRUE(w.block_found);
    ASSERT_EQ(w.segment_count, 22);
    EXPECT_EQ(w.leader_segments[0], 200);
    EXPECT_EQ(w.leader_segments[20], 200);
    EXPECT_EQ(w.leader_segments[21], 1);  // the HP that followed the last click
    EXPECT_EQ(w.leader_pulse, to_tstates(*cx, 20));
    EXPECT_EQ(w.click_pulses[0], 715);

    auto short_first = context_on(Hps{3} + leader(21, 179, 200) + Hps{200});
    speedlock_leader_detector(*short_first);
    EXPECT_FALSE(short_first->work.block_found);

    auto few = context_on(Hps{3} + leader(19, 200, 200) + Hps{200});
    speedlock_leader_detector(*few);
    EXPECT_FALSE(few->work.block_found);
}

TEST(LeaderDetector, BoundsOfTheRunningMean) {
    // 26 is exactly 1.3 times the mean of 20: a leader HP; 16 is exactly 0.8 times: also.
    auto cx = context_on(Hps{3} + repeat(20, 100) + Hps{26, 16} + repeat(20, 100) + Hps{60});
    speedlock_leader_detector(*cx);
    EXPECT_EQ(cx->work.segment_count, 1);
    EXPECT_EQ(cx->work.leader_segments[0], 202);
}

TEST(LeaderDetector, SegmentsBeyondTheListAreNotRecorded) {
    auto cx = context_on(Hps{3} + leader(70, 200, 200) + Hps{200});
    speedlock_leader_detector(*cx);
    EXPECT_TRUE(cx->work.block_found);
    EXPECT_EQ(cx->work.segment_count, kLeaderSegmentsSize);
}

TEST(BitReference, LearnsTheTwoLengths) {
    auto cx = context_on(Hps{10, 10, 10, 10, 20, 20, 10, 10});
    bit_reference_measurement(*cx);
    EXPECT_EQ(cx->work.bit0_ref, 10);
    EXPECT_EQ(cx->work.bit1_ref, 20);
    EXPECT_EQ(cx->work.middle_hp, 15);
    auto rom = context_on(Hps{1}, [](Settings& s) { s.rom_bit_timings = true; });
    bit_reference_measurement(*rom);
    EXPECT_EQ(rom->work.bit0_ref, 10);  // 855 x 0.0126 = 10.77, truncated
    EXPECT_EQ(rom->work.bit1_ref, 21);
}

struct Decoded {
    ByteVec bytes;
    std::int32_t last_byte_bits;
    bool no_block;
};

Decoded decode(const Hps& hps, std::int32_t bit0_ref, std::int32_t bit1_ref, const Configure& configure = {},
               std::int32_t block_count = 1, bool six_bits = false) {
    auto cx = context_on(hps, configure);
    WorkingRecord& w = cx->work;
    w.bit0_ref = bit0_ref;
    w.bit1_ref = bit1_ref;
    w.middle_hp = middle_of(bit0_ref, bit1_ref);
    w.block_count = block_count;
    w.six_bit_mode = six_bits;
    bit_decoder(*cx);
    return {ByteVec(w.block_data.begin(), w.block_data.begin() + w.block_length), w.last_byte_bits, w.no_block_pending};
}

TEST(BitDecoder, DecidesEachPair) {
    auto first_bit = [](Hps pair, bool middle) {
        Decoded d = decode(pair + Hps{100, 100}, 10, 20, [&](Settings& s) { s.middle_value = middle; });
        return d.bytes.at(0) >> 7;
    };
    EXPECT_EQ(first_bit({15, 15}, false), 0);  // equal distances give 0
    EXPECT_EQ(first_bit({16, 15}, false), 0);
    EXPECT_EQ(first_bit({16, 16}, false), 1);
    EXPECT_EQ(first_bit({16, 15}, true), 1);  // the mean rounded up is above the middle
    EXPECT_EQ(first_bit({15, 15}, true), 0);
}

TEST(BitDecoder, MergesGlitchesAndEndsAtLongHps) {
    // 3 + 4 is too short for a bit: merged with the next two HPs into one pair 3+4+3, 10.
    Decoded merged = decode(Hps{3, 4, 3, 10} + bit_hps({0x00}, 10, 20, 7) + Hps{100}, 10, 20);
    EXPECT_EQ(merged.bytes, ByteVec{0x00});
    EXPECT_EQ(merged.last_byte_bits, 8);
    // With bit1_ref 21 the limit is 29: an HP of 29 is data, one of 30 ends the block.
    EXPECT_EQ(decode(Hps{29, 29, 30, 30}, 10, 21).bytes, ByteVec{0x80});
    EXPECT_TRUE(decode(Hps{30, 30, 10, 10}, 10, 21).no_block);
}

TEST(BitDecoder, PartialLastBytes) {
    const ByteVec two{0xA5, 0x3C};
    Decoded whole = decode(bit_hps(two, 10, 20) + Hps{100}, 10, 20);
    EXPECT_EQ(whole.bytes, two);
    EXPECT_EQ(whole.last_byte_bits, 8);
    Decoded partial = decode(bit_hps({0xA5, 0x3C, 0xA0}, 10, 20, 3) + Hps{100}, 10, 20);
    EXPECT_EQ(partial.bytes, (ByteVec{0xA5, 0x3C, 0xA0}));
    EXPECT_EQ(partial.last_byte_bits, 3);
    Decoded ignored = decode(bit_hps({0xA5, 0x3C, 0xA0}, 10, 20, 3) + Hps{100}, 10, 20,
                             [](Settings& s) { s.ignore_partial_byte = true; });
    EXPECT_EQ(ignored.bytes, two);
    EXPECT_EQ(ignored.last_byte_bits, 8);
    Decoded empty = decode(bit_hps({0x80}, 10, 20, 1) + Hps{100}, 10, 20, [](Settings& s) { s.ignore_partial_byte = true; });
    EXPECT_TRUE(empty.bytes.empty());
    EXPECT_FALSE(empty.no_block);
}

TEST(BitDecoder, FirstBlockEndsAtItsChecksum) {
    const ByteVec header = rom_header("GAME");
    const Hps hps = bit_hps(header, 10, 20) + bit_hps({0x12, 0x34}, 10, 20) + Hps{100};
    EXPECT_EQ(decode(hps, 10, 20, {}, 0).bytes, header);
    EXPECT_EQ(decode(hps, 10, 20, {}, 1).bytes.size(), 21u);
}

TEST(BitDecoder, EndSwitchAndSixBitMode) {
    const Hps hps = bit_hps({0xF0}, 10, 20) + Hps{10, 20, 10, 10};
    auto end_at = [&](int pct) {
        return decode(hps, 10, 20, [&](Settings& s) {
                   s.end_given = true;
                   s.end_threshold_pct = pct;
               }).bytes.size();
    };
    EXPECT_EQ(end_at(49), 1u);  // 10 against 20: percent_diff 49, the pair ends the block
    EXPECT_EQ(end_at(50), 2u);
    Decoded six = decode(bit_hps({0xB4}, 10, 20) + Hps{500, 500}, 10, 20, {}, 1, true);
    EXPECT_EQ(six.bytes, ByteVec{0xB4});
    EXPECT_EQ(six.last_byte_bits, 6);
}

TEST(BitDecoder, AlternativeBitsFollowTheRunningMean) {
    auto cx = context_on(Hps{12, 12, 12, 12, 14, 14, 100}, [](Settings& s) { s.alternative_bits = true; });
    cx->work.bit0_ref = 10;
    cx->work.bit1_ref = 20;
    cx->work.block_count = 1;
    bit_decoder(*cx);
    EXPECT_EQ(cx->work.bit0_ref, 13);  // (12 x 4 + 14 x 2) / 6 + 0.5
}

TEST(BitDecoder, FullBufferEndsTheBlock) {
    auto cx = context_on(repeat(2, 8 * 2 * (kBlockDataSize + 3)) + Hps{50});
    cx->work.bit0_ref = 2;
    cx->work.bit1_ref = 4;
    cx->work.block_count = 1;
    bit_decoder(*cx);
    EXPECT_EQ(cx->work.block_length, kBlockDataSize);
    EXPECT_EQ(cx->work.last_byte_bits, 8);
}

}  // namespace
}  // namespace kvr::test
