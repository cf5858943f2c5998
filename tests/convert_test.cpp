// kvrtool convert: the classic conversion byte for byte with --exact, recovery of damaged
// recordings through the front end and the retries, and its command line.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "recovery/classic_levels.hpp"
#include "recovery/level_splice.hpp"
#include "recovery/recover.hpp"
#include "recovery/recovery_input.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

// A program at ROM speed and a turbo block: four blocks of known bytes.
struct KnownTape {
    ByteVec image;
    std::vector<ByteVec> blocks;
};

KnownTape known_tape() {
    KnownTape t;
    t.blocks = {rom_header("DAMAGED", 3, 300), with_checksum(0xFF, pattern_bytes(300, 41)), rom_header("TURBO", 3, 200),
                with_checksum(0x42, pattern_bytes(200, 42))};
    ImageBuilder b;
    b.standard(t.blocks[0], 1000).standard(t.blocks[1], 1500).standard(t.blocks[2], 1000);
    b.turbo(1800, 600, 600, 600, 1200, 3000, 8, 1000, t.blocks[3]);
    t.image = b.bytes();
    return t;
}

std::vector<ByteVec> tap_records(const ByteVec& tap) {
    TapeImage image;
    std::string error;
    EXPECT_TRUE(parse_tape_image(tap, true, image, error)) << error;
    std::vector<ByteVec> r;
    for (const TapeBlock& b : image.blocks) r.push_back(b.data);
    return r;
}

int recovered(const KnownTape& t, const ByteVec& tap) {
    const std::vector<ByteVec> got = tap_records(tap);
    int n = 0;
    for (const ByteVec& b : t.blocks) n += std::find(got.begin(), got.end(), b) != got.end();
    return n;
}

TEST(Convert, ExactIsKelvarinByteForByte) {
    TempDir dir;
    const KnownTape t = known_tape();
    RenderOptions damaged;
    damaged.noise = 0.3;
    dir.write("tape.wav", render(t.image, damaged));
    std::string classic;
    const int status = run_command(std::string(KELVARIN_EXE) + " /end 60 " + dir.path("tape.wav") + " " + dir.path("k.kvr"), classic);
    const ToolRun exact = kvrtool("convert -f --exact --end 60 " + dir.path("tape.wav") + " -o " + dir.path("e.kvr"));
    EXPECT_EQ(exact.status, status);
    std::string same = classic;
    // The report names the output it writes; the two runs write two files.
    const std::size_t at = same.find("k.kvr");
    if (at != std::string::npos) same.replace(at, 5, "e.kvr");
    EXPECT_EQ(exact.out, same);
    EXPECT_EQ(dir.read("e.kvr"), dir.read("k.kvr"));
}

