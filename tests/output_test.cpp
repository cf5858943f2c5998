// The KVR block writers byte for byte, the TAP records, and writing files safely.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kvr::test {
namespace {

// A context whose waiting block has ROM timings, with the header already written.
std::unique_ptr<Context> waiting_block(const ByteVec& data, std::int32_t pilots, const Configure& configure = {}) {
    auto cx = fresh_context();
    if (configure) configure(cx->settings);
    WorkingRecord& w = cx->work;
    w.samples_per_tstate = 44100 * 2.857142857142857e-7;
    w.pilot_pulse = kRomPilot;
    w.sync1_pulse = kRomSync1;
    w.sync2_pulse = kRomSync2;
    w.bit0_pulse = kRomBit0;
    w.bit1_pulse = kRomBit1;
    w.pending_pilot_count = pilots;
    w.last_byte_bits = 8;
    w.pause_seconds = 1.0f;
    std::copy(data.begin(), data.end(), w.block_data.begin());
    w.block_length = static_cast<std::int32_t>(data.size());
    w.block_count = 1;
    return cx;
}

ByteVec written(Context& cx, std::size_t n = SIZE_MAX) {
    const ByteVec& m = cx.image.memory();
    return ByteVec(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(std::min(n, m.size())));
}

TEST(KvrWriter, PauseFieldRounding) {
    EXPECT_EQ(image::pause_ms(1.2345f), 1235);
    EXPECT_EQ(image::pause_ms(0.0004f), 0);
    EXPECT_EQ(image::pause_ms(0.9995f), 999);  // the single-precision value lies just below
    EXPECT_EQ(image::pause_ms(1.0f), 1000);
    EXPECT_EQ(image::field16(70000), 65535);
    EXPECT_EQ(image::field16(-3), 0);
}

TEST(KvrWriter, StandardAndTurboBlocks) {
    auto cx = waiting_block(rom_header("A"), 8064);
    write_header(*cx);
    write_pending_block(*cx);
    ByteVec expected{'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10, 0x10, 0xE8, 0x03, 0x13, 0x00};
    const ByteVec header = rom_header("A");
    expected.insert(expected.end(), header.begin(), header.end());
    EXPECT_EQ(written(*cx), expected);

    auto turbo = waiting_block(pattern_bytes(256, 4), 3000);
    WorkingRecord& w = turbo->work;
    w.pilot_pulse = 2000, w.sync1_pulse = 600, w.sync2_pulse = 700, w.bit0_pulse = 500, w.bit1_pulse = 1000;
    write_pending_block(*turbo);
    EXPECT_EQ(written(*turbo, 19), (ByteVec{0x11, 0xD0, 0x07, 0x58, 0x02, 0xBC, 0x02, 0xF4, 0x01, 0xE8, 0x03, 0xB8,
                                            0x0B, 0x08, 0xE8, 0x03, 0x00, 0x01, 0x00}));
    EXPECT_EQ(turbo->image.memory().size(), 19u + 256);
}

TEST(KvrWriter, TheStandardTestDecidesTheKind) {
    auto kind = [](const ByteVec& data, std::int32_t pilots, std::int32_t bit1, const Configure& configure = {}) {
        auto cx = waiting_block(data, pilots, configure);
        cx->work.bit1_pulse = bit1;
        write_pending_block(*cx);
        return cx->image.memory().at(0);
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

    auto big = waiting_block(ByteVec(65536, 0xFF), 3220);
    write_pending_block(*big);
    EXPECT_EQ(written(*big, 19).at(0), 0x11);
    EXPECT_EQ(ByteVec(big->image.memory().begin() + 16, big->image.memory().begin() + 19), (ByteVec{0x00, 0x00, 0x01}));
}

TEST(KvrWriter, ForcedSyncAndPilotCount) {
    auto forced = [](std::int32_t bit1, std::int32_t force) {
        auto cx = waiting_block(rom_header("A"), 8064, [&](Settings& s) {
            s.force_pilot = true;
            s.forced_pilot_hps = force;
            s.force_sync = true;
        });
        cx->work.bit1_pulse = bit1;
        cx->work.sync1_pulse = 100;
        cx->work.pilot_pulse = 70000;  // too wide for its field
        write_pending_block(*cx);
        return written(*cx, 19);
    };
    EXPECT_EQ(forced(1710, 3000).at(0), 0x11);  // the pilot of 70000 T-states is not standard
    const ByteVec turbo = forced(1000, 3000);
    EXPECT_EQ(turbo.at(0), 0x11);
    EXPECT_EQ(ByteVec(turbo.begin() + 1, turbo.begin() + 7), (ByteVec{0xFF, 0xFF, 0x9B, 0x02, 0xDF, 0x02}));
    EXPECT_EQ(ByteVec(turbo.begin() + 11, turbo.begin() + 13), (ByteVec{0xB8, 0x0B}));
    const ByteVec negative = forced(1000, -5);
    EXPECT_EQ(ByteVec(negative.begin() + 11, negative.begin() + 13), (ByteVec{0x00, 0x00}));

    auto standard = waiting_block(rom_header("A"), 8064, [](Settings& s) {
        s.force_pilot = true;
        s.forced_pilot_hps = 3000;
    });
    write_pending_block(*standard);
    EXPECT_EQ(standard->image.memory().at(0), 0x10);  // the forced count does not appear
}

TEST(KvrWriter, PureDataWithTrailerAndLeader) {
    auto cx = waiting_block({}, 0);
    WorkingRecord& w = cx->work;
    w.bit0_pulse = 565, w.bit1_pulse = 1130, w.pause_seconds = 0.0f;
    const ByteVec data(1024, 0x42);
    write_pure_data(*cx, data.data(), 1024, true);
    const ByteVec& m = cx->image.memory();
    ASSERT_EQ(m.size(), 11u + 1024 + 2 + 84);
    EXPECT_EQ(ByteVec(m.begin(), m.begin() + 11), (ByteVec{0x14, 0x35, 0x02, 0x6A, 0x04, 0x08, 0x00, 0x00, 0x00, 0x04, 0x00}));
    EXPECT_EQ(m[1035], 0x13);
    EXPECT_EQ(m[1036], 42);
    EXPECT_EQ(m[1037], 0x6B);  // 875
    EXPECT_EQ(m[1037 + 20], 0xD6);  // the eleventh pulse: 1750
    EXPECT_EQ(m[1037 + 83], 0x03);

    auto leader = fresh_context();
    WorkingRecord& l = leader->work;
    l.segment_count = 20;
    l.leader_segments.fill(200);
    l.leader_pulse = 2168;
    l.click_hps = 2;
    l.click_pulses = {715, 715};
    write_leader_segments(*leader);
    const ByteVec& b = leader->image.memory();
    ASSERT_EQ(b.size(), 20u * 5 + 19 * 6);
    EXPECT_EQ(ByteVec(b.begin(), b.begin() + 11), (ByteVec{0x12, 0x78, 0x08, 0xC8, 0x00, 0x13, 0x02, 0xCB, 0x02, 0xCB, 0x02}));
}

TEST(KvrWriter, BleepLoadMarkersWriteNothing) {
    auto cx = waiting_block({0xFF}, 500, [](Settings& s) { s.bleepload = true; });
    cx->work.last_byte_bits = 0;
    write_pending_block(*cx);
    EXPECT_TRUE(cx->image.memory().empty());
    EXPECT_TRUE(cx->image.bleep_pilot_reset);
    cx->work.last_byte_bits = 8;
    cx->work.pilot_pulse = 1000;
    cx->work.bit1_pulse = 1000;  // turbo: its pilot fields then carry 2168 and 3220
    write_pending_block(*cx);
    EXPECT_EQ(written(*cx, 3), (ByteVec{0x11, 0x78, 0x08}));
    EXPECT_EQ(ByteVec(cx->image.memory().begin() + 11, cx->image.memory().begin() + 13), (ByteVec{0x94, 0x0C}));
    EXPECT_FALSE(cx->image.bleep_pilot_reset);
}

TEST(TapWriter, Records) {
    auto cx = waiting_block(pattern_bytes(300, 5), 0);
    write_tap_record(*cx);
    EXPECT_EQ(written(*cx, 2), (ByteVec{0x2C, 0x01}));
    EXPECT_EQ(cx->image.memory().size(), 302u);
    auto partial = waiting_block({0xA0}, 0);
    partial->work.last_byte_bits = 3;
    write_tap_record(*partial);
    EXPECT_EQ(written(*partial), (ByteVec{0x01, 0x00, 0xA0}));
    auto marker = waiting_block({0xFF}, 0);
    marker->work.last_byte_bits = 0;
    write_tap_record(*marker);
    EXPECT_TRUE(marker->image.memory().empty());
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
