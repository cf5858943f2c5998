// The KVR block writers byte for byte, the TAP records, and writing files safely.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "conversion/kvr_sink.hpp"
#include "conversion/tap_sink.hpp"
#include "loaders/speedlock_common.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

// A block with ROM timings as the ROM loader leaves it waiting.
DecodedBlock rom_block(const ByteVec& data, std::int32_t pilots) {
    DecodedBlock b;
    b.counted = b.waits = true;
    b.loader = loader_named("rom");
    b.data = data;
    b.last_byte_bits = 8;
    b.flag_byte = data.empty() ? 0 : data[0];
    b.timings = {image::kRomPilot, pilots, image::kRomSync1, image::kRomSync2, image::kRomBit0, image::kRomBit1};
    return b;
}

// An image in memory that blocks go into as they do in a conversion.
struct ImageOut {
    Settings settings;
    ImageWriter image;
    std::unique_ptr<LoaderSet> loaders;
    std::unique_ptr<KvrSink> sink;

    explicit ImageOut(const Configure& configure = {}) {
        if (configure) configure(settings);
        image.open_memory();
        loaders = std::make_unique<LoaderSet>(settings);
        sink = std::make_unique<KvrSink>(image, *loaders);
    }
    // The waiting block written with the pause after it.
    void write(DecodedBlock b, float pause = 1.0f) {
        sink->take(std::move(b));
        sink->release(pause);
    }
    ByteVec bytes(std::size_t from = 0, std::size_t n = SIZE_MAX) const {
        const ByteVec& m = image.memory();
        const std::size_t end = std::min(m.size(), n == SIZE_MAX ? m.size() : from + n);
        return ByteVec(m.begin() + static_cast<std::ptrdiff_t>(from), m.begin() + static_cast<std::ptrdiff_t>(end));
    }
};

TEST(KvrWriter, PauseFieldRounding) {
    EXPECT_EQ(image::pause_ms(1.2345f), 1235);
    EXPECT_EQ(image::pause_ms(0.0004f), 0);
    EXPECT_EQ(image::pause_ms(0.9995f), 999);  // the single-precision value lies just below
    EXPECT_EQ(image::pause_ms(1.0f), 1000);
    EXPECT_EQ(image::field16(70000), 65535);
    EXPECT_EQ(image::field16(-3), 0);
}

