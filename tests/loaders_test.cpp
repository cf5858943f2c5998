// The custom loaders end to end: recordings rendered from images that hold their tape
// structures, converted back, with the report lines and image blocks checked.
#include <cmath>
#include <regex>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kvr::test {
namespace {

const std::string kCreating = "Creating 1.02 version .KVR file ... \n\n";

void speedlock1_block(ImageBuilder& b, const std::string& flags, const ByteVec& data, int pause) {
    speedlock1_head(b, flags);
    b.pure_data(565, 1130, 8, pause, data);
}

std::string kinds(const std::vector<TapeBlock>& blocks) {
    std::string out;
    for (const TapeBlock& b : blocks) {
        char text[8];
        std::snprintf(text, sizeof text, "%02X ", b.id);
        out += text;
    }
    return out;
}

const std::string kRomLine = " P:GAME       P-2168,8062 S- 714/ 714 0- 855,1-1711 F-00 B8 L-   19 C* P-1.000\n";

TEST(Speedlock1, LeaderFlagsAndData) {
    ImageBuilder b = rom_pair("GAME");
    const ByteVec data1 = with_checksum(0x12, pattern_bytes(100, 12));
    const ByteVec data2 = with_checksum(0x34, pattern_bytes(50, 13));
    speedlock1_block(b, "111010", data1, 1000);
    speedlock1_block(b, "101100", data2, 1000);
    speedlock1_block(b, "000000", {0x55, 0x55}, 1000);
    Conversion c = convert(render(b.bytes()), [](Settings& s) {
        speedlock_settings(s).type = 1;
        speedlock_settings(s).variant = 0;
    });
    const std::string report = report_of(c.console);
    EXPECT_EQ(report.substr(0, kRomLine.size()), kRomLine);
    EXPECT_NE(report.find(" Speedlock 1 block 1   Flag:111010                       B8 L-  102 C* P-1.0"), std::string::npos);
    EXPECT_NE(report.find(" Speedlock 1 block 2   Flag:101100                       B8 L-   52 C* P-1.0"), std::string::npos);
    EXPECT_TRUE(report.ends_with(" Speedlock 1 block 3   Flag:000000                       B8 L-    2 C* \n"));

    const std::vector<TapeBlock> blocks = blocks_of(c.output);
    std::string group;
    for (int i = 0; i < 20; ++i) group += i < 19 ? "12 13 " : "12 ";
    // Every turbo block is closed by its data: the third as well.
    EXPECT_EQ(kinds(blocks), "10 10 21 " + group + "13 14 22 21 " + group + "13 14 22 21 " + group + "13 14 22 ");
    EXPECT_EQ(blocks[2].name, "SpeedLock 1 Block 1");
    EXPECT_EQ(blocks[2 + 40 + 3].name, "SpeedLock 1 Block 2");
    EXPECT_EQ(blocks[3].tone_count, 200);
    EXPECT_EQ(blocks[4].pulses, (std::vector<std::uint16_t>{715, 715}));
    const TapeBlock& sync = blocks[2 + 40];
    EXPECT_EQ(sync.pulses, (std::vector<std::uint16_t>{3150, 3150, 1130, 1130, 1130, 1130, 1130, 1130, 565, 565, 1130,
                                                       1130, 565, 565}));
    const TapeBlock& sync2 = blocks[2 + 40 + 3 + 40];
    EXPECT_EQ(sync2.pulses, (std::vector<std::uint16_t>{3150, 3150, 1130, 1130, 565, 565, 1130, 1130, 1130, 1130, 565,
                                                        565, 565, 565}));
    const TapeBlock& pure = blocks[2 + 41];
    EXPECT_EQ(pure.data, data1);
    EXPECT_EQ(pure.bit0, 565);
    EXPECT_EQ(pure.bit1, 1130);
    EXPECT_NEAR(pure.pause_ms, 1000, 30);
    EXPECT_EQ(blocks[2 + 43 + 41].data, data2);
}

TEST(Speedlock1, SkipCountAndTap) {
    ImageBuilder b;
    b.standard(rom_header("ONE"), 1000);
    speedlock1_block(b, "111010", with_checksum(0x12, pattern_bytes(30, 14)), 1000);
    const ByteVec recording = render(b.bytes());
    Conversion c = convert(recording, [](Settings& s) {
        speedlock_settings(s).type = 1;
        speedlock_settings(s).skip = 1;
    });
    EXPECT_NE(c.console.find(" Speedlock 1 block 1   Flag:111010"), std::string::npos);
    Conversion tap = convert(recording, [](Settings& s) {
        speedlock_settings(s).type = 1;
        speedlock_settings(s).skip = 1;
        s.tap_output = true;
    });
    // Only the data goes into a TAP file: two records, no group, leader or pulses.
    ASSERT_EQ(tap.output.size(), 2u + 19 + 2 + 32);
    EXPECT_EQ(tap.output[21], 32);
    EXPECT_EQ(tap.output[23], 0x12);
}

TEST(Speedlock34, BlockOneAndSubBlocks) {
    const TwoBlocks t = sample_blocks();
    for (int type : {3, 4}) {
        Conversion c = convert(render(speedlock34_tape(type, t)), [&](Settings& s) {
            speedlock_settings(s).type = type;
            if (type == 3) s.min_pilot_hps = 1400;
            speedlock_settings(s).skip = 4;
        });
        const std::string report = report_of(c.console);
        const std::string T = std::to_string(type);
        EXPECT_NE(report.find(" Speedlock " + T + " block 1                                     B8 L-   66 C* P-1.0"),
                  std::string::npos)
            << report;
        EXPECT_NE(report.find(" Speedlock " + T + " block 2 :\n"
                              "   Sub-Block  1                                             L-  256\n"
                              "   Sub-Block  2                                             L-  100\n"
                              "   Sub-Block  3                                             L-   31\n"
                              " Speedlock " + T + " block 2 Total                               B8 L-  387 C* \n"),
                  std::string::npos)
            << report;
        const std::vector<TapeBlock> blocks = blocks_of(c.output);
        EXPECT_EQ(kinds(blocks), "10 10 10 10 21 12 13 14 22 21 12 13 14 13 14 13 14 22 ");
        EXPECT_EQ(blocks[4].name, "SpeedLock " + T + " Block 1");
        EXPECT_EQ(blocks[9].name, "SpeedLock " + T + " Block 2");
        EXPECT_EQ(blocks[6].pulses.size(), 28u);
        EXPECT_EQ(blocks[6].pulses[0], 667);
        EXPECT_EQ(blocks[6].pulses[27], type == 3 ? 551 : 753);
        EXPECT_EQ(blocks[7].data, t.block1);
        EXPECT_EQ(blocks[12].data, t.subblocks[0]);
        EXPECT_EQ(blocks[12].pause_ms, 0);
        EXPECT_EQ(blocks[13].pulses.size(), 42u);
        EXPECT_EQ(blocks[16].data, t.subblocks[2]);
        EXPECT_EQ(blocks[5].tone_count, 2998);
    }
}

TEST(Speedlock34, SubBlockNumbersRunOnAndTapHoldsEveryRun) {
    const TwoBlocks t = sample_blocks();
    ImageBuilder extra;
    const ByteVec tape = speedlock34_tape(4, t);
    ByteVec more = tape;
    // A second block 2 right after the first: the counter goes on from where the last
    // trailer left it, and the group is closed.
    const ByteVec again = [&] {
        ImageBuilder b;
        pilot_and_sync28(b, 753, 1506, 3000);
        b.pure_data(753, 1506, 8, 0, {1, 2, 3});
        b.pulses(trailer());
        b.pure_data(753, 1506, 8, 1000, {4, 5, 6, 7});
        return b.bytes();
    }();
    more.insert(more.end(), again.begin() + 10, again.end());
    auto slock4 = [](Settings& s) { speedlock_settings(s).type = 4; speedlock_settings(s).skip = 4; };
    Conversion c = convert(render(more), slock4);
    EXPECT_NE(c.console.find("   Sub-Block  3                                             L-    3\n"
                             "   Sub-Block  4                                             L-    4\n"
                             " Speedlock 4 block 2 Total                               B8 L-    7 C* \n"),  // 1^2^3^4^5^6 = 7
              std::string::npos)
        << c.console;
    EXPECT_TRUE(kinds(blocks_of(c.output)).ends_with("22 21 12 13 14 13 14 22 "));

    Conversion tap = convert(render(tape), [](Settings& s) {
        speedlock_settings(s).type = 4;
        speedlock_settings(s).skip = 4;
        s.tap_output = true;
    });
    // Four ROM records, block 1, and the three sub-blocks in tape order.
    TapeImage records;
    std::string error;
    ASSERT_TRUE(parse_tape_image(tap.output, true, records, error)) << error;
    ASSERT_EQ(records.blocks.size(), 8u);
    EXPECT_EQ(records.blocks[4].data, t.block1);
    EXPECT_EQ(records.blocks[5].data, t.subblocks[0]);
    EXPECT_EQ(records.blocks[7].data, t.subblocks[2]);
}

TEST(Speedlock34, TypeThreeVariantTwoReplacesTheNoise) {
    const TwoBlocks t = sample_blocks();
    RenderOptions noisy;
    noisy.noise = 0.7;  // the stretch before block 1 is noise, not silence
    noisy.amplitude = 0.8;
    const ByteVec recording = render(speedlock34_tape(3, t, 22000), noisy);
    Conversion c = convert(recording, [](Settings& s) {
        speedlock_settings(s).type = 3;
        speedlock_settings(s).variant = 2;
        s.min_pilot_hps = 1400;
    });
    const std::string report = report_of(c.console);
    const std::regex noise_line(" C\\* P-0\\.000\n Speedlock 3 variant 2 Simulated Noise for (2[0-9]\\.[0-9]{3}) seconds\n"
                                " Speedlock 3 block 1 ");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(report, m, noise_line)) << report;
    const double seconds = std::stod(m[1]);
    EXPECT_NEAR(seconds, 22.0, 0.1);
    const std::vector<TapeBlock> blocks = blocks_of(c.output);
    EXPECT_EQ(kinds(blocks), "10 10 10 10 21 12 20 12 13 14 22 21 12 13 14 13 14 13 14 22 ");
    EXPECT_EQ(blocks[3].pause_ms, 0);  // the block before the noise
    EXPECT_EQ(blocks[5].tone_pulse, 3000);
    EXPECT_EQ(blocks[5].tone_count, static_cast<int>(std::lround(seconds * 1000) * 3500.0035000035 / 3000));
    EXPECT_EQ(blocks[6].pause_ms, 300);

