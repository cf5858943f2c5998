// The vote among readings that gained and lost bits in other places: each aligned to one of
// them, the places they differ settled as the readings back them or as the checksum asks,
// and nothing taken where the readings cannot tell.
#include <gtest/gtest.h>

#include "core/byte_bits.hpp"
#include "run/aligned_vote.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

using Bits = std::vector<int>;

Bits bits_of_bytes(const ByteVec& bytes) {
    Bits out;
    for (std::size_t k = 0; k < bytes.size() * 8; ++k) out.push_back(bit_of(bytes, k));
    return out;
}

// A reading: its bits packed into bytes, each bit as sure as `sure`, those listed as `weak`
// less so.
struct Reading {
    ByteVec bytes;
    std::vector<float> confidence;
    std::size_t bits = 0;
    VoteReading vote() const { return {bytes, confidence, bits}; }
};

Reading reading(const Bits& bits, const std::vector<std::size_t>& weak = {}, float sure = 20.0f) {
    Reading r;
    r.bits = bits.size();
    r.bytes.assign((bits.size() + 7) / 8, 0);
    for (std::size_t k = 0; k < bits.size(); ++k)
        if (bits[k]) r.bytes[k / 8] = static_cast<std::uint8_t>(r.bytes[k / 8] | (0x80 >> (k % 8)));
    r.confidence.assign(bits.size(), sure);
    for (std::size_t k : weak) r.confidence.at(k) = 1.0f;
    return r;
}

// The block's bits with `n` bits gained before bit `at` (a burst of noise read as bits).
Bits gained(Bits b, std::size_t at, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), static_cast<int>(k % 2));
    return b;
}
Bits lost(Bits b, std::size_t at, std::size_t n = 1) {
    b.erase(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
    return b;
}
Bits flipped(Bits b, std::size_t at) {
    b[at] ^= 1;
    return b;
}

bool checks_out(const std::vector<std::uint8_t>& bytes) {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes) x ^= b;
    return x == 0;
}

std::optional<std::vector<std::uint8_t>> vote(const std::vector<Reading>& readings, std::size_t length) {
    std::vector<VoteReading> v;
    for (const Reading& r : readings) v.push_back(r.vote());
    return aligned_vote(v, length, checks_out, 3.0f);
}

const ByteVec& block() {
    static const ByteVec b = with_checksum(0xFF, pattern_bytes(400, 5));
    return b;
}

TEST(AlignedVote, ReadingsThatGainedAndLostBitsInOtherPlacesAreVotedWhole) {
    const Bits truth = bits_of_bytes(block());
    // One gained a burst of six bits in a dropout and ran on by two; the other lost a bit
    // (which left its last byte a part of one, all it holds of it) and read one bit wrong.
    const Bits a = gained(gained(truth, 1200, 6), truth.size() + 6, 2);
    const Bits b = flipped(lost(truth, 2500), 2000);
    const auto voted = vote({reading(a, {1200, 1201, 1202, 1203, 1204, 1205}), reading(b, {2499, 1999})}, block().size());
    ASSERT_TRUE(voted);
    EXPECT_EQ(*voted, block());
}

TEST(AlignedVote, ThreeReadingsEachWrongInOnePlaceAreSettledByTheOtherTwo) {
    const Bits truth = bits_of_bytes(block());
    // No reading says which of its bits is wrong: the two that agree outweigh the one.
    const std::vector<Reading> readings = {reading(lost(truth, 300)), reading(gained(truth, 1700, 3)),
                                           reading(flipped(flipped(truth, 2900), 2908))};
    const auto voted = vote(readings, block().size());
    ASSERT_TRUE(voted);
    EXPECT_EQ(*voted, block());
}