TEST(KvrWriter, StandardAndTurboBlocks) {
    ImageOut out;
    out.sink->start();
    out.write(rom_block(rom_header("A"), 8064));
    ByteVec expected{'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10, 0x10, 0xE8, 0x03, 0x13, 0x00};
    const ByteVec header = rom_header("A");
    expected.insert(expected.end(), header.begin(), header.end());
    EXPECT_EQ(out.bytes(), expected);

    ImageOut turbo;
    DecodedBlock b = rom_block(pattern_bytes(256, 4), 3000);
    b.timings = {2000, 3000, 600, 700, 500, 1000};
    turbo.write(std::move(b));
    EXPECT_EQ(turbo.bytes(0, 19), (ByteVec{0x11, 0xD0, 0x07, 0x58, 0x02, 0xBC, 0x02, 0xF4, 0x01, 0xE8, 0x03, 0xB8,
                                           0x0B, 0x08, 0xE8, 0x03, 0x00, 0x01, 0x00}));
    EXPECT_EQ(turbo.image.memory().size(), 19u + 256);
}

TEST(KvrWriter, TheStandardTestDecidesTheKind) {
    auto kind = [](const ByteVec& data, std::int32_t pilots, std::int32_t bit1, const Configure& configure = {}) {
        ImageOut out(configure);
        DecodedBlock b = rom_block(data, pilots);
        b.timings.bit1 = bit1;
        out.write(std::move(b));
        return out.image.memory().at(0);
    };
    const ByteVec header = rom_header("A");
    const ByteVec data = with_checksum(0xFF, {1, 2});
    EXPECT_EQ(kind(header, 8064, 1350), 0x10);  // percent_diff 20
    EXPECT_EQ(kind(header, 8064, 1340), 0x11);  // 21
    EXPECT_EQ(kind(header, 8064, 2080), 0x10);  // 17: relative to the larger length
    EXPECT_EQ(kind(header, 3220, 1710), 0x11);
    EXPECT_EQ(kind(data, 8064, 1710), 0x11);
    EXPECT_EQ(kind(data, 3220, 1710), 0x10);
    EXPECT_EQ(kind(header, 8064, 1340, [](Settings& s) { s.standard_tolerance_pct = 21; }), 0x10);

    ImageOut big;
    big.write(rom_block(ByteVec(65536, 0xFF), 3220));
    EXPECT_EQ(big.bytes(0, 1), ByteVec{0x11});
    EXPECT_EQ(big.bytes(16, 3), (ByteVec{0x00, 0x00, 0x01}));

    // A block that kept no bytes (a partial one dropped by "/ignore") is judged by the
    // first byte its read left.
    DecodedBlock empty = rom_block({}, 8064);
    ImageOut standard;
    standard.write(empty);
    EXPECT_EQ(standard.bytes(), (ByteVec{0x10, 0xE8, 0x03, 0x00, 0x00}));
    empty.flag_byte = 0xFF;
    ImageOut turbo;
    turbo.write(empty);
    EXPECT_EQ(turbo.bytes(0, 1), ByteVec{0x11});
}

TEST(KvrWriter, ForcedSyncAndPilotCount) {
    auto forced = [](std::int32_t bit1, std::int32_t force) {
        ImageOut out([&](Settings& s) {
            s.force_pilot = true;
            s.forced_pilot_hps = force;
            s.force_sync = true;
        });
        DecodedBlock b = rom_block(rom_header("A"), 8064);
        b.timings.bit1 = bit1;
        b.timings.sync1 = 100;
        b.timings.pilot_pulse = 70000;  // too wide for its field
        out.write(std::move(b));
        return out.bytes(0, 19);
    };
    EXPECT_EQ(forced(1710, 3000).at(0), 0x11);  // the pilot of 70000 T-states is not standard
    const ByteVec turbo = forced(1000, 3000);
    EXPECT_EQ(turbo.at(0), 0x11);
    EXPECT_EQ(ByteVec(turbo.begin() + 1, turbo.begin() + 7), (ByteVec{0xFF, 0xFF, 0x9B, 0x02, 0xDF, 0x02}));
    EXPECT_EQ(ByteVec(turbo.begin() + 11, turbo.begin() + 13), (ByteVec{0xB8, 0x0B}));
    const ByteVec negative = forced(1000, -5);
    EXPECT_EQ(ByteVec(negative.begin() + 11, negative.begin() + 13), (ByteVec{0x00, 0x00}));

    ImageOut standard([](Settings& s) {
        s.force_pilot = true;
        s.forced_pilot_hps = 3000;
    });
    standard.write(rom_block(rom_header("A"), 8064));
    EXPECT_EQ(standard.image.memory().at(0), 0x10);  // the forced count does not appear
}

TEST(KvrWriter, SubBlocksWithTrailerAndLeader) {
    ImageOut out;
    DecodedBlock b;
    b.timings.bit0 = 565, b.timings.bit1 = 1130;
    b.subblock_bytes = ByteVec(1024, 0x42);
    b.subblocks = {{1, 0, 1024, 8}, {2, 1024, 3, 8}};
    out.sink->subblock(b, 0);
    const ByteVec& m = out.image.memory();
    ASSERT_EQ(m.size(), 11u + 1024 + 2 + 84);
    EXPECT_EQ(ByteVec(m.begin(), m.begin() + 11), (ByteVec{0x14, 0x35, 0x02, 0x6A, 0x04, 0x08, 0x00, 0x00, 0x00, 0x04, 0x00}));
    EXPECT_EQ(m[1035], 0x13);
    EXPECT_EQ(m[1036], 42);
    EXPECT_EQ(m[1037], 0x6B);  // 875
    EXPECT_EQ(m[1037 + 20], 0xD6);  // the eleventh pulse: 1750
    EXPECT_EQ(m[1037 + 83], 0x03);

    SpeedlockLeader l;
    l.segment_count = 20;
    l.segments.fill(200);
    l.pulse = 2168;
    l.click_hps = 2;
    l.click_pulses = {715, 715};
    DecodedBlock led;
    append_leader(l, led.lead_in);
    const ByteVec leader = lead_in_bytes(led);
    ASSERT_EQ(leader.size(), 20u * 5 + 19 * 6);
    EXPECT_EQ(ByteVec(leader.begin(), leader.begin() + 11),
              (ByteVec{0x12, 0x78, 0x08, 0xC8, 0x00, 0x13, 0x02, 0xCB, 0x02, 0xCB, 0x02}));
}

TEST(KvrWriter, BleepLoadMarkersWriteNothing) {
    ImageOut out([](Settings& s) { apply_loader_switch(s, "/bleep"); });
    DecodedBlock marker = rom_block({0xFF}, 500);
    marker.last_byte_bits = 0;
    out.write(marker);
    out.write(marker);
    EXPECT_TRUE(out.image.memory().empty());
    DecodedBlock turbo = rom_block({0xFF}, 500);
    turbo.timings.pilot_pulse = 1000;
    turbo.timings.bit1 = 1000;  // turbo: its pilot fields then carry 2168 and 3220
    out.write(turbo);
    EXPECT_EQ(out.bytes(0, 3), (ByteVec{0x11, 0x78, 0x08}));
    EXPECT_EQ(out.bytes(11, 2), (ByteVec{0x94, 0x0C}));
    // Only the first block after the markers: the next keeps its own pilot.
    const std::size_t next = out.image.memory().size();
    out.write(turbo);
    EXPECT_EQ(out.bytes(next, 3), (ByteVec{0x11, 0xE8, 0x03}));
    EXPECT_EQ(out.bytes(next + 11, 2), (ByteVec{0xF4, 0x01}));
}

TEST(TapWriter, Records) {
    ImageWriter file;
    file.open_memory();
    Console console;
    Report report(console);
    const std::string name = "test.tap";
    TapSink sink(file, report, name);
    sink.take(rom_block(pattern_bytes(300, 5), 0));
    EXPECT_EQ(ByteVec(file.memory().begin(), file.memory().begin() + 2), (ByteVec{0x2C, 0x01}));
    EXPECT_EQ(file.memory().size(), 302u);
    file.open_memory();
    DecodedBlock partial = rom_block({0xA0}, 0);
    partial.last_byte_bits = 3;
    sink.take(std::move(partial));
    EXPECT_EQ(file.memory(), (ByteVec{0x01, 0x00, 0xA0}));
    file.open_memory();
    DecodedBlock marker = rom_block({0xFF}, 0);
    marker.last_byte_bits = 0;
    sink.take(std::move(marker));
    EXPECT_TRUE(file.memory().empty());
    // Too long for the two-byte length: left out, with a warning naming the block.
    DecodedBlock big = rom_block(ByteVec(70000, 1), 0);
    big.index = 6;
    sink.take(std::move(big));
    EXPECT_TRUE(file.memory().empty());
    EXPECT_EQ(console.warnings(), "Warning: block 7 has 70000 bytes, too many for a TAP record; it was left out of test.tap\n");
}

// The converter run in a child process.
int convert_file(const std::string& args, std::string& out) {
    return run_command(std::string(KELVARIN_EXE) + " " + args + " 2>&1", out);
}

TEST(OutputFile, FailedWritesLeaveNothingBehind) {
    TempDir dir;
    const std::string input = std::string(EXAMPLES_DIR) + "/game.csw";
    std::string out;
    const ByteVec large(3000, 0x55);
    // A conversion that succeeds replaces an existing file.
    dir.write("out.kvr", large);
    EXPECT_EQ(convert_file(input + " " + dir.path("out.kvr"), out), 0);
    EXPECT_EQ(dir.read("out.kvr").size(), 10u + 5 + 19 + 5 + 258);

    // A write that fails reports it, and neither leaves a partial file nor destroys the old one.
    EXPECT_EQ(convert_file(input + " /dev/full", out), 1);
    EXPECT_NE(out.find("\n-- Error: Cannot write output file /dev/full !\n"), std::string::npos);
    std::string listing;
    run_command("ls " + dir.path(""), listing);
    EXPECT_EQ(listing, "out.kvr\n");
}

TEST(OutputFile, TooSmallALimitFailsCleanly) {
    TempDir dir;
    const ByteVec old(100, 0x55);
    dir.write("keep.kvr", old);
    ASSERT_EQ(chmod(dir.path("keep.kvr").c_str(), 0640), 0);
    std::string out;
    // 1 KiB of file size cannot hold the image of 20000 data bytes.
    const std::string image = dir.path("big-source.kvr");
    dir.write("big-source.kvr", ImageBuilder{}.standard(with_checksum(0xFF, ByteVec(20000, 0)), 1000).bytes());
    ASSERT_EQ(run_command(std::string(KVRTOOL_EXE) + " play " + image + " -o " + dir.path("big.csw") + " --format csw", out), 0);
    EXPECT_EQ(run_command("ulimit -f 1; " + std::string(KELVARIN_EXE) + " " + dir.path("big.csw") + " " +
                              dir.path("keep.kvr") + " 2>&1",
                          out),
              1);
    EXPECT_NE(out.find("-- Error: Cannot write output file " + dir.path("keep.kvr") + " !\n"), std::string::npos);
    EXPECT_EQ(dir.read("keep.kvr"), old);
    std::string listing;
    run_command("ls " + dir.path(""), listing);
    EXPECT_EQ(listing, "big-source.kvr\nbig.csw\nkeep.kvr\n");
    // A successful conversion keeps the permissions of the file it replaces.
    ASSERT_EQ(run_command(std::string(KELVARIN_EXE) + " " + EXAMPLES_DIR + "/game.csw " + dir.path("keep.kvr"), out), 0);
    struct stat st {};
    ASSERT_EQ(stat(dir.path("keep.kvr").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace kvr::test
