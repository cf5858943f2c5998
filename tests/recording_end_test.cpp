// Where the signal stops: recordings cut inside a block, tones that run to the end, and
// first blocks that are not headers.
#include <cstdio>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kvr::test {
namespace {

using Hps = std::vector<std::int32_t>;

SampleVector samples_of(const ByteVec& image) {
    auto cx = fresh_context();
    EXPECT_TRUE(load_sample_bytes(*cx, render(image)));
    return levels_of(cx->recording);
}

// Where each HP of a recording starts.
std::vector<std::size_t> hp_starts(const SampleVector& s) {
    std::vector<std::size_t> starts{0};
    for (std::size_t i = 1; i < s.size(); ++i)
        if ((s[i] < 0) != (s[i - 1] < 0)) starts.push_back(i);
    return starts;
}

// The first `bits` bits of the data, as a block keeps them: a partial last byte with its
// bits at the top, and the count of bits it holds.
std::pair<ByteVec, int> first_bits(const ByteVec& data, std::size_t bits) {
    ByteVec out(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(bits / 8));
    const int rest = static_cast<int>(bits % 8);
    if (rest != 0) out.push_back(static_cast<std::uint8_t>(data[bits / 8] >> (8 - rest) << (8 - rest)));
    return {out, rest == 0 ? 8 : rest};
}

// The last block of an image that carries data.
const TapeBlock* last_data_block(const std::vector<TapeBlock>& blocks) {
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
        if (!it->data.empty()) return &*it;
    return nullptr;
}

// Cuts the recording of a tape whose last block holds `data` inside its third-last bit pair
// (at the pair's start, inside its first HP, between its HPs) and checks that exactly the
// bits before that pair come back.
void expect_cuts_keep_whole_bits(const ByteVec& image, const ByteVec& data, const Configure& configure,
                                 const std::string& what) {
    const SampleVector full = samples_of(image);
    const std::vector<std::size_t> starts = hp_starts(full);
    const std::size_t bits = data.size() * 8;
    // The silence after the last block: the first HP after the last one short enough for a bit
    // (a pause opens with a millisecond at the last level, so it may be two HPs).
    std::size_t pause_hp = starts.size() - 1;
    while (starts[pause_hp] - starts[pause_hp - 1] >= 40) --pause_hp;
    const std::size_t pair = bits - 3;
    const std::size_t first_hp = pause_hp - 2 * bits + 2 * pair;
    const std::size_t cuts[] = {starts[first_hp], (starts[first_hp] + starts[first_hp + 1]) / 2,
                                starts[first_hp + 1]};
    const auto [bytes, used_bits] = first_bits(data, pair);
    for (std::size_t cut : cuts) {
        SampleVector part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
        Conversion c = convert_samples(std::move(part), 44100, configure);
        const std::vector<TapeBlock> blocks = blocks_of(c.output);
        const TapeBlock* last = last_data_block(blocks);
        ASSERT_NE(last, nullptr) << what;
        EXPECT_EQ(last->data, bytes) << what << ", cut at sample " << cut;
        if (last->id != 0x10) {
            EXPECT_EQ(last->used_bits, used_bits) << what << ", cut at sample " << cut;
        } else {
            // A standard block has no field for the used bits; the report line has.
            char fields[32];
            std::snprintf(fields, sizeof fields, "B%d L-%5zu", used_bits, bytes.size());
            EXPECT_NE(c.console.rfind(fields), std::string::npos) << what << ", cut at sample " << cut;
        }
    }
}

TEST(RecordingEnd, CutInsideABlockKeepsTheWholeBits) {
    const ByteVec rom = with_checksum(0xFF, pattern_bytes(40, 31));
    ImageBuilder standard;
    standard.standard(rom, 1000);
    expect_cuts_keep_whole_bits(standard.bytes(), rom, {}, "ROM block");

    const ByteVec turbo = with_checksum(0x42, pattern_bytes(30, 32));
    ImageBuilder fast;
    fast.turbo(1600, 500, 500, 500, 1000, 2000, 8, 1000, turbo);
    expect_cuts_keep_whole_bits(fast.bytes(), turbo, {}, "turbo block");

    const TwoBlocks t = sample_blocks();
    expect_cuts_keep_whole_bits(speedlock34_tape(3, t), t.subblocks.back(),
                                [](Settings& s) {
                                    speedlock_settings(s).type = 3;
                                    s.min_pilot_hps = 1400;
                                    speedlock_settings(s).skip = 4;
                                },
                                "last sub-block of a Speedlock type 3 block 2");

    const ByteVec di = with_checksum(0x01, pattern_bytes(50, 33));
    ImageBuilder two_tones = rom_pair("GAME");
    two_tones.tone(3000, 500).tone(1500, 400).pulses({700}).pure_data(600, 1200, 8, 1000, di);
    expect_cuts_keep_whole_bits(two_tones.bytes(), di, [](Settings& s) { apply_loader_switch(s, "/diload"); },
                                "Digital Integration block");
}

// A ROM block, a second of silence, then a pilot that the recording cuts off.
Hps block_then_endless_pilot(bool with_block) {
    Hps hps;
    if (with_block) {
        hps.insert(hps.end(), 3000, 27);
        hps.insert(hps.end(), {8, 9});
        for (std::uint8_t b : with_checksum(0xFF, {1, 2, 3}))
            for (int k = 7; k >= 0; --k) hps.insert(hps.end(), 2, ((b >> k) & 1) ? 22 : 11);
        hps.push_back(44100);
    }
    hps.insert(hps.end(), 2000, 27);
    return hps;
}

TEST(RecordingEnd, PilotRunningToTheEndMakesNoBlock) {
    for (int min_pilot : {50, 0}) {
        const Configure pilot = [min_pilot](Settings& s) { s.min_pilot_hps = min_pilot; };
        Conversion c = convert_samples(samples_from_hps(block_then_endless_pilot(true)), 44100, pilot);
        EXPECT_EQ(c.blocks, 1) << min_pilot;
        const std::string report = report_of(c.console);
        // The waiting block is ended by the pilot (its pause is printed) and written.
        EXPECT_NE(report.find(" L-    5 C* P-1.0"), std::string::npos) << report;
        EXPECT_EQ(report.find("L-    1"), std::string::npos) << report;
        const std::vector<TapeBlock> blocks = blocks_of(c.output);
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].data, with_checksum(0xFF, {1, 2, 3}));