    // A pilot less than 20 s after the last block is taken for part of the noise.
    Conversion short_gap = convert(render(speedlock34_tape(3, t, 15000)), [](Settings& s) {
        speedlock_settings(s).type = 3;
        speedlock_settings(s).variant = 2;
        s.min_pilot_hps = 1400;
    });
    EXPECT_EQ(short_gap.console.find("block 1                                     B8 L-   66"), std::string::npos);
}

// Block 1 of a Speedlock type 3 variant 2 tape decoded at a rate, its pilot starting `gap`
// samples after the end of the last block.
DecodedBlock noisy_block1(std::int32_t rate, std::int32_t gap) {
    HpTape tape({}, rate);
    speedlock_settings(tape.settings).type = 3;
    speedlock_settings(tape.settings).variant = 2;
    speedlock_settings(tape.settings).skip = 4;
    PilotResult pilot;
    pilot.found = true;
    pilot.start = gap;
    pilot.count = 1500;
    return decode_with("speedlock", tape, pilot, 4);
}

TEST(Speedlock34, NoiseCheckBelowOneKilohertz) {
    const DecodedBlock b = noisy_block1(800, 16000);  // 20 s at 800 Hz
    EXPECT_EQ(report_lines(b).rfind(" Speedlock 3 variant 2 Simulated Noise for 20.000 seconds\n", 0), 0u);
    EXPECT_TRUE(b.counted);
    const DecodedBlock noise = noisy_block1(800, 15999);
    EXPECT_TRUE(report_lines(noise).empty());
    EXPECT_FALSE(noise.counted);
    EXPECT_FALSE(noise.waits);
}

