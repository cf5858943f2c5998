// Several recordings of one tape merged: blocks matched by their order and contents whatever
// one recording lacks, readings that check out kept, bad ones voted bit by bit, a recording of
// another tape refused, and the two copies of a program in one recording taken apart.
#include <filesystem>

#include <gtest/gtest.h>

#include "conversion/context.hpp"
#include "loaders/loader.hpp"
#include "recovery/retry.hpp"
#include "run/merge_captures.hpp"
#include "run/merge_recordings.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

// Two programs: each a header and its data.
std::vector<ByteVec> two_programs(unsigned seed) {
    return {rom_header("FIRST", 3, 300), with_checksum(0xFF, pattern_bytes(300, seed)), rom_header("SECOND", 3, 200),
            with_checksum(0xFF, pattern_bytes(200, seed + 1))};
}

// The tape a clean recording of these blocks reads as.
FoundTape read_tape(const std::vector<ByteVec>& blocks, double amplitude = 0.5) {
    ImageBuilder image;
    for (const ByteVec& b : blocks) image.standard(b, 1000);
    RenderOptions options;
    options.amplitude = amplitude;
    auto cx = fresh_context();
    EXPECT_TRUE(load_sample_bytes(*cx, render(image.bytes(), options)));
    FoundTape tape;
    ConversionHooks hooks;
    hooks.found = &tape;
    run_conversion(*cx, hooks);
    return tape;
}

// The entries of a tape that hold a block.
std::vector<FoundPilot*> blocks_in(FoundTape& tape) {
    std::vector<FoundPilot*> out;
    for (FoundPilot& f : tape)
        if (f.block && f.block->block.counted) out.push_back(&f);
    return out;
}

// Block k of a tape read with bits flipped (bit i counts from the first byte's top bit), its
// checksum then failing; each flipped bit is the reading's least sure.
void damage(FoundTape& tape, std::size_t k, const std::vector<std::size_t>& bits) {
    FoundBlock& f = *blocks_in(tape)[k]->block;
    std::vector<std::uint8_t> bytes = f.block.data;
    f.confidence.assign(bytes.size() * 8, 6.0f);
    for (std::size_t i : bits) {
        bytes[i / 8] = static_cast<std::uint8_t>(bytes[i / 8] ^ (0x80 >> (i % 8)));
        f.confidence[i] = 0.5f;
    }
    f.block = f.block.loader->with_bytes(f.block, bytes);
}

void drop(FoundTape& tape, std::size_t k) {
    FoundPilot* f = blocks_in(tape)[k];
    tape.erase(tape.begin() + (f - tape.data()));
}

std::vector<ByteVec> bytes_of(FoundTape& tape) {
    std::vector<ByteVec> out;
    for (FoundPilot* f : blocks_in(tape)) out.push_back(f->block->block.data);
    return out;
}

Capture capture(const std::string& name, FoundTape tape) { return {name, std::move(tape), 44100}; }

TEST(MergeCaptures, ThreeRecordingsEachMissingOrDamagingAnotherBlockGiveTheWholeTape) {
    const std::vector<ByteVec> blocks = two_programs(3);
    FoundTape a = read_tape(blocks), b = read_tape(blocks, 0.3), c = read_tape(blocks, 0.8);
    ASSERT_EQ(bytes_of(a), blocks);
    drop(a, 1);                 // lost in a dropout
    damage(b, 3, {40, 41, 900});
    damage(c, 0, {12});
    drop(c, 3);                 // the recording stops early
    const Merged m = merge_captures({capture("a", a), capture("b", b), capture("c", c)});
    EXPECT_TRUE(m.refused.empty()) << m.refused;
    FoundTape merged = m.tape;
    EXPECT_EQ(bytes_of(merged), blocks);
    EXPECT_EQ(m.counts.blocks, 4);
    EXPECT_EQ(m.counts.bad, 0);
    EXPECT_EQ(m.counts.voted, 0);
    EXPECT_EQ(m.counts.conflicts, 0);
    EXPECT_EQ(m.counts.recordings, 2);  // a's blocks where it has them, b's for the one it lacks
}

