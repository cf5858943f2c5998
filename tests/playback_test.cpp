// kvrtool: listing images, and playing them back with exact timing in every format.
#include <gtest/gtest.h>

#include "playback/list.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

ByteVec every_kind() {
    return ImageBuilder{}
        .standard(rom_header("LIST"), 1000)
        .turbo(2000, 600, 700, 500, 1000, 3000, 5, 250, {0x12, 0x34, 0x26})
        .tone(2168, 100)
        .pulses({715, 715, 3150})
        .pure_data(565, 1130, 8, 0, {1, 2, 4})
        .pause(300)
        .group_start("SpeedLock 1 Block 1")
        .group_end()
        .bytes();
}

TEST(KvrTool, ListsEveryBlockKind) {
    TapeImage image;
    std::string error;
    ASSERT_TRUE(parse_tape_image(every_kind(), false, image, error)) << error;
    const std::string list = list_tape_image(image);
    EXPECT_EQ(list,
              "  #  offset    time       block\n"
              "  1  0000000A    0:00.000  standard data   pause 1000 ms, 19 bytes, flag 00, checksum good, header of program \"LIST\"\n"
              "  2  00000022    0:06.080  turbo data      pilot 2000 x 3000, sync 600/700, bits 500/1000, used bits 5, "
              "pause 250 ms, 3 bytes, flag 12, checksum good\n"
              "  3  00000038    0:08.053  pure tone       2168 x 100\n"
              "  4  0000003D    0:08.115  pulse sequence  3 pulses: 715 715 3150\n"
              "  5  00000045    0:08.116  pure data       bits 565/1130, used bits 8, pause 0 ms, 3 bytes, flag 01, "
              "checksum bad\n"
              "  6  00000053    0:08.125  pause           300 ms\n"
              "  7  00000056    0:08.425  group start     \"SpeedLock 1 Block 1\"\n"
              "  8  0000006B    0:08.425  group end\n"
              "8 blocks, 0:08.425\n");
}

TEST(KvrTool, MalformedImagesNameTheOffset) {
    auto error_of = [](const ByteVec& bytes, bool tap = false) {
        TapeImage image;
        std::string error;
        EXPECT_FALSE(parse_tape_image(bytes, tap, image, error));
        return error;
    };
    ByteVec image = every_kind();
    EXPECT_EQ(error_of({'V', 'o', 'r', 'n', 'a', 'x', '!', 0x1A, 1, 10}), "bad signature at offset 0 (0x0)");
    ByteVec cut(image.begin(), image.end() - 3);
    EXPECT_EQ(error_of(cut), "block runs past the end of the file at offset 86 (0x56)");
    ByteVec unknown = image;
    unknown.push_back(0x35);
    EXPECT_EQ(error_of(unknown), "unknown block ID 0x35 at offset 108 (0x6C)");
    EXPECT_EQ(error_of({0x05, 0x00, 1, 2}, true), "record runs past the end of the file at offset 0 (0x0)");
}