TEST(Speedlock34, SimulatedNoiseToneLengths) {
    auto tone_after = [](std::int32_t gap) {
        const DecodedBlock b = noisy_block1(44100, gap);
        const ByteVec m = lead_in_bytes(b);
        // Group start of 21 bytes, then the tone: 0x12, 3000, the count; then the pause.
        return std::make_pair(ByteVec(m.begin() + 21, m.begin() + 29), report_lines(b).substr(0, 59));
    };
    const auto [tone20, line20] = tone_after(880000);  // 20000 ms at 44 kHz
    EXPECT_EQ(tone20, (ByteVec{0x12, 0xB8, 0x0B, 0x25, 0x5B, 0x20, 0x2C, 0x01}));  // 23333 pulses
    EXPECT_EQ(line20, " Speedlock 3 variant 2 Simulated Noise for 20.000 seconds\n ");
    const auto [tone30, line30] = tone_after(44100 * 30);  // cut to 24000 ms
    EXPECT_EQ(tone30, (ByteVec{0x12, 0xB8, 0x0B, 0x60, 0x6D, 0x20, 0x2C, 0x01}));  // 28000 pulses
    EXPECT_EQ(line30, " Speedlock 3 variant 2 Simulated Noise for 24.000 seconds\n ");
}

TEST(Speedlock1, TenthBlockAndEmptyData) {
    // Six flag bits of 0, then a long HP where the data should begin.
    std::vector<std::int32_t> hps(12, 7);
    hps.push_back(100);
    HpTape tape(hps);
    speedlock_settings(tape.settings).type = 1;
    speedlock_settings(tape.settings).skip = 2;
    PilotResult pilot;
    pilot.found = true;
    const DecodedBlock b = decode_with("speedlock1", tape, pilot, 11);
    const ByteVec m = lead_in_bytes(b);
    const std::string name = "SpeedLock 1 Block 10";
    ASSERT_GT(m.size(), 22u);
    EXPECT_EQ(m[0], 0x21);
    EXPECT_EQ(m[1], 20);
    EXPECT_EQ(std::string(m.begin() + 2, m.begin() + 22), name);
    EXPECT_EQ(report_lines(b), " Speedlock 1 block 10   Flag:000000                       B0 L-    0 C- ");
    EXPECT_TRUE(b.counted);
    EXPECT_FALSE(b.waits);  // no pure data block and no group end will follow
}

