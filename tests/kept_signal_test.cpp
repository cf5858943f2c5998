// What kvrtool convert keeps besides its blocks: the stretches of tape-like signal no loader
// read, told apart from noise and hum, the pulses of blocks that never checked out, and how
// the image holds, lists, plays and reports them.
#include <cmath>
#include <random>
#include <regex>

#include <gtest/gtest.h>

#include "recovery/kept_signal.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

constexpr std::int32_t kRate = 44100;

// Edges made of HP lengths in samples, from sample 1000 on.
std::vector<std::int32_t> edges_of(const std::vector<std::int32_t>& hps) {
    std::vector<std::int32_t> e{1000};
    for (std::int32_t h : hps) e.push_back(e.back() + h);
    return e;
}

std::vector<KeptStretch> found_in(const std::vector<std::int32_t>& hps) {
    const std::vector<std::int32_t> e = edges_of(hps);
    return find_tape_signal(e.data(), e.data() + e.size(), kRate);
}

// A turbo scheme of one pulse per bit that no loader here reads: a short leader, a sync
// pulse, then pulses of 700 T-states for 0 and 1400 for 1.
std::vector<int> foreign_scheme(std::size_t bytes, unsigned seed) {
    std::vector<int> p(30, 1800);
    p.push_back(500);
    for (std::uint8_t v : pattern_bytes(bytes, seed))
        for (int k = 7; k >= 0; --k) p.push_back((v >> k) & 1 ? 1400 : 700);
    return p;
}

std::vector<std::int32_t> in_samples(const std::vector<int>& tstates) {
    std::vector<std::int32_t> out;
    for (int t : tstates) out.push_back(static_cast<std::int32_t>(std::lround(t * kRate / 3500000.0)));
    return out;
}

TEST(KeptSignalFinding, SteadyPulsesAreKeptAndNoiseHumAndBurstsAreNot) {
    // The scheme between two silences: one stretch of every pulse.
    std::vector<std::int32_t> hps{400000};
    const std::vector<std::int32_t> scheme = in_samples(foreign_scheme(64, 3));
    hps.insert(hps.end(), scheme.begin(), scheme.end());
    hps.push_back(300000);
    std::vector<KeptStretch> kept = found_in(hps);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].pulses, static_cast<std::int64_t>(scheme.size()));
    EXPECT_EQ(kept[0].from, 1000 + 400000);

    // Noise: HPs of every length from 2 to 30 samples, all within the loaders' range.
    std::mt19937 rng(5);
    std::uniform_int_distribution<std::int32_t> any(2, 30);
    std::vector<std::int32_t> noise;
    for (int i = 0; i < 20000; ++i) noise.push_back(any(rng));
    EXPECT_TRUE(found_in(noise).empty());
    // Hum: 50 Hz is far too slow for a pulse.
    EXPECT_TRUE(found_in(std::vector<std::int32_t>(500, 441)).empty());
    // A tone of 12 pulses is too short a stretch, however steady.
    EXPECT_TRUE(found_in({400000, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 400000}).empty());
}

TEST(KeptSignalFinding, TheHpIntoASilenceIsTheSilencesUnlessItIsOneOfTheLengths) {
    // A tone, then the level held a millisecond as a silence begins.
    std::vector<std::int32_t> hps(100, 20);
    hps.push_back(45);
    hps.push_back(300000);
    std::vector<KeptStretch> kept = found_in(hps);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].pulses, 100);
    EXPECT_EQ(kept[0].to, 1000 + 100 * 20);
    // Two steady stretches apart: a pulse far outside the range ends the first.
    hps.assign(100, 20);
    hps.push_back(9000);
    hps.insert(hps.end(), 100, 12);
    kept = found_in(hps);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].pulses, 100);
}

// Collects what a keeper hands over, piece by piece.
struct Pieces final : PulseTaker {
    std::vector<std::vector<std::uint16_t>> got;
    void take(std::span<const std::uint16_t> p) override { got.emplace_back(p.begin(), p.end()); }
};