TEST(Convert, CleanRecordingsKeepKelvarinsBlocks) {
    TempDir dir;
    const KnownTape t = known_tape();
    dir.write("clean.wav", render(t.image));
    std::string classic;
    run_command(std::string(KELVARIN_EXE) + " /tap " + dir.path("clean.wav") + " " + dir.path("k.tap"), classic);
    const ToolRun r = kvrtool("convert -f " + dir.path("clean.wav") + " -o " + dir.path("c.tap"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(recovered(t, dir.read("k.tap")), 4);
    EXPECT_EQ(dir.read("c.tap"), dir.read("k.tap"));
    EXPECT_NE(r.out.find("Blocks: 4, good checksums: 4, recovered by a retry: 0, still bad: 0, probable noise: 0\n"), std::string::npos) << r.out;
}

// Each kind of damage at a level the classic algorithm does not survive.
TEST(Convert, RecoversWhatTheClassicAlgorithmLoses) {
    const KnownTape t = known_tape();
    const std::pair<const char*, std::function<void(RenderOptions&)>> damages[] = {
        {"hum", [](RenderOptions& o) { o.hum = 0.3; }},
        {"DC offset after slewed edges", [](RenderOptions& o) { o.dc_offset = 0.45, o.lowpass_hz = 3000, o.noise = 0.05; }},
        {"high-pass", [](RenderOptions& o) { o.highpass_hz = 1000, o.noise = 0.03; }},
        {"clipping", [](RenderOptions& o) { o.clip = 0.3, o.dc_offset = 0.5, o.noise = 0.05; }},
        {"noise", [](RenderOptions& o) { o.noise = 0.55; }},
        {"a channel of hum alone", [](RenderOptions& o) { o.format = SampleFormat::wav16s, o.gain_right = 0, o.hum = 0.3; }},
    };
    for (const auto& [what, damage] : damages) {
        TempDir dir;
        RenderOptions o;
        damage(o);
        dir.write("tape.wav", render(t.image, o));
        std::string out;
        run_command(std::string(KELVARIN_EXE) + " /tap " + dir.path("tape.wav") + " " + dir.path("k.tap"), out);
        const int classic = std::filesystem::exists(dir.path("k.tap")) ? recovered(t, dir.read("k.tap")) : 0;
        EXPECT_LT(classic, 4) << what << ": the classic algorithm should not survive this";
        const ToolRun r = kvrtool("convert -f " + dir.path("tape.wav") + " -o " + dir.path("c.tap"));
        EXPECT_EQ(recovered(t, dir.read("c.tap")), 4) << what << "\n" << r.out;
    }
}

TEST(Convert, RetriesReadABadBlockAgain) {
    // Dropouts break the default reading of some blocks on some tapes; the retries recover
    // them and say so, and the summary counts them.
    const KnownTape t = known_tape();
    TempDir dir;
    int retried_tapes = 0;
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        RenderOptions o;
        o.dropouts_per_minute = 60, o.dropout_ms = 10, o.dropout_depth = 0.05, o.hum = 0.03, o.seed = seed;
        dir.write("tape.wav", render(t.image, o));
        const ToolRun r = kvrtool("convert -f " + dir.path("tape.wav") + " -o " + dir.path("c.tap"));
        if (r.out.find(" Retry: recovered with ") == std::string::npos) continue;
        ++retried_tapes;
        EXPECT_EQ(r.out.find("recovered by a retry: 0"), std::string::npos) << r.out;
        EXPECT_GE(recovered(t, dir.read("c.tap")), 3) << r.out;
    }
    EXPECT_GT(retried_tapes, 0);
}

// The recovering conversion's load step reads the file once: it keeps a WAV file's frames
// where they lie, CSW pulses as levels and any other file's mixed samples, and the classic
// levels of a stretch are made only when a retry asks for them. The lines, the length and
// every stretch's levels are those of the classic load.
TEST(Convert, ClassicLevelsAreMadeAsTheLoadMakesThem) {
    const KnownTape t = known_tape();
    std::mt19937 rng(9);
    for (const SampleFormat format : {SampleFormat::wav8, SampleFormat::wav16s, SampleFormat::wav24,
                                      SampleFormat::wavf32, SampleFormat::voc8, SampleFormat::csw}) {
        RenderOptions o;
        o.format = format, o.noise = 0.2, o.rate = 22050;
        const ByteVec file = render(t.image, o);
        auto full = fresh_context(), once = fresh_context();
        ASSERT_TRUE(load_sample_bytes(file, full->recording, full->console));
        RecoveryInput input(file, once->recording);
        ASSERT_TRUE(load_for_recovery(*once, file, input));
        EXPECT_EQ(once->console.text(), full->console.text());
        EXPECT_EQ(once->recording.count, full->recording.count);
        EXPECT_EQ(once->recording.sample_rate, full->recording.sample_rate);
        const bool wav = format != SampleFormat::voc8 && format != SampleFormat::csw;
        EXPECT_EQ(input.frames().has_value(), wav);
        EXPECT_EQ(input.pulses(), format == SampleFormat::csw);
        EXPECT_EQ(input.mixed().size(), format == SampleFormat::voc8 ? std::size_t(full->recording.count) : 0u);
        if (input.pulses()) {
            EXPECT_EQ(once->recording.edges, full->recording.edges);
        }

        std::unique_ptr<ClassicLevels> levels;
        const std::int32_t rate = full->recording.sample_rate;
        if (input.frames())
            levels = std::make_unique<PcmLevels>(file, *input.frames(), rate, nullptr);
        else if (!input.mixed().empty())
            levels = std::make_unique<SampleLevels>(input.mixed(), rate);
        if (!levels) continue;
        const Recording& whole = full->recording;
        for (int i = 0; i < 40; ++i) {
            const std::int32_t from = i == 0 ? 0 : static_cast<std::int32_t>(rng() % (whole.count + 10)) - 5;
            const std::int32_t to = i == 1 ? whole.count + 3 : from + static_cast<std::int32_t>(rng() % 30000);
            const Recording want = whole.slice(from, to), got = levels->window(from, to);
            ASSERT_EQ(got.count, want.count) << from << " " << to;
            ASSERT_EQ(got.sample_rate, want.sample_rate);
            if (want.count > 0) {
                ASSERT_EQ(got.first_low, want.first_low) << from;
            }
            ASSERT_TRUE(std::equal(got.edges.begin(), got.edges.end(), want.edges.begin(), want.edges.end()))
                << from << " " << to;
        }
    }
}

// A dropout that ends a long block early: the retry reads the rest of the block too, over
// the length its header announced, and recovers it.
TEST(Convert, BlocksCutShortAreReadAgainWhole) {
    KnownTape t;
    t.blocks = {rom_header("LONG", 3, 6000), with_checksum(0xFF, pattern_bytes(6000, 43))};
    ImageBuilder b;
    b.standard(t.blocks[0], 1000).standard(t.blocks[1], 1000);
    t.image = b.bytes();
    TempDir dir;
    RenderOptions o;
    o.noise = 0.25, o.hum = 0.05, o.dropouts_per_minute = 6, o.dropout_ms = 8, o.dropout_depth = 0.1, o.wow_pct = 0.5;
    o.seed = 3;  // a dropout ends the data block about a quarter of the way in
    dir.write("tape.wav", render(t.image, o));
    const ToolRun r = kvrtool("convert -f " + dir.path("tape.wav") + " -o " + dir.path("c.tap"));
    EXPECT_EQ(recovered(t, dir.read("c.tap")), 2) << r.out;
    EXPECT_NE(r.out.find("recovered by a retry: 1"), std::string::npos) << r.out;
    // Mended where the front end found the dropouts, not read again whole.
    EXPECT_NE(r.out.find(", where the signal was weak"), std::string::npos) << r.out;
}

// Levels that change on one sample in `flip_one_in`, at random.
SampleVector random_levels_of(std::mt19937& rng, std::size_t n, unsigned flip_one_in) {
    SampleVector v(n);
    std::int8_t level = rng() % 2 ? 100 : -100;
    for (auto& s : v) {
        if (rng() % flip_one_in == 0) level = static_cast<std::int8_t>(-level);
        s = level;
    }
    return v;
}

// Levels made of two readings: the first's outside [a, b), the second's inside, with an
// edge at a or b where the two differ there; against the same made sample by sample.
TEST(Convert, SplicedLevelsAreTheTwoReadingsJoined) {
    std::mt19937 rng(21);
    auto random_levels = [&](std::size_t n) { return random_levels_of(rng, n, 7); };
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 1 + rng() % 400;
        const SampleVector base = random_levels(n);
        const auto patch_at = static_cast<std::int32_t>(rng() % n);
        const SampleVector patch = random_levels(n - static_cast<std::size_t>(patch_at) + rng() % 5);
        const std::int32_t a = patch_at + static_cast<std::int32_t>(rng() % (n - static_cast<std::size_t>(patch_at)));
        const std::int32_t b = a + static_cast<std::int32_t>(rng() % (n - static_cast<std::size_t>(a) + 1));
        SampleVector want = base;
        for (std::int32_t i = a; i < b; ++i) want[static_cast<std::size_t>(i)] = patch[static_cast<std::size_t>(i - patch_at)];
        for (auto& v : want) v = v < 0 ? -128 : 127;  // as levels_of gives them
        const Recording got = splice_levels(recording_of(base, 44100), recording_of(patch, 44100), patch_at, a, b);
        ASSERT_EQ(levels_of(got), want) << "round " << round << ": [" << a << ", " << b << ") of " << n;
    }
}