TEST(Speedlock2, LeaderThenFixedFlags) {
    const TwoBlocks t = sample_blocks();
    Conversion c = convert(render(speedlock2_tape(t, 2)), [](Settings& s) { speedlock_settings(s).type = 2; });
    EXPECT_NE(c.console.find(" Speedlock 2 block 1                                     B8 L-   66 C* P-1.0"), std::string::npos)
        << c.console;
    EXPECT_NE(c.console.find("   Sub-Block  1                                             L-  256\n"
                             "   Sub-Block  2                                             L-  100\n"),
              std::string::npos);
    const std::vector<TapeBlock> blocks = blocks_of(c.output);
    ASSERT_GT(blocks.size(), 5u + 39 + 1);
    EXPECT_EQ(blocks[4].name, "SpeedLock 2 Block 1");
    EXPECT_EQ(blocks[5 + 39].pulses.size(), 14u);
    EXPECT_EQ(blocks[5 + 39].pulses[8], 565);  // the fixed flags 1, 1, 1, 0, 1, 0
}

TEST(DigitalIntegration, TwoTonesSyncAndData) {
    ImageBuilder b = rom_pair("GAME");
    const ByteVec data1 = with_checksum(0x01, pattern_bytes(80, 20));
    const ByteVec data2 = with_checksum(0x02, pattern_bytes(60, 21));
    b.tone(3000, 500).tone(1500, 400).pulses({700}).pure_data(600, 1200, 8, 1000, data1);
    b.tone(3000, 600).tone(1500, 400).pulses({700}).pure_data(600, 1200, 8, 1000, data2);
    b.standard(with_checksum(0xFF, {9, 9}), 1000);
    Conversion c = convert(render(b.bytes()), [](Settings& s) { apply_loader_switch(s, "/diload"); });
    const std::string report = report_of(c.console);
    EXPECT_NE(report.find(" Digital Integration Block 1          0- 600,1-1200      B8 L-   82    P-1.0"), std::string::npos)
        << report;
    EXPECT_NE(report.find(" Digital Integration Block 2          0- 600,1-1200      B8 L-   62    P-1.0"), std::string::npos);
    const std::vector<TapeBlock> blocks = blocks_of(c.output);
    EXPECT_EQ(kinds(blocks), "10 10 21 12 12 13 14 22 21 12 12 13 14 22 10 ");
    EXPECT_EQ(blocks[2].name, "DI Block 1");
    EXPECT_EQ(blocks[8].name, "DI Block 2");
    // Each group carries its own first tone.
    EXPECT_EQ(blocks[3].tone_count, 500);
    EXPECT_EQ(blocks[9].tone_count, 600);
    EXPECT_NEAR(blocks[3].tone_pulse, 3000, 30);
    EXPECT_EQ(blocks[4].tone_count, 400);
    EXPECT_NEAR(blocks[5].pulses.at(0), 700, 90);
    EXPECT_EQ(blocks[6].data, data1);
    EXPECT_EQ(blocks[12].data, data2);
}