        Conversion alone = convert_samples(samples_from_hps(block_then_endless_pilot(false)), 44100, pilot);
        EXPECT_EQ(alone.blocks, 0) << min_pilot;
        EXPECT_EQ(report_of(alone.console), "-- Error: No blocks found... please consult the documentation!\n");
        EXPECT_TRUE(alone.output.empty());
    }
}

// Decodes a recording whose first block holds `data`, and returns that block's bytes.
ByteVec first_block_bytes(const ImageBuilder& image) {
    Conversion c = convert(render(image.bytes()));
    const std::vector<TapeBlock> blocks = blocks_of(c.output);
    return blocks.empty() ? ByteVec{} : blocks[0].data;
}

// True when some prefix of 19 bytes or more has an exclusive-or of zero: a block that the
// header rule would once have cut short.
bool has_zero_xor_prefix(const ByteVec& data) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < data.size(); ++i) {
        x ^= data[i];
        if (i >= 18 && x == 0) return true;
    }
    return false;
}

TEST(FirstBlock, OnlyAHeaderEndsAtItsChecksum) {
    const ByteVec data = with_checksum(0xFF, pattern_bytes(1999, 34));
    ASSERT_TRUE(has_zero_xor_prefix(data));
    ImageBuilder headerless;
    headerless.standard(data, 1000);
    EXPECT_EQ(first_block_bytes(headerless), data);

    ByteVec turbo = with_checksum(0x42, pattern_bytes(1498, 35));
    ASSERT_TRUE(has_zero_xor_prefix(turbo));
    ImageBuilder fast;
    fast.turbo(1600, 500, 500, 500, 1000, 2000, 8, 1000, turbo);
    EXPECT_EQ(first_block_bytes(fast), turbo);

    // The first 25 bytes have an exclusive-or of 0, and so have the first 19 of this flag.
    ByteVec zero_start = pattern_bytes(24, 36);
    std::uint8_t x = 0;
    for (std::uint8_t b : zero_start) x ^= b;
    zero_start.push_back(x);
    zero_start.insert(zero_start.end(), {5, 6, 7});
    zero_start = with_checksum(0xFF, zero_start);
    ImageBuilder zero;
    zero.standard(zero_start, 1000);
    EXPECT_EQ(first_block_bytes(zero), zero_start);

    // A header followed at once by its data's pilot still ends at its 19 bytes.
    const ByteVec header = rom_header("GAME");
    const ByteVec body = with_checksum(0xFF, pattern_bytes(100, 37));
    ImageBuilder pair;
    pair.standard(header, 0).standard(body, 1000);
    Conversion c = convert(render(pair.bytes()));
    const std::vector<TapeBlock> blocks = blocks_of(c.output);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].data, header);
    EXPECT_EQ(blocks[1].data, body);
}

}  // namespace
}  // namespace kvr::test