TEST(KeptSignalPulses, LongStretchesComeInPiecesAndEdgesDoNotDrift) {
    Recording r;
    r.sample_rate = kRate;
    std::vector<std::int32_t> hps(1000, 17);  // 1349.2 T-states each
    const std::vector<std::int32_t> e = edges_of(hps);
    r.edges.assign(e.begin(), e.end());
    r.count = e.back() + 10;
    KeptSignal keeper(r, true, true);
    Pieces pieces;
    keeper.pulses(e.front(), e.back(), pieces);
    ASSERT_EQ(pieces.got.size(), 4u);
    EXPECT_EQ(pieces.got[0].size(), 255u);
    EXPECT_EQ(pieces.got[3].size(), 1000u - 3 * 255);
    // Every edge played back lands where it was read: the T-states up to it, in samples,
    // round down to its sample.
    std::int64_t t = 0, k = 0;
    for (const auto& piece : pieces.got)
        for (std::uint16_t p : piece) {
            t += p;
            ++k;
            const auto sample = static_cast<std::int64_t>(std::floor(t * (kRate / 3500000.0)));
            ASSERT_EQ(sample, 17 * k) << "pulse " << k;
        }
}

TEST(KeptSignalPulses, MorePulsesThanABlockHoldsBecomeSeveralBlocks) {
    std::vector<std::uint16_t> pulses(600);
    for (std::size_t i = 0; i < pulses.size(); ++i) pulses[i] = static_cast<std::uint16_t>(500 + i);
    std::vector<std::uint8_t> bytes;
    image::put_header(bytes);
    image::put_pulse_sequence(bytes, pulses);
    image::put_pause(bytes, 100);
    const std::vector<TapeBlock> blocks = blocks_of(bytes);
    ASSERT_EQ(blocks.size(), 4u);
    std::vector<std::uint16_t> back;
    for (std::size_t i = 0; i < 3; ++i) back.insert(back.end(), blocks[i].pulses.begin(), blocks[i].pulses.end());
    EXPECT_EQ(blocks[2].pulses.size(), 90u);
    EXPECT_EQ(back, pulses);
    EXPECT_EQ(blocks[3].id, image::kPause);
}

TEST(KeptSignalReport, LineGroupsThousandsAndTellsMinutes) {
    Console console;
    Report report(console);
    report.kept_signal(1234, 41.2, 43.51);
    report.kept_signal(7, 3599.994, 3600.5);
    EXPECT_EQ(console.text(),
              "Kept signal: 1,234 pulses over 2.31 s, 0:41.20 to 0:43.51\n"
              "Kept signal: 7 pulses over 0.51 s, 59:59.99 to 60:00.50\n");
}

// Pulses as pulse sequence blocks of as many as one holds.
void pulse_blocks(ImageBuilder& b, const std::vector<int>& pulses) {
    for (std::size_t i = 0; i < pulses.size(); i += 255)
        b.pulses({pulses.begin() + static_cast<std::ptrdiff_t>(i),
                  pulses.begin() + static_cast<std::ptrdiff_t>(std::min(pulses.size(), i + 255))});
}

// Two ROM blocks, two stretches of the foreign scheme, two ROM blocks.
ByteVec mixed_tape() {
    ImageBuilder b;
    b.standard(rom_header("FIRST", 3, 256), 1000).standard(with_checksum(0xFF, pattern_bytes(256, 1)), 1000);
    pulse_blocks(b, foreign_scheme(256, 7));
    b.pause(1000);
    pulse_blocks(b, foreign_scheme(512, 8));
    b.pause(1500);
    b.standard(rom_header("LAST", 3, 300), 1000).standard(with_checksum(0xFF, pattern_bytes(300, 2)), 0);
    return b.bytes();
}