TEST(DigitalIntegration, NotWithSpeedlockAndOnlyForTheThirdAndFourthBlocks) {
    ImageBuilder b = rom_pair("GAME");
    b.tone(3000, 500).tone(1500, 400).pulses({700}).pure_data(600, 1200, 8, 1000, with_checksum(0x01, {5, 6}));
    b.standard(with_checksum(0xFF, {1}), 1000).standard(with_checksum(0xFF, {2}), 1000);
    // A skip count without a Speedlock type stops the two-tone path from that block on,
    // and the block it then decodes the standard way is written the standard way.
    Conversion c = convert(render(b.bytes()), [](Settings& s) {
        apply_loader_switch(s, "/diload");
        speedlock_settings(s).skip = 3;
    });
    EXPECT_EQ(kinds(blocks_of(c.output)), "10 10 21 12 12 13 14 22 10 10 ");
    // With a Speedlock type the two-tone path never runs: blocks 2 and 3 are Speedlock blocks.
    Conversion both = convert(render(b.bytes()), [](Settings& s) {
        apply_loader_switch(s, "/diload");
        speedlock_settings(s).type = 1;
    });
    EXPECT_EQ(both.console.find("Digital Integration"), std::string::npos);
}

TEST(BleepLoad, PilotOnlyMarkers) {
    ImageBuilder b = rom_pair("GAME");
    b.tone(2168, 1500).pause(1000);  // a tone with no sync: a marker
    b.standard(with_checksum(0xFF, pattern_bytes(30, 22)), 1000);
    const ByteVec recording = render(b.bytes());
    Conversion c = convert(recording, [](Settings& s) { apply_loader_switch(s, "/bleep"); });
    const std::string report = report_of(c.console);
    EXPECT_NE(report.find("\n*------------ P-2168,1498 S-   0/   0 0- 855,1-1710 F-FF B0 L-    1 C- P-"), std::string::npos)
        << report;
    // Every block reports the ROM timings, whatever was measured.
    EXPECT_EQ(report.rfind(" P:GAME       P-2168,8062 S- 667/ 735 0- 855,1-1710 F-00 B8 L-   19 C* P-1.000\n", 0), 0u);
    EXPECT_EQ(kinds(blocks_of(c.output)), "10 10 10 ");
    Conversion tap = convert(recording, [](Settings& s) {
        apply_loader_switch(s, "/bleep");
        s.tap_output = true;
    });
    EXPECT_EQ(tap.output.size(), 2u + 19 + 2 + 42 + 2 + 32);
}

TEST(BleepLoad, ShortFirstTonesAreNotBlocks) {
    ImageBuilder b;
    b.turbo(2168, 667, 735, 855, 1710, 900, 8, 1000, with_checksum(0xFF, {1, 2}));
    b.standard(rom_header("GAME"), 1000);
    Conversion c = convert(render(b.bytes()), [](Settings& s) { apply_loader_switch(s, "/bleep"); });
    EXPECT_EQ(c.blocks, 1);
}

}  // namespace
}  // namespace kvr::test