// Several stretches mended at once: the window of the levels with each patch in place, as
// slicing and splicing patch by patch gives it, patches at the window's ends included.
TEST(Convert, WindowsSplicedAtOnceAreTheSplicesInTurn) {
    std::mt19937 rng(22);
    auto random_levels = [&](std::size_t n) { return recording_of(random_levels_of(rng, n, 5), 44100); };
    for (int round = 0; round < 500; ++round) {
        const Recording base = random_levels(1 + rng() % 600);
        const auto from = static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(base.count));
        const std::int32_t to = from + static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(base.count - from + 1));
        const std::int32_t count = to - from;
        std::vector<LevelPatch> patches;
        for (std::int32_t after = 0; count > 0 && after < count && rng() % 4 != 0;) {
            LevelPatch p;
            p.a = (after == 0 && rng() % 3 == 0) ? 0 : after + 1 + static_cast<std::int32_t>(rng() % 40);
            if (p.a >= count) break;
            p.b = p.a + 1 + static_cast<std::int32_t>(rng() % 40);
            if (rng() % 5 == 0) p.b = count;  // up to the window's end
            p.at = std::max(0, p.a - static_cast<std::int32_t>(rng() % 10));
            p.levels = random_levels(static_cast<std::size_t>(p.b - p.at + 5));
            after = std::min(p.b, count);
            patches.push_back(std::move(p));
        }
        Recording want = base.slice(from, to);
        for (const LevelPatch& p : patches) want = splice_levels(want, p.levels, p.at, p.a, p.b);
        const Recording got = splice_window(base, from, to, patches);
        ASSERT_EQ(got.count, want.count) << "round " << round;
        ASSERT_EQ(levels_of(got), levels_of(want)) << "round " << round << ", " << patches.size() << " patches";
        ASSERT_TRUE(std::equal(got.edges.begin(), got.edges.end(), want.edges.begin(), want.edges.end())) << round;
    }
}