TEST(AlignedVote, AReadingSurerThanItsBitsAreIsOutweighedByTwoThatAgree) {
    const Bits truth = bits_of_bytes(block());
    // The first reading is sure of every bit, wrongly so at ten of them; it is unsure around
    // twenty more it read wrong, so that the others find it out there. Each of the others is
    // less than half as sure and wrong in two bits. Place by place the first outweighs the
    // two at its ten: more places than the ways the checksum could try.
    Bits a = truth;
    std::vector<std::size_t> unsure;
    for (std::size_t k = 0; k < 30; ++k) {
        const std::size_t at = 60 + 100 * k;
        a[at] ^= 1;
        if (k % 3 != 0)
            for (std::size_t j = at - 2; j <= at + 2; ++j) unsure.push_back(j);
    }
    const std::vector<Reading> readings = {reading(a, unsure, 50.0f), reading(flipped(flipped(truth, 1010), 2020), {}, 22.0f),
                                           reading(flipped(flipped(truth, 1515), 2525), {}, 22.0f)};
    const auto voted = vote(readings, block().size());
    ASSERT_TRUE(voted);
    EXPECT_EQ(*voted, block());
}

TEST(AlignedVote, AReadingThatBeganWithinThePilotIsAlignedFromTheBlocksStart) {
    const Bits truth = bits_of_bytes(block());
    // One reading holds 150 bits of the pilot read as bits before the block (noise hid the
    // pilot's end), far more than the alignment's band, and lost a bit later on; the other is
    // wrong in one bit near its end.
    Bits early(150);
    for (std::size_t k = 0; k < early.size(); ++k) early[k] = k % 5 != 0;
    Bits a = lost(truth, 1800);
    a.insert(a.begin(), early.begin(), early.end());
    const Bits b = flipped(truth, 3000);
    const auto voted = vote({reading(a, {1950}), reading(b, {3000})}, block().size());
    ASSERT_TRUE(voted);
    EXPECT_EQ(*voted, block());
}

TEST(AlignedVote, WhatNoReadingHoldsIsNotMadeUp) {
    const Bits truth = bits_of_bytes(block());
    // Both lost the same bit: no version of the place holds it, and no way checks out.
    EXPECT_FALSE(vote({reading(lost(truth, 900)), reading(flipped(lost(truth, 900), 2000), {1999})}, block().size()));
    // A reading of other bytes is not aligned, and one reading alone votes for nothing.
    const Bits other = bits_of_bytes(with_checksum(0xFF, pattern_bytes(400, 6)));
    EXPECT_FALSE(vote({reading(lost(truth, 900)), reading(other)}, block().size()));
    EXPECT_FALSE(vote({reading(lost(truth, 900))}, block().size()));
    // Readings that hold too few bits for the block's length.
    EXPECT_FALSE(vote({reading(lost(truth, 900)), reading(lost(truth, 901))}, block().size() + 3));
}

TEST(AlignedVote, TwoWaysThatCheckOutAreNeitherTaken) {
    const Bits truth = bits_of_bytes(block());
    const std::vector<Reading> readings = {reading(flipped(truth, 100), {100}), reading(flipped(truth, 900), {900})};
    std::vector<VoteReading> v;
    for (const Reading& r : readings) v.push_back(r.vote());
    // Every way checks out: the one the readings back most is taken.
    EXPECT_TRUE(aligned_vote(v, block().size(), [](const auto&) { return true; }, 3.0f));
    // Only the ways other than the readings' own choice check out, and two of them do.
    int asked = 0;
    const auto all_but_first = [&](const std::vector<std::uint8_t>&) { return asked++ > 0; };
    EXPECT_FALSE(aligned_vote(v, block().size(), all_but_first, 3.0f));
    // Where the readings back the wrong bit (the right one read weakly), the one way that
    // checks out is taken.
    const auto voted = vote({reading(flipped(truth, 100)), reading(flipped(truth, 901), {100, 901})}, block().size());
    ASSERT_TRUE(voted);
    EXPECT_EQ(*voted, block());
}

}  // namespace
}  // namespace kvr::test
