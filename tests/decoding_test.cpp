// Pilot detection and bit decoding on hand-made half-periods.
#include <gtest/gtest.h>

#include "loaders/rom_scheme.hpp"
#include "loaders/speedlock_common.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

using Hps = std::vector<std::int32_t>;

Hps repeat(std::int32_t hp, int n) { return Hps(static_cast<std::size_t>(n), hp); }
Hps operator+(Hps a, const Hps& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::unique_ptr<HpTape> tape_of(const Hps& hps, const Configure& configure = {}) {
    auto tape = std::make_unique<HpTape>(hps);
    if (configure) configure(tape->settings);
    return tape;
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
        auto t = tape_of(repeat(20, similar) + repeat(8, 4));
        const PilotResult p = standard_pilot(t->cursor, t->settings);
        return std::make_pair(p.found, p.count);
    };
    EXPECT_EQ(found(52), std::make_pair(true, 50));
    EXPECT_EQ(found(51), std::make_pair(false, 49));
    auto t = tape_of(Hps{9, 30, 9} + repeat(20, 60) + repeat(8, 2));
    PilotResult p = standard_pilot(t->cursor, t->settings);
    EXPECT_EQ(p.start, 48);
    EXPECT_EQ(t->cursor.prev, 8);  // the HP that ended the tone: the first sync HP
    EXPECT_EQ(p.sum, 20.0 * 58);
    measure_sync_pair(t->cursor, p);
    EXPECT_EQ(p.sync1, to_tstates(8, t->spt()));
    EXPECT_EQ(p.sync2, to_tstates(8, t->spt()));
}

TEST(PilotDetector, ToleranceIsWholePercentLessAHalf) {
    auto count = [](std::int32_t odd) {
        auto t = tape_of(repeat(100, 10) + Hps{odd} + repeat(100, 60) + Hps{30});
        return standard_pilot(t->cursor, t->settings).count;
    };
    EXPECT_EQ(count(64), 69);  // 36 % shorter: percent_diff 35, the tone goes on
    EXPECT_EQ(count(63), 8);   // 37 % shorter ends it
}

TEST(PilotDetector, BleepLoadNeedsLongTonesForTheFirstThreeBlocks) {
    auto found = [](int hps, int block_count) {
        auto t = tape_of(repeat(20, hps + 2) + repeat(5, 2), [](Settings& s) { apply_loader_switch(s, "/bleep"); });
        return find_rom_pilot(t->cursor, t->settings, block_count).found;
    };
    EXPECT_FALSE(found(999, 0));
    EXPECT_TRUE(found(1000, 2));
    EXPECT_TRUE(found(50, 3));
}

TEST(PilotDetector, TwoTonesCountTheEndingHpInTheSecond) {
    const LoaderDescriptor& loader = *loader_named("digital_integration");
    auto t = tape_of(repeat(30, 80) + repeat(15, 52) + Hps{5} + bit_hps({0x5A, 0xC3}, 7, 14) + Hps{100});
    std::unique_ptr<LoaderState> state = loader.make_state();
    PilotResult p = loader.find_pilot(t->cursor, t->settings, 2, *state);
    EXPECT_EQ(p.count, 52);  // 15 x 50 counted after the reference pair, plus the 5
    EXPECT_EQ(p.sum, 15.0 * 51 + 5);
    EXPECT_TRUE(p.found);
    loader.after_pilot(t->cursor, t->settings, p);
    EXPECT_EQ(p.sync1, to_tstates(5, t->spt()));
    // The first tone goes with the block: the opening pair counts there, the first 15 does not.
    const DecodedBlock b = loader.decode(t->cursor, t->settings, p, {2, 0, t->buffer.data()}, *state);
    ASSERT_TRUE(b.counted);
    EXPECT_EQ(b.data, (ByteVec{0x5A, 0xC3}));
    EXPECT_EQ(b.first_tone.count, 80);
    EXPECT_EQ(b.first_tone.pulse, mean_to_tstates(30.0 * 80, 80, t->spt()));
    EXPECT_EQ(b.timings.sync1, to_tstates(5, t->spt()));
}

Hps leader(int segments, int first, int others, std::int32_t hp = 20) {
    Hps out = repeat(hp, first);
    for (int i = 1; i < segments; ++i) out = out + Hps{6, 6} + repeat(hp, others);
    return out;
}