TEST(MergeCaptures, ReadingsBadInOtherBitsAreVotedWholeAndNeverIntoAWrongByte) {
    const std::vector<ByteVec> blocks = two_programs(5);
    // Each reading of block 1 is bad, in other bits; the vote weighs each by its confidence.
    FoundTape a = read_tape(blocks), b = read_tape(blocks);
    damage(a, 1, {100, 2001});
    damage(b, 1, {333, 1502, 2400});
    Merged m = merge_captures({capture("a", a), capture("b", b)});
    EXPECT_EQ(bytes_of(m.tape), blocks);
    EXPECT_EQ(m.counts.voted, 1);
    EXPECT_EQ(m.counts.bad, 0);

    // Without confidences the readings weigh alike and the split bits are tried every way:
    // the one way that checks out is kept...
    for (FoundTape* t : {&a, &b}) blocks_in(*t)[1]->block->confidence.clear();
    m = merge_captures({capture("a", a), capture("b", b)});
    EXPECT_EQ(bytes_of(m.tape), blocks);
    EXPECT_EQ(m.counts.voted, 1);

    // ...but where two ways check out (the same bit of two bytes wrong, one in each
    // reading), neither is taken: the block stays bad, as the most confident reading had it.
    FoundTape x = read_tape(blocks), y = read_tape(blocks);
    damage(x, 1, {8 * 10 + 3});
    damage(y, 1, {8 * 20 + 3});
    for (FoundTape* t : {&x, &y}) blocks_in(*t)[1]->block->confidence.clear();
    m = merge_captures({capture("x", x), capture("y", y)});
    EXPECT_EQ(m.counts.voted, 0);
    EXPECT_EQ(m.counts.bad, 1);
    EXPECT_FALSE(block_checks_out(blocks_in(m.tape)[1]->block->block));
}

std::vector<int> bits_of_block(const ByteVec& bytes) {
    std::vector<int> bits;
    for (std::uint8_t v : bytes)
        for (int i = 7; i >= 0; --i) bits.push_back((v >> i) & 1);
    return bits;
}

// Block k of a tape read with the first 1 bit from bit `from` on taken for two 0 bits, weakly
// (a step lost in a dropout): every bit after it one place late, the last one lost.
void lose_step(FoundTape& tape, std::size_t k, std::size_t from) {
    FoundBlock& f = *blocks_in(tape)[k]->block;
    std::vector<int> bits = bits_of_block(f.block.data);
    while (bits[from] == 0) ++from;
    std::vector<float> confidence(bits.size(), 6.0f);
    bits[from] = 0;
    bits.insert(bits.begin() + static_cast<std::ptrdiff_t>(from), 0);
    confidence.insert(confidence.begin() + static_cast<std::ptrdiff_t>(from), 0.5f);
    confidence[from + 1] = 0.5f;
    bits.pop_back();
    confidence.pop_back();
    std::vector<std::uint8_t> bytes(f.block.data.size(), 0);
    for (std::size_t i = 0; i < bits.size(); ++i) bytes[i / 8] = static_cast<std::uint8_t>(bytes[i / 8] | bits[i] << (7 - i % 8));
    f.block = f.block.loader->with_bytes(f.block, bytes);
    f.confidence = confidence;
    f.soft.reset();
}

// Two recordings whose readings of block 1 both fail merge into the whole tape, block 1 voted.
void expect_block_1_voted_whole(FoundTape& a, FoundTape& b, const std::vector<ByteVec>& blocks) {
    ASSERT_FALSE(block_checks_out(blocks_in(a)[1]->block->block));
    ASSERT_FALSE(block_checks_out(blocks_in(b)[1]->block->block));
    const Merged m = merge_captures({capture("a", a), capture("b", b)});
    FoundTape merged = m.tape;
    EXPECT_EQ(bytes_of(merged), blocks);
    EXPECT_EQ(m.counts.voted, 1);
    EXPECT_EQ(m.counts.bad, 0);
}

TEST(MergeCaptures, ReadingsThatLostTheirStepInOtherPlacesAreVotedAsTheSignalsTheyStandFor) {
    const std::vector<ByteVec> blocks = two_programs(19);
    FoundTape a = read_tape(blocks), b = read_tape(blocks);
    lose_step(a, 1, 700);
    lose_step(b, 1, 1800);
    expect_block_1_voted_whole(a, b, blocks);
}