TEST(Convert, CommandLine) {
    TempDir dir;
    const KnownTape t = known_tape();
    dir.write("tape.wav", render(t.image));
    EXPECT_EQ(kvrtool("convert --help").status, 0);
    EXPECT_NE(kvrtool("convert -h").out.find("--loader NAME"), std::string::npos);
    for (const char* bad : {"--max-pilot-diff x", "--loader speedlock5", "--loader rom:2", "--frobnicate", "--end"}) {
        const ToolRun r = kvrtool(std::string("convert ") + dir.path("tape.wav") + " " + bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.out.find("Usage: kvrtool convert"), std::string::npos) << bad;
    }
    EXPECT_EQ(kvrtool("convert").status, 2);
    // Without -o the name is derived as kelvarin derives it; .tap in -o makes a TAP file.
    EXPECT_EQ(kvrtool("convert -f " + dir.path("tape.wav")).status, 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path("tape.kvr")));
    EXPECT_EQ(kvrtool("convert --loader speedlock3:1 --skip 4 " + dir.path("tape.wav") + " -o " + dir.path("x.TAP")).status, 0);
    EXPECT_EQ(recovered(t, dir.read("x.TAP")), 4);
    // A recording's name is a name, even one with a single slash in front, and the variants
    // are those the loader has.
    const ToolRun lone = kvrtool("convert /no-such-recording.wav -o " + dir.path("y.kvr"));
    EXPECT_EQ(lone.status, 1);
    EXPECT_NE(lone.out.find("Cannot open input file /no-such-recording.wav !"), std::string::npos) << lone.out;
    EXPECT_EQ(kvrtool("convert --loader speedlock3:3 " + dir.path("tape.wav")).status, 2);
    EXPECT_EQ(kvrtool("convert --loader speedlock1:-1 " + dir.path("tape.wav")).status, 2);
}

TEST(Convert, RefusesWhatKelvarinRefuses) {
    TempDir dir;
    ByteVec empty_wav{'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
                      0x44, 0xAC, 0, 0, 0x44, 0xAC, 0, 0, 1, 0, 8, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    dir.write("empty.wav", empty_wav);
    for (const std::string& input : {dir.path("missing.wav"), dir.path("empty.wav")}) {
        std::string classic;
        const int status = run_command(std::string(KELVARIN_EXE) + " " + input + " " + dir.path("k.kvr") + " 2>&1", classic);
        const ToolRun r = kvrtool("convert -f " + input + " -o " + dir.path("c.kvr"));
        EXPECT_EQ(r.status, status) << input;
        EXPECT_EQ(r.out, classic) << input;
        EXPECT_FALSE(std::filesystem::exists(dir.path("c.kvr")));
    }
}

}  // namespace
}  // namespace kvr::test