// The pulse sequences of an image, joined where nothing else stands between them.
std::vector<std::vector<int>> kept_runs(const ByteVec& image) {
    std::vector<std::vector<int>> runs;
    bool open = false;
    for (const TapeBlock& b : blocks_of(image)) {
        if (b.id != image::kPulseSequence) {
            open = false;
            continue;
        }
        if (!open) runs.emplace_back();
        open = true;
        runs.back().insert(runs.back().end(), b.pulses.begin(), b.pulses.end());
    }
    return runs;
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(KeptSignalConversion, ForeignSchemeIsKeptPulseForPulseAndPlaysBackTheSame) {
    TempDir dir;
    dir.write("tape.wav", render(mixed_tape()));
    const ToolRun run = kvrtool("convert " + dir.path("tape.wav") + " -o " + dir.path("a.kvr"));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(count_of(run.out, "\nKept signal: "), 2u) << run.out;
    // In order with the block lines: after the second block's pause, before the third block.
    const std::regex lines(R"(C\* P-1\.000\nKept signal: 2,079 pulses over 0\.63 s, 0:\d\d\.\d\d to 0:\d\d\.\d\d\n)"
                           R"(Kept signal: 4,127 pulses over 1\.2\d s, 0:\d\d\.\d\d to 0:\d\d\.\d\d\n B:LAST )");
    EXPECT_TRUE(std::regex_search(run.out, lines)) << run.out;
    EXPECT_NE(run.out.find("Kept as recorded: 2 stretches of signal no loader read (6206 pulses), 0 bad blocks"),
              std::string::npos);

    const ByteVec a = dir.read("a.kvr");
    const std::vector<std::vector<int>> runs = kept_runs(a);
    const std::vector<std::vector<int>> wanted = {foreign_scheme(256, 7), foreign_scheme(512, 8)};
    ASSERT_EQ(runs.size(), 2u);
    const double sample = 3500000.0 / kRate;
    for (std::size_t s = 0; s < 2; ++s) {
        ASSERT_EQ(runs[s].size(), wanted[s].size());
        for (std::size_t i = 0; i < runs[s].size(); ++i)
            ASSERT_LE(std::abs(runs[s][i] - wanted[s][i]), std::max(0.02 * wanted[s][i], sample)) << s << " " << i;
    }

    // Without them, the image is what it was, and each kept pulse cost about two bytes.
    ASSERT_EQ(kvrtool("convert --no-kept-signal " + dir.path("tape.wav") + " -o " + dir.path("b.kvr")).status, 0);
    const ByteVec b = dir.read("b.kvr");
    EXPECT_TRUE(kept_runs(b).empty());
    EXPECT_LE(static_cast<double>(a.size() - b.size()), 2.1 * 6206);

    // The report page draws them on the timeline, where the conversion found them.
    ASSERT_EQ(kvrtool("report " + dir.path("tape.wav") + " -o " + dir.path("page.html")).status, 0);
    const ByteVec page = dir.read("page.html");
    const std::string html(page.begin(), page.end());
    EXPECT_TRUE(std::regex_search(html, std::regex(R"("kept":\[\[\d+,\d+,2079\],\[\d+,\d+,4127\]\])"))) << html.size();
    EXPECT_NE(html.find(".kept {"), std::string::npos);

    // Played and converted again, then again: the same stretches, and at last the same image.
    ASSERT_EQ(kvrtool("play " + dir.path("a.kvr") + " -o " + dir.path("a.wav")).status, 0);
    ASSERT_EQ(kvrtool("convert " + dir.path("a.wav") + " -o " + dir.path("c.kvr")).status, 0);
    EXPECT_EQ(kept_runs(dir.read("c.kvr")), runs);
    ASSERT_EQ(kvrtool("play " + dir.path("c.kvr") + " -o " + dir.path("c.wav")).status, 0);
    ASSERT_EQ(kvrtool("convert " + dir.path("c.wav") + " -o " + dir.path("d.kvr")).status, 0);
    EXPECT_EQ(dir.read("d.kvr"), dir.read("c.kvr"));
}

TEST(KeptSignalConversion, SignalBeforeTheFirstBlockAfterTheLastAndALoneToneKeepTheirPlaces) {
    TempDir dir;
    ImageBuilder b;
    pulse_blocks(b, foreign_scheme(64, 11));
    b.pause(800).standard(rom_header("MID", 3, 100), 1000).tone(2168, 600).pause(1000);
    b.standard(with_checksum(0xFF, pattern_bytes(100, 12)), 700);
    pulse_blocks(b, foreign_scheme(64, 13));
    dir.write("tape.wav", render(b.bytes()));
    const ToolRun run = kvrtool("convert " + dir.path("tape.wav") + " -o " + dir.path("a.kvr"));
    ASSERT_EQ(run.status, 0) << run.out;
    // The recording begins and ends inside a stretch: the HP at either end has no edge.
    const std::regex lines(R"(\n\nKept signal: 542 pulses over 0\.17 s, 0:00\.00 to 0:00\.17\n B:MID .* P-1\.000\n)"
                           R"(Kept signal: 600 pulses over 0\.37 s, [^\n]*\n(.*\n)? -{12} .* P-0\.700\n)"
                           R"(( Retry: .*\n)?Kept signal: 542 pulses over 0\.17 s, [^\n]*\nKept as recorded: .*\nBlocks: 2,)");
    EXPECT_TRUE(std::regex_search(run.out, lines)) << run.out;
    // In the image as on the tape: pulses, pause, block, tone, pause, block, pulses.
    std::vector<std::uint8_t> kinds;
    for (const TapeBlock& t : blocks_of(dir.read("a.kvr")))
        if (kinds.empty() || t.id != image::kPulseSequence || kinds.back() != t.id) kinds.push_back(t.id);
    EXPECT_EQ(kinds, (std::vector<std::uint8_t>{image::kPulseSequence, image::kPause, image::kStandardData,
                                                  image::kPulseSequence, image::kPause, image::kStandardData,
                                                  image::kPulseSequence}));
}

TEST(KeptSignalConversion, NoiseAndHumInThePausesStayPauses) {
    TempDir dir;
    ImageBuilder b;
    b.standard(rom_header("ONE", 3, 256), 3000).standard(with_checksum(0xFF, pattern_bytes(256, 4)), 4000);
    b.standard(rom_header("TWO", 3, 256), 3000).standard(with_checksum(0xFF, pattern_bytes(256, 5)), 0);
    RenderOptions noise, hum;
    noise.noise = 0.1;
    hum.hum = 0.3;
    for (const RenderOptions& o : {noise, hum}) {
        dir.write("tape.wav", render(b.bytes(), o));
        const ToolRun run = kvrtool("convert -f " + dir.path("tape.wav") + " -o " + dir.path("a.kvr"));
        EXPECT_EQ(run.out.find("Kept signal:"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Kept as recorded: 0 stretches"), std::string::npos) << run.out;
    }
}

TEST(KeptSignalConversion, BadBlockKeepsItsPulsesInAGroupUnlessAskedNot) {
    TempDir dir;
    ByteVec data = with_checksum(0xFF, pattern_bytes(200, 9));
    data[100] ^= 0x10;  // a checksum no retry can mend: the bytes as recorded are wrong
    ImageBuilder b;
    b.standard(rom_header("BAD", 3, 200), 1000).standard(data, 1000).standard(rom_header("AFTER", 3, 10), 0);
    dir.write("tape.wav", render(b.bytes()));
    const ToolRun run = kvrtool("convert " + dir.path("tape.wav") + " -o " + dir.path("a.kvr"));
    EXPECT_NE(run.out.find("P-1.000\n Retry: no other reading checks out\nKept block 2 as recorded: "), std::string::npos)
        << run.out;
    const std::vector<TapeBlock> blocks = blocks_of(dir.read("a.kvr"));
    ASSERT_GE(blocks.size(), 6u);
    EXPECT_EQ(blocks[1].data, data);
    EXPECT_EQ(blocks[2].id, image::kGroupStart);
    EXPECT_EQ(blocks[2].name, "Block 2 as recorded");
    std::size_t pulses = 0, i = 3;
    for (; i < blocks.size() && blocks[i].id == image::kPulseSequence; ++i) pulses += blocks[i].pulses.size();
    // The pilot, the two syncs and two pulses a bit, give or take the edges at either end.
    EXPECT_NEAR(static_cast<double>(pulses), 3223.0 + 16.0 * data.size(), 4.0);
    ASSERT_LT(i + 1, blocks.size());
    EXPECT_EQ(blocks[i].id, image::kPause);
    EXPECT_EQ(blocks[i + 1].id, image::kGroupEnd);

    // An image with a bad block is written, and the status says it is not sound.
    ASSERT_EQ(kvrtool("convert --no-keep-bad-signal " + dir.path("tape.wav") + " -o " + dir.path("b.kvr")).status, 3);
    for (const TapeBlock& t : blocks_of(dir.read("b.kvr"))) EXPECT_NE(t.id, image::kGroupStart);
}

}  // namespace
}  // namespace kvr::test