// The leader detector on HP lengths: whether it found a block, and the leader it measured.
std::pair<bool, SpeedlockLeader> leader_of(const Hps& hps) {
    auto t = tape_of(hps);
    SpeedlockLeader l;
    const bool found = detect_speedlock_leader(t->cursor, t->settings, l).found;
    return {found, l};
}

TEST(LeaderDetector, SegmentsSeparatedByClicks) {
    const auto [found, l] = leader_of(Hps{3} + leader(21, 200, 200) + Hps{6, 6, 20, 200, 5});
    ASSERT_TRUE(found);
    ASSERT_EQ(l.segment_count, 22);
    EXPECT_EQ(l.segments[0], 200);
    EXPECT_EQ(l.segments[20], 200);
    EXPECT_EQ(l.segments[21], 1);  // the HP that followed the last click
    EXPECT_EQ(l.pulse, to_tstates(20, samples_per_tstate(44100)));
    EXPECT_EQ(l.click_pulses[0], 715);

    EXPECT_FALSE(leader_of(Hps{3} + leader(21, 179, 200) + Hps{200}).first);  // a short first segment
    EXPECT_FALSE(leader_of(Hps{3} + leader(19, 200, 200) + Hps{200}).first);  // too few segments
}

TEST(LeaderDetector, BoundsOfTheRunningMean) {
    // 26 is exactly 1.3 times the mean of 20: a leader HP; 16 is exactly 0.8 times: also.
    const auto [found, l] = leader_of(Hps{3} + repeat(20, 100) + Hps{26, 16} + repeat(20, 100) + Hps{60});
    EXPECT_EQ(l.segment_count, 1);
    EXPECT_EQ(l.segments[0], 202);
}

TEST(LeaderDetector, SegmentsBeyondTheListAreNotRecorded) {
    const auto [found, l] = leader_of(Hps{3} + leader(70, 200, 200) + Hps{200});
    EXPECT_TRUE(found);
    EXPECT_EQ(l.segment_count, kLeaderSegmentsSize);
}

TEST(BitReference, LearnsTheTwoLengths) {
    auto t = tape_of(Hps{10, 10, 10, 10, 20, 20, 10, 10});
    const BitRefs refs = measure_bit_refs(t->cursor, t->settings);
    EXPECT_EQ(refs.bit0, 10);
    EXPECT_EQ(refs.bit1, 20);
    EXPECT_EQ(refs.middle, 15);
    auto rom = tape_of(Hps{1}, [](Settings& s) { s.rom_bit_timings = true; });
    const BitRefs rom_refs = measure_bit_refs(rom->cursor, rom->settings);
    EXPECT_EQ(rom_refs.bit0, 10);  // 855 x 0.0126 = 10.77, truncated
    EXPECT_EQ(rom_refs.bit1, 21);
}

struct Decoded {
    ByteVec bytes;
    std::int32_t last_byte_bits;
    bool no_block;
};

Decoded decode(const Hps& hps, std::int32_t bit0_ref, std::int32_t bit1_ref, const Configure& configure = {},
               std::int32_t block_count = 1, bool six_bits = false) {
    auto t = tape_of(hps, configure);
    BitRefs refs{bit0_ref, bit1_ref, middle_of(bit0_ref, bit1_ref)};
    const BitRead r = read_bits(t->cursor, refs, t->settings, t->buffer.data(), {block_count == 0, six_bits});
    return {ByteVec(t->buffer.begin(), t->buffer.begin() + r.length), r.last_byte_bits, !r.decoded};
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
    auto t = tape_of(Hps{12, 12, 12, 12, 14, 14, 100}, [](Settings& s) { s.alternative_bits = true; });
    BitRefs refs{10, 20, 15};
    read_bits(t->cursor, refs, t->settings, t->buffer.data(), {});
    EXPECT_EQ(refs.bit0, 13);  // (12 x 4 + 14 x 2) / 6 + 0.5
}

TEST(BitDecoder, FullBufferEndsTheBlock) {
    auto t = tape_of(repeat(2, 8 * 2 * (kBlockDataSize + 3)) + Hps{50});
    BitRefs refs{2, 4, 3};
    const BitRead r = read_bits(t->cursor, refs, t->settings, t->buffer.data(), {});
    EXPECT_EQ(r.length, kBlockDataSize);
    EXPECT_EQ(r.last_byte_bits, 8);
}

}  // namespace
}  // namespace kvr::test