// Block k of a tape read as the demodulator reads a block it gained or lost bits in: its
// whole bytes are the block, and its reading for a vote holds every bit, the last byte's part
// too; the bits from `weak` on to `weak_to` read weakly.
void read_as(FoundTape& tape, std::size_t k, const std::vector<int>& bits, std::size_t weak, std::size_t weak_to) {
    FoundBlock& f = *blocks_in(tape)[k]->block;
    FoundBlock::SoftReading soft;
    soft.bytes.assign((bits.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i)
        soft.bytes[i / 8] = static_cast<std::uint8_t>(soft.bytes[i / 8] | bits[i] << (7 - i % 8));
    soft.confidence.assign(bits.size(), 6.0f);
    for (std::size_t i = weak; i < weak_to; ++i) soft.confidence[i] = 0.5f;
    const auto bytes = static_cast<std::ptrdiff_t>(bits.size() / 8);
    f.block = f.block.loader->with_bytes(f.block, std::vector<std::uint8_t>(soft.bytes.begin(), soft.bytes.begin() + bytes));
    f.confidence.assign(soft.confidence.begin(), soft.confidence.begin() + bytes * 8);
    f.soft = std::move(soft);
}

TEST(MergeCaptures, ReadingsThatGainedOrLostBitsAreMatchedAndAlignedForTheVote) {
    const std::vector<ByteVec> blocks = two_programs(23);
    FoundTape a = read_tape(blocks), b = read_tape(blocks);
    // One gained three bits near its start, so every byte after them is shifted and hardly
    // one is where the other reading has it; the other lost a bit, and of its last byte holds
    // the seven bits left.
    std::vector<int> gained = bits_of_block(blocks[1]), lost = gained;
    gained.insert(gained.begin() + 12, {1, 0, 1});
    lost.erase(lost.begin() + 1500);
    read_as(a, 1, gained, 12, 15);
    read_as(b, 1, lost, 1499, 1501);
    expect_block_1_voted_whole(a, b, blocks);
}

TEST(MergeCaptures, TheVoteTakesTheLengthAnnouncedInAnyRecording) {
    const std::vector<ByteVec> blocks = two_programs(29);
    FoundTape a = read_tape(blocks), b = read_tape(blocks);
    // One recording read its header badly, so nothing is announced there for the block after
    // it, and its reading of the block (the one kept should the vote fail) gained five bits:
    // its own length says 303 bytes.
    damage(a, 0, {8 * 12 + 3});
    std::vector<int> gained = bits_of_block(blocks[1]), lost = gained;
    gained.insert(gained.begin() + 900, {1, 0, 1, 1, 0});
    // The other lost a bit and a byte's worth in a dropout: 301 bytes.
    lost.erase(lost.begin() + 2000, lost.begin() + 2008);
    lost.erase(lost.begin() + 1500);
    read_as(a, 1, gained, 900, 905);
    read_as(b, 1, lost, 1499, 1501);
    for (std::size_t i = 1990; i < 2010; ++i) blocks_in(b)[1]->block->soft->confidence[i] = 0.5f;
    expect_block_1_voted_whole(a, b, blocks);
}

TEST(MergeCaptures, AHeaderTheLoaderLostInADropoutIsVotedAsTheDemodulatorReadItOnThrough) {
    const std::vector<ByteVec> blocks = two_programs(31);
    FoundTape a = read_tape(blocks), b = read_tape(blocks), c = read_tape(blocks);
    // In one recording the loader's reading of the second header ended at a dropout after
    // seven bytes; the demodulator read on through it, weakly and wrong in three bits there.
    std::vector<int> through = bits_of_block(blocks[2]);
    for (std::size_t i : {58, 62, 67}) through[i] ^= 1;
    read_as(a, 2, through, 56, 72);
    FoundBlock& f = *blocks_in(a)[2]->block;
    f.block = f.block.loader->with_bytes(f.block, std::vector<std::uint8_t>(blocks[2].begin(), blocks[2].begin() + 7));
    f.confidence.resize(7 * 8);
    // Another read it wrong in other bits; the third heard that stretch and read nothing.
    damage(b, 2, {8 * 12 + 1, 8 * 15 + 5});
    drop(c, 2);
    const Merged m = merge_captures({capture("a", a), capture("b", b), capture("c", c)});
    FoundTape merged = m.tape;
    EXPECT_EQ(bytes_of(merged), blocks);
    EXPECT_EQ(m.counts.voted, 1);
    EXPECT_EQ(m.counts.bad, 0);
}

TEST(MergeCaptures, AHeaderEveryRecordingBeganToReadEarlyIsReadFromWhereTheBlockAfterItSaysItBegins) {
    const std::vector<ByteVec> blocks = two_programs(37);
    // Both recordings read the second header from six bits early, within the sync, and one
    // of them read a bit wrong, weakly: no whole bytes of theirs check out.
    std::vector<int> early = bits_of_block(blocks[2]);
    early.insert(early.begin(), {1, 1, 1, 0, 1, 0});
    std::vector<int> wrong = early;
    wrong[60] ^= 1;
    const auto merged = [&](bool with_data) {
        FoundTape a = read_tape(blocks), b = read_tape(blocks);
        read_as(a, 2, early, 0, 6);
        read_as(b, 2, wrong, 58, 62);
        if (!with_data) drop(a, 3), drop(b, 3);
        return merge_captures({capture("a", a), capture("b", b)});
    };
    const Merged m = merged(true);
    FoundTape tape = m.tape;
    EXPECT_EQ(bytes_of(tape), blocks);
    EXPECT_EQ(m.counts.voted, 1);
    EXPECT_EQ(m.counts.bad, 0);
    // Without the block after it, nothing says where the header begins.
    const Merged alone = merged(false);
    EXPECT_EQ(alone.counts.bad, 1);
    EXPECT_EQ(alone.counts.voted, 0);
}

TEST(MergeCaptures, GoodReadingsThatDisagreeAreAConflictTheMajorityDecides) {
    const std::vector<ByteVec> blocks = two_programs(7);
    // One reading is wrong in the same bit of two bytes: it checks out all the same.
    FoundTape wrong = read_tape(blocks);
    damage(wrong, 3, {8 * 30 + 2, 8 * 90 + 2});
    ASSERT_TRUE(block_checks_out(blocks_in(wrong)[3]->block->block));
    const Merged m = merge_captures({capture("a", wrong), capture("b", read_tape(blocks)), capture("c", read_tape(blocks))});
    FoundTape merged = m.tape;
    EXPECT_EQ(bytes_of(merged), blocks);
    EXPECT_EQ(m.counts.conflicts, 1);

    // A header too short to compare by its runs of bits, mended wrong in one recording: still
    // one block, not the tape's header and a second one beside it.
    FoundTape mended = read_tape(blocks);
    damage(mended, 2, {8 * 3 + 4, 8 * 4 + 4});
    ASSERT_TRUE(block_checks_out(blocks_in(mended)[2]->block->block));
    const Merged h = merge_captures({capture("a", read_tape(blocks)), capture("b", mended), capture("c", read_tape(blocks))});
    FoundTape merged_h = h.tape;
    EXPECT_EQ(bytes_of(merged_h), blocks);
    EXPECT_EQ(h.counts.conflicts, 1);

    // A header read wrong from its fifteenth byte on that checks out all the same, too unlike
    // the tape's to be matched with it: its data begins where theirs does, so it is one block.
    FoundTape tail = read_tape(blocks);
    FoundBlock& t = *blocks_in(tail)[2]->block;
    std::vector<std::uint8_t> other = t.block.data;
    other[14] ^= 0x5A, other[15] ^= 0xA5, other[16] ^= 0xFF;
    t.block = t.block.loader->with_bytes(t.block, other);
    ASSERT_TRUE(block_checks_out(t.block));
    const Merged tm = merge_captures({capture("a", tail), capture("b", read_tape(blocks)), capture("c", read_tape(blocks))});
    FoundTape merged_t = tm.tape;
    EXPECT_EQ(bytes_of(merged_t), blocks);
    EXPECT_EQ(tm.counts.conflicts, 1);

    // A header read from a bit before its start (a 0 bit more in front, its last bit lost),
    // which checks out where the checksum's lowest bit is 0.
    std::vector<ByteVec> even = blocks;
    for (char c = 'A'; (even[2].back() & 1) != 0; ++c) even[2] = rom_header(std::string("SECOND") + c, 3, 200);
    FoundTape shifted = read_tape(even);
    FoundBlock& f = *blocks_in(shifted)[2]->block;
    std::vector<std::uint8_t> late(f.block.data.size());
    for (std::size_t i = 0; i < late.size(); ++i)
        late[i] = static_cast<std::uint8_t>((i ? f.block.data[i - 1] << 7 : 0) | f.block.data[i] >> 1);
    f.block = f.block.loader->with_bytes(f.block, late);
    ASSERT_TRUE(block_checks_out(f.block));
    const Merged sh = merge_captures({capture("a", read_tape(even)), capture("b", shifted), capture("c", read_tape(even))});
    FoundTape merged_sh = sh.tape;
    EXPECT_EQ(bytes_of(merged_sh), even);
}

// A reading that lost a bit and gained one back further on checks out one time in 256, every
// byte between the two slips wrong. Where it is the only reading that checks out, the other
// recordings' readings outweigh it at the two weak places it slipped at: their bytes are kept.
TEST(MergeCaptures, AReadingThatSlippedTwiceAndChecksOutIsOutweighedByTheOthers) {
    const std::vector<ByteVec> blocks = two_programs(31);
    const std::vector<int> truth = bits_of_block(blocks[1]);
    // Lost at bit 300, a bit of `value` gained at q: the first q from 700 and value for which
    // it checks out.
    const auto slipped_at = [&](std::size_t q, int value) {
        std::vector<int> bits = truth;
        bits.erase(bits.begin() + 300);
        bits.insert(bits.begin() + static_cast<std::ptrdiff_t>(q), value);
        return bits;
    };
    const auto checks_out = [&](const std::vector<int>& bits) {
        ByteVec bytes(blocks[1].size(), 0);
        for (std::size_t i = 0; i < bits.size(); ++i) bytes[i / 8] = static_cast<std::uint8_t>(bytes[i / 8] | bits[i] << (7 - i % 8));
        std::uint8_t x = 0;
        for (std::uint8_t v : bytes) x ^= v;
        return x == 0 && bytes != blocks[1];
    };
    std::size_t q = 700;
    std::vector<int> slipped;
    for (;; ++q) {
        if (checks_out(slipped = slipped_at(q, 0)) || checks_out(slipped = slipped_at(q, 1))) break;
    }
    FoundTape a = read_tape(blocks), b = read_tape(blocks);
    read_as(a, 1, slipped, 299, 301);
    FoundBlock& f = *blocks_in(a)[1]->block;
    for (std::size_t i = q - 1; i <= q + 1; ++i) f.soft->confidence[i] = f.confidence[i] = 0.5f;
    ASSERT_TRUE(block_checks_out(f.block));
    damage(b, 1, {8 * 200 + 3});  // the other reading fails, in a bit of its own
    const Merged m = merge_captures({capture("a", a), capture("b", b)});
    FoundTape merged = m.tape;
    EXPECT_EQ(bytes_of(merged), blocks);
    EXPECT_EQ(m.counts.conflicts, 1);
}

// Block k of a tape read only to its first `bytes` bytes, as where a dropout ended it.
void cut_short(FoundTape& tape, std::size_t k, std::size_t bytes) {
    FoundBlock& f = *blocks_in(tape)[k]->block;
    const std::vector<std::uint8_t> part(f.block.data.begin(), f.block.data.begin() + static_cast<std::ptrdiff_t>(bytes));
    f.block = f.block.loader->with_bytes(f.block, part);
    f.confidence.clear();
}

TEST(MergeCaptures, WhereNoReadingChecksOutTheOneThatHoldsTheMostOfTheBlockIsKept) {
    const std::vector<ByteVec> blocks = two_programs(11);
    // Both readings of the data stop early, one a third of the way, the other near its end: the
    // image keeps the longer, whichever recording comes first; a reading of the announced
    // length comes before both.
    FoundTape early = read_tape(blocks), late = read_tape(blocks), whole = read_tape(blocks);
    cut_short(early, 1, 100);
    cut_short(late, 1, 290);
    damage(whole, 1, {700});
    const auto kept = [](std::vector<Capture> order) {
        const Merged m = merge_captures(order);
        FoundTape merged = m.tape;
        EXPECT_EQ(m.counts.bad, 1);
        return blocks_in(merged).size() == 4 ? blocks_in(merged)[1]->block->block.data.size() : 0;
    };
    EXPECT_EQ(kept({capture("early", early), capture("late", late)}), 290u);
    EXPECT_EQ(kept({capture("late", late), capture("early", early)}), 290u);
    EXPECT_EQ(kept({capture("early", early), capture("whole", whole), capture("late", late)}), blocks[1].size());
}

// A stretch of block k's pilot or data, `at` of the way from its pilot's start to its end, read
// as a short block of its own that checks out by chance; put after block k, whose own reading
// is cut short to its first bytes (where the recording lost the block's thread).
void read_in_pieces(FoundTape& tape, std::size_t k, double at) {
    FoundPilot* f = blocks_in(tape)[k];
    const auto span = static_cast<double>(f->block->block.end - f->start);
    FoundPilot piece = *f;
    piece.start = f->start + static_cast<std::int32_t>(at * span);
    piece.block->seen.data_start = piece.start + 200;
    piece.block->block = f->block->block.loader->with_bytes(f->block->block, std::vector<std::uint8_t>{0xFF, 0x01, 0x02, 0xFC});
    piece.block->block.end = piece.start + 2000;
    piece.block->confidence.clear();
    piece.block->soft.reset();
    ASSERT_TRUE(block_checks_out(piece.block->block));
    cut_short(tape, k, 30);
    tape.insert(tape.begin() + (f - tape.data()) + 1, piece);
}

TEST(MergeCaptures, AShortReadingThatChecksOutWithinABlockAnotherReadIsAPieceOfItNotABlock) {
    const std::vector<ByteVec> blocks = two_programs(13);
    for (const double at : {0.1, 0.6}) {  // within the data's pilot, within its bytes
        FoundTape pieces = read_tape(blocks), damaged = read_tape(blocks);
        read_in_pieces(pieces, 1, at);
        damage(damaged, 1, {40, 41, 900});
        const Merged m = merge_captures({capture("pieces", pieces), capture("damaged", damaged)});
        FoundTape merged = m.tape;
        ASSERT_EQ(blocks_in(merged).size(), 4u) << at;
        EXPECT_EQ(blocks_in(merged)[1]->block->block.data.size(), blocks[1].size()) << at;
        EXPECT_EQ(m.counts.bad, 1) << at;
    }
    // A short block read whole where another recording read on from the same start is the
    // block, and a reading about as long as its header announced is kept though no other
    // recording read anything there.
    std::vector<ByteVec> with_short = blocks;
    with_short.push_back(with_checksum(0xFF, pattern_bytes(8, 3)));
    FoundTape whole = read_tape(with_short), ran_on = read_tape(with_short);
    FoundBlock& last = *blocks_in(ran_on)[4]->block;
    std::vector<std::uint8_t> longer = last.block.data;
    longer.insert(longer.end(), 30, 0x55);
    last.block = last.block.loader->with_bytes(last.block, longer);
    last.block.end += 30 * 8 * 100;
    cut_short(whole, 3, 198);
    drop(ran_on, 3);
    const Merged m = merge_captures({capture("whole", whole), capture("ran on", ran_on)});
    FoundTape merged = m.tape;
    ASSERT_EQ(blocks_in(merged).size(), 5u);
    EXPECT_EQ(blocks_in(merged)[3]->block->block.data.size(), 198u);
    EXPECT_EQ(bytes_of(merged)[4], with_short[4]);

    // Noise another recording read as a long bad block around it tells nothing: the short
    // block stays.
    FoundTape noisy = read_tape(with_short);
    FoundPilot& around = *blocks_in(noisy)[4];
    const std::int32_t at = around.start;
    around.start = at - 44100;
    around.block->seen.data_start = around.start + 100;
    around.block->block = around.block->block.loader->with_bytes(around.block->block, std::vector<std::uint8_t>(101, 0x37));
    around.block->block.end += 22050;
    const Merged n = merge_captures({capture("whole", read_tape(with_short)), capture("noisy", noisy)});
    FoundTape merged_n = n.tape;
    ASSERT_EQ(blocks_in(merged_n).size(), 5u);
    EXPECT_EQ(bytes_of(merged_n)[4], with_short[4]);
}

// A pilot read on as bits (bytes of 1s at the pilot's own length) that one recording took for a
// block before the block whose pilot it is: no block of the merged tape, though an even count
// of such bytes checks out.
TEST(MergeCaptures, APilotReadAsBitsIsLeftOutAsNoise) {
    const std::vector<ByteVec> blocks = two_programs(43);
    FoundTape a = read_tape(blocks);
    FoundPilot* first = blocks_in(a)[0];
    FoundPilot pilot = *first;
    pilot.block->block = first->block->block.loader->with_bytes(first->block->block, std::vector<std::uint8_t>(66, 0xFF));
    pilot.block->block.timings.bit1 = pilot.block->block.timings.pilot_pulse;
    pilot.block->block.end = first->start + 1000;
    pilot.block->confidence.clear();
    pilot.block->soft.reset();
    ASSERT_TRUE(block_checks_out(pilot.block->block));
    ASSERT_TRUE(pilot_read_as_bits(pilot.block->block));
    first->start += 1000;
    a.insert(a.begin() + (first - a.data()), pilot);
    const Merged m = merge_captures({capture("a", a), capture("b", read_tape(blocks))});
    FoundTape merged = m.tape;
    EXPECT_EQ(bytes_of(merged), blocks);
    EXPECT_EQ(m.counts.left_out, 1);
}

// A block only one recording read, beside none the others read, is put where it lies on the
// tape, not wherever the matching found room for it.
TEST(MergeCaptures, ALongReadingNoOtherRecordingBacksWithinABlockTheOthersAgreeOnIsNoBlock) {
    const std::vector<ByteVec> blocks = two_programs(41);
    // One recording read a stretch of the second header's pilot at a wrong speed as 311 bytes
    // that check out, and lost the header itself; the other two read the header alike.
    FoundTape misread = read_tape(blocks);
    FoundPilot& header = *blocks_in(misread)[2];
    header.block->seen.data_start = header.start + (header.block->seen.data_start - header.start) / 2;
    header.block->block = header.block->block.loader->with_bytes(header.block->block, with_checksum(0xF7, pattern_bytes(309, 5)));
    header.block->confidence.clear();
    header.block->block.end = header.block->seen.data_start + 100;
    ASSERT_TRUE(block_checks_out(header.block->block));
    const Merged m = merge_captures({capture("misread", misread), capture("b", read_tape(blocks)), capture("c", read_tape(blocks))});
    FoundTape merged = m.tape;
    EXPECT_EQ(bytes_of(merged), blocks);
    // With one recording alone to read the header, nothing tells which of the two is right:
    // both are kept.
    const Merged two = merge_captures({capture("misread", misread), capture("b", read_tape(blocks))});
    FoundTape merged_two = two.tape;
    EXPECT_EQ(blocks_in(merged_two).size(), 5u);
}

TEST(MergeCaptures, BlocksOnlyOneRecordingReadAreMergedInTheTapesOrder) {
    const std::vector<ByteVec> blocks = two_programs(17);
    FoundTape a = read_tape(blocks), b = read_tape(blocks);
    drop(a, 1);
    drop(b, 2);
    drop(b, 0);  // b holds the first data block and the second, a the rest
    for (const auto& order : {std::vector<Capture>{capture("a", a), capture("b", b)},
                              std::vector<Capture>{capture("b", b), capture("a", a)}}) {
        const Merged m = merge_captures(order);
        FoundTape merged = m.tape;
        EXPECT_EQ(bytes_of(merged), blocks);
    }
    // A header read where the header before announced its data (that data lost in both
    // recordings) is the next header as read, not a bad reading the vote repaired.
    FoundTape x = read_tape(blocks), y = read_tape(blocks);
    drop(x, 1);
    drop(y, 1);
    const Merged m = merge_captures({capture("x", x), capture("y", y)});
    EXPECT_EQ(m.counts.voted, 0);
    EXPECT_EQ(m.counts.blocks, 3);
}

TEST(MergeCaptures, ARecordingThatSharesNoBlockWithTheOthersIsPutWhereItsTimeSays) {
    const std::vector<ByteVec> blocks = two_programs(37);
    // Two recordings read the first header badly, one losing a bit early and one gaining
    // three, so hardly a byte is where the tape has it; the third holds that header alone,
    // read well, and shares no block with them.
    FoundTape a = read_tape(blocks), b = read_tape(blocks), c = read_tape(blocks);
    std::vector<int> lost = bits_of_block(blocks[0]), gained = lost;
    lost.erase(lost.begin() + 20);
    gained.insert(gained.begin() + 30, {1, 1, 0});
    read_as(a, 0, lost, 19, 22);
    read_as(b, 0, gained, 30, 33);
    for (std::size_t k = 3; k >= 1; --k) drop(c, k);
    const Merged m = merge_captures({capture("a", a), capture("b", b), capture("c", c)});
    FoundTape merged = m.tape;
    EXPECT_EQ(bytes_of(merged), blocks);
}

TEST(MergeCaptures, ARecordingOfAnotherTapeIsRefusedOrWithPartialPassedOver) {
    const std::vector<ByteVec> blocks = two_programs(9);
    std::vector<ByteVec> other = {rom_header("OTHER", 3, 500), with_checksum(0xFF, pattern_bytes(500, 1)),
                                  rom_header("THIRD", 0, 40), with_checksum(0xFF, pattern_bytes(40, 2))};
    const std::vector<Capture> captures = {capture("a", read_tape(blocks)), capture("b", read_tape(other))};
    const Merged refused = merge_captures(captures);
    EXPECT_TRUE(refused.tape.empty());
    EXPECT_NE(refused.refused.find("b is not a recording of the same tape as a"), std::string::npos) << refused.refused;
    Merged partial = merge_captures(captures, true);
    EXPECT_EQ(bytes_of(partial.tape), blocks);
    EXPECT_FALSE(partial.refused.empty());
}

TEST(MergeCaptures, TheTwoCopiesInOneRecordingAreTwoCaptures) {
    std::vector<ByteVec> twice = two_programs(11);
    const std::vector<ByteVec> once = twice;
    twice.insert(twice.end(), once.begin(), once.end());
    FoundTape tape = read_tape(twice);
    damage(tape, 1, {77});
    damage(tape, 6, {5});
    const std::vector<Capture> copies = split_copies(capture("side", tape));
    ASSERT_EQ(copies.size(), 2u);
    FoundTape merged = merge_captures(copies).tape;
    EXPECT_EQ(bytes_of(merged), once);
    // One copy alone is one capture.
    EXPECT_EQ(split_copies(capture("once", read_tape(once))).size(), 1u);
}

TEST(MergeRecordings, AnUnreadableRecordingStopsTheMergeUnlessPartialIsGiven) {
    TempDir dir;
    ImageBuilder image;
    for (const ByteVec& b : two_programs(13)) image.standard(b, 1000);
    dir.write("a.wav", render(image.bytes()));
    dir.write("b.wav", ByteVec(100, 7));
    for (const bool partial : {false, true}) {
        auto cx = std::make_unique<Context>();
        cx->settings.output_name = dir.path("out.kvr");
        ConversionOptions options;
        options.recover = true;
        const MergeOutcome out = merge_recordings(*cx, {{dir.path("a.wav"), dir.path("b.wav")}, false, partial}, options);
        EXPECT_EQ(out.written.has_value(), partial) << cx->console.text();
        EXPECT_EQ(std::filesystem::exists(dir.path("out.kvr")), partial);
        EXPECT_NE(cx->console.text().find("b.wav"), std::string::npos);
    }
}

TEST(MergeCommand, SeveralRecordingsMakeOneImageAndAnotherTapeIsRefused) {
    TempDir dir;
    ImageBuilder tape, other;
    for (const ByteVec& b : two_programs(15)) tape.standard(b, 1000);
    for (const ByteVec& b : {rom_header("OTHER", 3, 500), with_checksum(0xFF, pattern_bytes(500, 4))}) other.standard(b, 1000);
    RenderOptions noisy;
    noisy.noise = 0.2;
    noisy.amplitude = 0.4;
    dir.write("a.wav", render(tape.bytes()));
    dir.write("b.wav", render(tape.bytes(), noisy));
    dir.write("other.wav", render(other.bytes()));
    ToolRun r = kvrtool("convert " + dir.path("a.wav") + " " + dir.path("b.wav") + " -o " + dir.path("out.tap"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Recording 2 of 2: " + dir.path("b.wav")), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" From " + dir.path("a.wav")), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Merged: 4 blocks from 1 recording, repaired by voting: 0, conflicts: 0, still bad: 0"),
              std::string::npos) << r.out;
    ByteVec want;
    for (const ByteVec& b : two_programs(15)) {
        want.push_back(static_cast<std::uint8_t>(b.size() & 0xFF));
        want.push_back(static_cast<std::uint8_t>(b.size() >> 8));
        want.insert(want.end(), b.begin(), b.end());
    }
    EXPECT_EQ(dir.read("out.tap"), want);

    r = kvrtool("convert " + dir.path("a.wav") + " " + dir.path("other.wav") + " -o " + dir.path("mixed.kvr"));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find(dir.path("other.wav") + " is not a recording of the same tape as " + dir.path("a.wav")),
              std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.path("mixed.kvr")));
    // --exact converts one recording alone.
    EXPECT_EQ(kvrtool("convert --exact " + dir.path("a.wav") + " " + dir.path("b.wav") + " -o " + dir.path("x.kvr")).status, 2);
}

}  // namespace
}  // namespace kvr::test