TEST(KvrTool, CommandLine) {
    TempDir dir;
    dir.write("image.kvr", every_kind());
    dir.write("broken.kvr", {'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10, 0x10, 0});
    const std::string tool = KVRTOOL_EXE;
    std::string out;
    EXPECT_EQ(run_command(tool + " list " + dir.path("image.kvr"), out), 0);
    EXPECT_NE(out.find("turbo data"), std::string::npos);
    EXPECT_EQ(run_command(tool + " list " + dir.path("broken.kvr") + " 2>&1", out), 1);
    EXPECT_NE(out.find("block runs past the end of the file at offset 10"), std::string::npos);
    EXPECT_EQ(run_command(tool + " 2>/dev/null", out), 2);
    EXPECT_EQ(run_command(tool + " frobnicate 2>/dev/null", out), 2);
    EXPECT_EQ(run_command(tool + " play " + dir.path("image.kvr") + " 2>/dev/null", out), 2);
    EXPECT_EQ(run_command(tool + " play " + dir.path("image.kvr") + " -o x --format mp3 2>/dev/null", out), 2);
    EXPECT_EQ(run_command(tool + " play --help", out), 0);
    EXPECT_NE(out.find("--jitter PCT"), std::string::npos);
    EXPECT_EQ(run_command(tool + " --help", out), 0);
    // A rate that the format cannot state is a usage error, found before anything is written.
    EXPECT_EQ(run_command(tool + " play " + dir.path("image.kvr") + " -o " + dir.path("out.csw") +
                              " --format csw --rate 96000 2>&1",
                          out),
              2);
    EXPECT_NE(out.find("65535"), std::string::npos);
    EXPECT_TRUE(dir.read("out.csw").empty());
    EXPECT_EQ(run_command(tool + " play " + dir.path("image.kvr") + " -o " + dir.path("out.voc") + " --format voc16", out), 0);
    EXPECT_GT(dir.read("out.voc").size(), 26u);
}

// The lengths of the runs of one level in a sample buffer.
std::vector<std::int32_t> hp_lengths(const SampleVector& samples) {
    std::vector<std::int32_t> out;
    for (std::size_t i = 0; i < samples.size();) {
        std::size_t j = i;
        while (j < samples.size() && (samples[j] < 0) == (samples[i] < 0)) ++j;
        out.push_back(static_cast<std::int32_t>(j - i));
        i = j;
    }
    return out;
}

SampleVector load(const ByteVec& file) {
    SampleInfo info;
    SampleVector samples;
    SampleCollector collect(samples);
    for (auto reader : {read_voc, read_wav, read_csw})
        if (reader(file, info, collect, kMaxSamples, nullptr) == LOAD_OK) return samples;
    ADD_FAILURE() << "no reader took the rendering";
    return {};
}

TEST(Rendering, PulsesFallOnExactSampleBoundaries) {
    std::vector<int> pulses(10, 3500);
    pulses.push_back(1000);
    RenderOptions options;
    options.format = SampleFormat::wav8;
    const std::vector<std::int32_t> hps = hp_lengths(load(render(ImageBuilder{}.pulses(pulses).bytes(), options)));
    // Each boundary is floor(T x 44100 / 3500000) of the time from the start.
    ASSERT_EQ(hps.size(), 11u);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(hps[k - 1], (k * 441) / 10 - ((k - 1) * 441) / 10) << k;
    EXPECT_EQ(hps[10], (35000 + 1000) * 441 / 35000 - 441);
}

TEST(Rendering, NoDriftOverAnHour) {
    // 359,928 pulses of 35,007 T-states: an hour at 1000 Hz, about 10.002 samples each.
    ImageBuilder b;
    const int per_block = 65535, blocks = 5, rest = 359928 - per_block * blocks;
    for (int i = 0; i < blocks; ++i) b.tone(35007, per_block);
    b.tone(35007, rest);
    RenderOptions options;
    options.rate = 1000;
    options.format = SampleFormat::wav8;
    const SampleVector samples = load(render(b.bytes(), options));
    const std::int64_t total = 359928LL * 35007 * 1000 / 3500000;
    EXPECT_EQ(static_cast<std::int64_t>(samples.size()), total);
    const std::vector<std::int32_t> hps = hp_lengths(samples);
    ASSERT_EQ(hps.size(), 359928u);
    std::int64_t end = 0;
    for (std::size_t k = 0; k + 1 < hps.size(); ++k) end += hps[k];
    const std::int64_t pulses = 359927;
    EXPECT_EQ(end, pulses * 35007 * 1000 / 3500000);
}

TEST(Rendering, EveryFormatGivesTheSameLevels) {
    const ByteVec image = ImageBuilder{}
                              .standard(with_checksum(0xFF, pattern_bytes(20, 30)), 100)
                              .pulses({700, 1400, 2100})
                              .bytes();
    RenderOptions reference;
    reference.format = SampleFormat::wav16;
    const std::vector<std::int32_t> expected = hp_lengths(load(render(image, reference)));
    for (SampleFormat f : {SampleFormat::wav8, SampleFormat::wav8s, SampleFormat::wav16s, SampleFormat::wav24,
                           SampleFormat::wavf32, SampleFormat::csw, SampleFormat::voc16}) {
        RenderOptions options;
        options.format = f;
        EXPECT_EQ(hp_lengths(load(render(image, options))), expected) << static_cast<int>(f);
    }
    RenderOptions voc8;
    voc8.format = SampleFormat::voc8;
    reference.rate = effective_rate(voc8);
    EXPECT_EQ(reference.rate, 43478u);
    EXPECT_EQ(hp_lengths(load(render(image, voc8))), hp_lengths(load(render(image, reference))));
}

TEST(Rendering, TapFilesPlayAsStandardBlocks) {
    TapeImage image;
    std::string error;
    const ByteVec tap{0x03, 0x00, 0xFF, 0x01, 0xFE, 0x02, 0x00, 0x00, 0x00};
    ASSERT_TRUE(parse_tape_image(tap, true, image, error));
    ASSERT_EQ(image.blocks.size(), 2u);
    EXPECT_EQ(image.blocks[0].pilot_count, 3220);
    EXPECT_EQ(image.blocks[1].pilot_count, 8064);
    EXPECT_EQ(image.blocks[1].pause_ms, 1000);
    MemorySink sink;
    ASSERT_TRUE(render_tape_image(image, RenderOptions{}, sink, error));
    Conversion c = convert(sink.bytes);
    EXPECT_EQ(c.blocks, 2);
}

}  // namespace
}  // namespace kvr::test
