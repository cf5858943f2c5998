// kvrtool report: the page's numbers against convert's report, its histograms against the
// reported timings, the first suspect bit of a bad block, the envelope of the channels,
// and the page written as safely as any output.
#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "report_page/bit_judging.hpp"
#include "report_page/hp_histogram.hpp"
#include "report_page/json_text.hpp"
#include "report_page/recording_overview.hpp"
#include "report_page/weak_bits.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

std::string text_of(const ByteVec& bytes) { return {bytes.begin(), bytes.end()}; }

// A name in several scripts, up to a character beyond the first plane, and its JSON.
const std::string kScripts = "caf\xC3\xA9 \xCF\x84\xCE\xB1\xCE\xB9\xCE\xBD\xCE\xAF\xCE\xB1 \xD0\xBA\xD0\xB0\xD1\x81\xD1\x81\xD0\xB5\xD1\x82\xD0\xB0 "
                             "\xE7\xA3\x81\xE5\xB8\xB6 \xF0\x9F\x93\xBC";
const char kScriptsJson[] = "caf\\u00e9 \\u03c4\\u03b1\\u03b9\\u03bd\\u03af\\u03b1 \\u043a\\u0430\\u0441\\u0441\\u0435\\u0442\\u0430 "
                            "\\u78c1\\u5e36 \\ud83d\\udcfc";

// A report line as convert prints it: the block's line, and the pause that ends it.
struct ReportLine {
    std::string line;
    std::string pause;  // "" after the last block
};

// The block lines of the report: those after "Creating ..." up to the summary, with the
// pause split off; sub-block lines and headings are left out.
std::vector<ReportLine> report_lines_of(const std::string& console) {
    std::vector<ReportLine> lines;
    static const std::regex block(R"(^([ *].{12} P-.*C[*-] |.*Speedlock . block .* C[*-] |.*Digital Integration Block.*B\d L-\s*\d+    )(P-(\d+\.\d{3}))?$)");
    std::istringstream in(report_of(console));
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (l.find("Sub-Block") != std::string::npos || !std::regex_match(l, m, block)) continue;
        lines.push_back({m[1], m[3]});
    }
    return lines;
}

// The blocks of a page: each stands on a line of its own in the page's data.
std::vector<std::string> page_blocks(const std::string& page) {
    std::vector<std::string> blocks;
    std::istringstream in(page);
    for (std::string l; std::getline(in, l);)
        if (l.rfind("{\"index\":", 0) == 0) blocks.push_back(l);
    return blocks;
}

std::string json_field(const std::string& block, const std::string& key) {
    std::smatch m;
    const std::regex r("\"" + key + "\":(\"(?:[^\"\\\\]|\\\\.)*\"|[^,\\]}]*)");
    return std::regex_search(block, m, r) ? m[1].str() : "";
}

// A labelled number of the block's arrays, as ["label",number].
double json_mark(const std::string& block, const std::string& label) {
    std::smatch m;
    return std::regex_search(block, m, std::regex("\\[\"" + label + "\",([0-9.]+)\\]")) ? std::stod(m[1]) : -1.0;
}

std::vector<double> json_numbers(const std::string& block, const std::string& key) {
    std::smatch m;
    std::vector<double> v;
    if (!std::regex_search(block, m, std::regex("\"" + key + "\":\\[([^\\]]*)\\]"))) return v;
    std::istringstream in(m[1].str());
    for (std::string n; std::getline(in, n, ',');) v.push_back(std::stod(n));
    return v;
}

// The page and the report of convert for one recording, with the same options.
struct BothRuns {
    ToolRun convert, report;
    std::string page;
};

BothRuns run_both(const TempDir& dir, const std::string& recording, const std::string& options = "") {
    BothRuns r;
    r.convert = kvrtool("convert -f " + options + " " + dir.path(recording) + " -o " + dir.path("c.kvr"));
    r.report = kvrtool("report " + options + " " + dir.path(recording) + " -o " + dir.path("r.html"));
    if (std::filesystem::exists(dir.path("r.html"))) r.page = text_of(dir.read("r.html"));
    return r;
}

// A ROM program and a turbo block: four blocks of known bytes.
ByteVec four_blocks() {
    ImageBuilder b;
    b.standard(rom_header("SEEN", 3, 300), 1000).standard(with_checksum(0xFF, pattern_bytes(300, 7)), 1500);
    b.standard(rom_header("FAST", 3, 200), 1000);
    b.turbo(1800, 600, 600, 600, 1200, 3000, 8, 1000, with_checksum(0x42, pattern_bytes(200, 8)));
    return b.bytes();
}

TEST(ReportPage, NumbersMatchConvertsReport) {
    struct Case {
        const char* what;
        ByteVec image;
        RenderOptions render;
        const char* options;
    };
    RenderOptions clean;
    RenderOptions damaged;
    damaged.rate = 22050, damaged.noise = 0.15, damaged.seed = 1;
    damaged.dropouts_per_minute = 30, damaged.dropout_ms = 60, damaged.dropout_depth = 0.0;
    RenderOptions inverted;
    inverted.format = SampleFormat::wav16s, inverted.gain_right = -0.7;
    const Case cases[] = {
        {"clean", four_blocks(), clean, ""},
        {"dropouts", four_blocks(), damaged, ""},
        {"dropouts, classic levels", four_blocks(), damaged, "--exact"},
        {"an inverted channel", four_blocks(), inverted, ""},
        {"Speedlock 2", speedlock2_tape(sample_blocks(), 3), clean, "--loader speedlock2"},
        {"Speedlock 3", speedlock34_tape(3, sample_blocks()), clean, "--loader speedlock3:1"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        dir.write("tape.wav", render(c.image, c.render));
        const BothRuns r = run_both(dir, "tape.wav", c.options);
        ASSERT_EQ(r.report.status, 0) << c.what << "\n" << r.report.out;
        // The report beside the page is convert's, to the letter.
        EXPECT_EQ(report_of(r.report.out).substr(0, report_of(r.convert.out).size()), report_of(r.convert.out)) << c.what;
        const std::vector<ReportLine> lines = report_lines_of(r.convert.out);
        const std::vector<std::string> blocks = page_blocks(r.page);
        ASSERT_EQ(blocks.size(), lines.size()) << c.what << "\n" << r.convert.out;
        ASSERT_FALSE(blocks.empty()) << c.what;
        int bad = 0;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const std::string& b = blocks[i];
            EXPECT_EQ(json_field(b, "line"), json_string(lines[i].line)) << c.what << " block " << i;
            EXPECT_EQ(json_field(b, "pause"), lines[i].pause.empty() ? "null" : json_number(std::stod(lines[i].pause), 3))
                << c.what << " block " << i;
            const bool good = lines[i].line.find(" C*") != std::string::npos || lines[i].line.find("Digital") != std::string::npos;
            EXPECT_EQ(json_field(b, "ok"), good ? "true" : "false") << c.what << " block " << i;
            bad += !good;
            // A bad block shows where it went wrong.
            const bool retried = json_field(b, "retried") == "true";
            EXPECT_EQ(json_field(b, "suspect") == "null", good && !retried) << c.what << " block " << i;
            // The fields of a ROM line are its numbers.
            int pilot, count, s1, s2, b0, b1, used, length;
            unsigned flag;
            if (std::sscanf(lines[i].line.c_str() + 13, " P-%d,%d S-%d/%d 0-%d,1-%d F-%x B%d L-%d", &pilot, &count, &s1,
                            &s2, &b0, &b1, &flag, &used, &length) == 9) {
                for (const auto& [name, value] : {std::pair<const char*, int>{"pilot", pilot}, {"pilot HPs", count},
                                                  {"sync 1", s1}, {"sync 2", s2}, {"bit 0", b0}, {"bit 1", b1},
                                                  {"used bits", used}, {"length", length}})
                    EXPECT_NE(b.find("[\"" + std::string(name) + "\",\"" + std::to_string(value) + "\"]"), std::string::npos)
                        << c.what << " block " << i << ": " << name;
            }
        }
        if (std::string(c.what).find("dropouts") != std::string::npos) {
            EXPECT_GT(bad, 0) << c.what;
        }
        // The front end's choice shows: wherever the second channel was used, it was turned over.
        if (std::string(c.what) == "an inverted channel") {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(r.page, m, std::regex(R"("channels":\[\{"used":([0-9.]+),"inverted":([0-9.]+)\},\{"used":([0-9.]+),"inverted":([0-9.]+)\}\])")))
                << c.what;
            // (in silences the second channel follows nothing and is left out)
            EXPECT_GT(std::stod(m[3]), 0.5);
            EXPECT_EQ(m[4], m[3]);
            EXPECT_EQ(m[2], "0");
        }
    }
}

// The clusters of HP lengths in a block's histogram lie where the report puts the pilot and
// the bits, at every rate, though each HP is a whole number of samples.
TEST(ReportPage, HistogramPeaksLieAtTheReportedTimings) {
    for (std::uint32_t rate : {22050u, 44100u, 96000u}) {
        TempDir dir;
        RenderOptions o;
        o.rate = rate, o.noise = 0.05, o.jitter_pct = 2;
        dir.write("tape.wav", render(four_blocks(), o));
        const ToolRun r = kvrtool("report " + dir.path("tape.wav") + " -o " + dir.path("r.html"));
        ASSERT_EQ(r.status, 0) << r.out;
        const std::vector<std::string> blocks = page_blocks(text_of(dir.read("r.html")));
        ASSERT_EQ(blocks.size(), 4u) << rate;
        for (const std::string& b : blocks) {
            const std::vector<double> peaks = json_numbers(b, "peaks");
            for (const char* label : {"pilot", "bit 0", "bit 1"}) {
                const double t = json_mark(b, label);
                ASSERT_GT(t, 0) << rate << " " << label;
                const bool near = std::any_of(peaks.begin(), peaks.end(), [t](double p) { return std::fabs(p - t) <= 0.03 * t; });
                EXPECT_TRUE(near) << rate << " Hz, " << label << " at " << t << ", peaks " << json_field(b, "hist");
            }
        }
    }
}

TEST(ReportPage, HistogramClustersAndLoneLengths) {
    // 300 pilot HPs of 27 and 28 samples, two sync HPs, 200 HPs of 11 and 100 of 22.
    std::vector<std::int32_t> hps;
    for (int i = 0; i < 300; ++i) hps.push_back(27 + i % 2);
    hps.push_back(8), hps.push_back(9);
    for (int i = 0; i < 300; ++i) hps.push_back(i % 3 == 2 ? 22 : 11);
    const Recording levels = recording_of(samples_from_hps(hps), 44100);
    const HpHistogram h = hp_histogram(levels, 44100, 0, levels.count, 3000);
    const double spt = samples_per_tstate(44100);
    ASSERT_EQ(h.peaks.size(), 3u);
    EXPECT_NEAR(h.peaks[0], 11 / spt, 1.0);
    EXPECT_NEAR(h.peaks[1], 22 / spt, 1.0);
    EXPECT_NEAR(h.peaks[2], 27.5 / spt, 1.0);  // one cluster over both sample lengths
    std::int64_t total = h.longer;
    for (std::int32_t c : h.counts) total += c;
    EXPECT_EQ(total, static_cast<std::int64_t>(hps.size()));
    // At a high rate the bins widen: the page stays small.
    const HpHistogram wide = hp_histogram(levels, 3500000, 0, levels.count, 60000);
    EXPECT_LE(wide.counts.size(), 402u);
}

// Levels of a block: pilot, sync, then bits of 0 (10 + 10 samples) and 1 (20 + 20).
struct BitTape {
    std::vector<std::int32_t> hps;
    std::int32_t data_start = 0;
    void add(std::int32_t hp) { hps.push_back(hp); }
    void bits(const std::string& pattern) {
        for (char c : pattern) add(c == '1' ? 20 : 10), add(c == '1' ? 20 : 10);
    }
};

BlockFacts facts_of(const BitTape& t, const Recording& levels) {
    BlockFacts f;
    f.data_start = t.data_start;
    f.end = levels.count;
    f.learns_bit_lengths = true;
    f.end_factor = kBlockEndFactor;
    return f;
}

TEST(ReportPage, FirstSuspectBitIsThePairFarFromBothLengths) {
    BitTape t;
    for (int i = 0; i < 100; ++i) t.add(27);
    t.add(8), t.add(9);
    for (std::int32_t hp : t.hps) t.data_start += hp;
    t.bits("0101100111010");
    t.add(15), t.add(15);  // bit 13: halfway between the two lengths
    t.bits("0110");
    t.add(4), t.add(4), t.add(40), t.add(40);  // a glitch merged into bit 18, too long: suspect as well
    const Recording levels = recording_of(samples_from_hps(t.hps), 44100);
    const Settings s;
    BlockFacts f = facts_of(t, levels);
    const BitRefs refs = judging_refs(f, levels, s);
    EXPECT_EQ(refs.bit0, 10);
    EXPECT_EQ(refs.bit1, 20);
    const std::optional<SuspectBit> b = first_suspect_bit(f, levels, refs, s);
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(b->bit, 13);
    std::int32_t at = t.data_start;
    for (int i = 0; i < 13; ++i) at += t.hps[static_cast<std::size_t>(102 + 2 * i)] + t.hps[static_cast<std::size_t>(103 + 2 * i)];
    EXPECT_EQ(b->start, at);
    EXPECT_EQ(b->end, at + 30);
    // A block that ends before the bad pair has none.
    f.end = at;
    EXPECT_FALSE(first_suspect_bit(f, levels, refs, s).has_value());
    // The decoder's lines: between the lengths, and where a long HP ends the block.
    const std::vector<Mark> lines = bit_thresholds(f, refs, s, samples_per_tstate(44100));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NEAR(lines[0].tstates, 15 / samples_per_tstate(44100), 0.5);
    EXPECT_NEAR(lines[1].tstates, 28 / samples_per_tstate(44100), 0.5);
}

TEST(ReportPage, TrailersBetweenSubBlocksAreNoSuspects) {
    // Fixed bit lengths, a sub-block of one byte, the trailer, then a second sub-block
    // whose third bit is bad.
    const double spt = samples_per_tstate(44100);
    BitTape t;
    t.bits("10100101");
    for (int i = 0; i < image::kTrailerLength; ++i) t.add(static_cast<std::int32_t>(image::trailer_pulse(i) * spt + 0.5));
    t.bits("01");
    t.add(14), t.add(14);
    t.bits("11110");
    const Recording levels = recording_of(samples_from_hps(t.hps), 44100);
    BlockFacts f = facts_of(t, levels);
    f.learns_bit_lengths = false;
    f.fixed_bit0 = static_cast<std::int32_t>(10 / spt + 0.5), f.fixed_bit1 = static_cast<std::int32_t>(20 / spt + 0.5);
    f.trailer_after_bits = {8};
    f.read_in_subblocks = true;
    const Settings s;
    const BitRefs refs = judging_refs(f, levels, s);
    const std::optional<SuspectBit> b = first_suspect_bit(f, levels, refs, s);
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(b->bit, 10);
}

TEST(ReportPage, EnvelopeShowsDeadChannelsDropoutsAndTheBaseline) {
    // Two seconds at 10 kHz: a square wave of 0.5 around a DC offset of 0.2 with a dropout
    // of 50 ms at one second, and a dead second channel.
    const std::int32_t rate = 10000;
    std::vector<float> live(20000), dead(20000, 0.0f);
    for (std::size_t i = 0; i < live.size(); ++i) {
        const bool in_dropout = i >= 10000 && i < 10500;
        live[i] = 0.2f + (in_dropout ? 0.0f : ((i / 5) % 2 ? 0.5f : -0.5f));
    }
    const MemoryFrameSource frames({live, dead});
    RecordingFacts facts;
    measure_envelope(frames, rate, 40, facts);
    ASSERT_EQ(facts.envelope.size(), 2u);
    const ChannelEnvelope& e = facts.envelope[0];
    ASSERT_EQ(e.high.size(), 40u);
    EXPECT_NEAR(facts.bucket_seconds, 0.05, 1e-9);
    for (std::size_t b = 0; b < e.high.size(); ++b) {
        EXPECT_NEAR(e.high[b], b == 20 ? 0.0f : 0.5f, 1e-5) << b;
        EXPECT_NEAR(e.low[b], b == 20 ? 0.0f : 0.5f, 1e-5) << b;
        EXPECT_NEAR(e.baseline[b], 0.2f, 1e-5) << b;
        EXPECT_EQ(facts.envelope[1].high[b], 0.0f);
    }
}

TEST(ReportPage, UnrecognisedSignalBetweenBlocks) {
    // Silence, a block, a burst of tone that made no block, silence, a block.
    std::vector<std::int32_t> hps = {4000};
    for (int i = 0; i < 400; ++i) hps.push_back(20);
    hps.push_back(3000);
    for (int i = 0; i < 300; ++i) hps.push_back(25);
    hps.push_back(5000);
    for (int i = 0; i < 400; ++i) hps.push_back(20);
    const Recording levels = recording_of(samples_from_hps(hps), 44100);
    std::vector<BlockFacts> blocks(2);
    blocks[0].pilot_start = 4000, blocks[0].end = 12000;
    blocks[1].pilot_start = 12000 + 3000 + 7500 + 5000, blocks[1].end = levels.count;
    const std::vector<Stretch> s = unrecognised_stretches(levels, 44100, blocks);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_NEAR(static_cast<double>(s[0].start), 15000, 900);
    EXPECT_NEAR(static_cast<double>(s[0].end), 22500, 900);
}

TEST(ReportPage, JsonTextStaysInsideItsScript) {
    EXPECT_EQ(json_string("a\"b\\c</script>\n\x01\xC3"), "\"a\\\"b\\\\c\\u003c/script>\\u000a\\u0001\\u00c3\"");
    // UTF-8 as the characters it encodes, beyond the first plane as two halves; other bytes
    // (a tape's own text) each as a character of its own.
    EXPECT_EQ(json_string(kScripts), std::string("\"") + kScriptsJson + "\"");
    EXPECT_EQ(json_string("\x7F\x80\xC0\xAF\xED\xA0\x80\xFF\xE9"),
              "\"\\u007f\\u0080\\u00c0\\u00af\\u00ed\\u00a0\\u0080\\u00ff\\u00e9\"");
    EXPECT_EQ(json_number(1.5, 3), "1.5");
    EXPECT_EQ(json_number(2.0, 3), "2");
    EXPECT_EQ(json_number(-0.0001, 3), "0");
    EXPECT_EQ(json_number(NAN, 3), "null");
}

TEST(ReportPage, NamesAreShownAsUtf8OrEscaped) {
    // Valid UTF-8 stays, in every script; what is no UTF-8, or a control character, becomes
    // \xHH byte by byte, and a backslash \\.
    EXPECT_EQ(readable_name(kScripts), kScripts);
    EXPECT_EQ(readable_name("a\\b \x1B[2J\x07\x7F"), "a\\\\b \\x1B[2J\\x07\\x7F");
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        char shown[8];
        std::snprintf(shown, sizeof shown, "<\\x%02X>", byte);
        EXPECT_EQ(readable_name(std::string{'<', static_cast<char>(byte), '>'}), shown) << byte;
    }
    const std::pair<const char*, const char*> no_utf8[] = {
        {"\xC2\x85", "\\xC2\\x85"},                       // a control character of the second range
        {"\xC0\xAF", "\\xC0\\xAF"},                       // an overlong "/"
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},              // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},     // beyond U+10FFFF
        {"\xE2\x82", "\\xE2\\x82"},                       // cut short
        {"\xC3\xA9\xA9", "\xC3\xA9\\xA9"},                  // a stray continuation
    };
    for (const auto& [name, shown] : no_utf8) EXPECT_EQ(readable_name(name), shown) << shown;

    // The page's title, its data and the line that names it.
    TempDir dir;
    const ByteVec recording = render(ImageBuilder{}.standard(rom_header("NAMES"), 500).bytes());
    const struct {
        std::string name, shown, json;
    } cases[] = {
        {kScripts, kScripts, kScriptsJson},
        {"bad\xFF\x80\x1B[2J", "bad\\xFF\\x80\\x1B[2J", "bad\\\\xFF\\\\x80\\\\x1B[2J"},
    };
    for (const auto& c : cases) {
        dir.write(c.name + ".wav", recording);
        const ToolRun r = kvrtool("report '" + dir.path(c.name + ".wav") + "'");
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("\nReport page: " + dir.path(c.shown + ".html") + "\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find('\x1B'), std::string::npos);
        const std::string page = text_of(dir.read(c.name + ".html"));
        EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
        EXPECT_NE(page.find("<title>Tape report: " + dir.path(c.shown + ".wav") + "</title>"), std::string::npos) << c.shown;
        EXPECT_NE(page.find("{\"input\":\"" + dir.path(c.json + ".wav") + "\","), std::string::npos) << c.shown;
    }
}

TEST(ReportPage, CommandLineAndSafeOutput) {
    TempDir dir;
    dir.write("tape.wav", render(four_blocks()));
    const ToolRun help = kvrtool("report --help");
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--output FILE", "--loader NAME", "--skip N", "--exact", "--max-pilot-diff N", "--min-bit-diff N",
                               "--end N", "--min-pilot N", "--std N", "--alter", "--middle", "--rom-bits"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_NE(kvrtool("--help").out.find("  report INPUT [-o OUT]"), std::string::npos);
    EXPECT_EQ(kvrtool("report").status, 2);
    EXPECT_EQ(kvrtool("report " + dir.path("tape.wav") + " --end x").status, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.path("tape.html")));

    // Without -o the page is named after the recording; no image is written.
    EXPECT_EQ(kvrtool("report " + dir.path("tape.wav")).status, 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path("tape.html")));
    EXPECT_FALSE(std::filesystem::exists(dir.path("tape.kvr")));

    // A recording without blocks still gets its page, to show what it holds.
    ImageBuilder quiet;
    quiet.pause(2000);
    dir.write("quiet.wav", render(quiet.bytes()));
    const ToolRun none = kvrtool("report " + dir.path("quiet.wav") + " -o " + dir.path("quiet.html"));
    EXPECT_EQ(none.status, 0) << none.out;
    EXPECT_NE(text_of(dir.read("quiet.html")).find("\"blocks\":[\n]}"), std::string::npos);

    // A recording that cannot be read leaves an existing page as it was, and nothing else.
    dir.write("old.html", {'o', 'l', 'd'});
    // (a WAV file whose data chunk is empty)
    dir.write("broken.wav", {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
                             0x44, 0xAC, 0, 0, 0x44, 0xAC, 0, 0, 1, 0, 8, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0});
    for (const std::string& input : {dir.path("broken.wav"), dir.path("missing.wav")}) {
        const ToolRun r = kvrtool("report " + input + " -o " + dir.path("old.html"));
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_EQ(text_of(dir.read("old.html")), "old") << input;
    }
    // The page never replaces the recording, by its name or through another name.
    EXPECT_EQ(kvrtool("report " + dir.path("tape.wav") + " -o " + dir.path("tape.wav")).status, 2);
    std::filesystem::create_hard_link(dir.path("tape.wav"), dir.path("tape.page"));
    EXPECT_EQ(kvrtool("report " + dir.path("tape.wav") + " -o " + dir.path("tape.page")).status, 1);
    EXPECT_EQ(dir.read("tape.wav"), render(four_blocks()));
    std::filesystem::remove(dir.path("tape.page"));
    // A page that cannot be written is an error.
    EXPECT_EQ(kvrtool("report " + dir.path("tape.wav") + " -o " + dir.path("no/such/dir/r.html")).status, 1);
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path(""))) files += e.is_regular_file();
    EXPECT_EQ(files, 6u);  // tape, quiet and broken recordings, three pages: no temporary file
}

// The least certain bits the page lists: of the demodulator's reading the block came from, or
// of its failing reading kept beside a bad block; none for a block of the classic levels.
TEST(ReportPage, WeakestBitsOfEachReading) {
    FoundBlock found;
    found.block.data = {0xF0, 0x0F};
    EXPECT_TRUE(weakest_bits(found).bits.empty());  // read from the classic levels

    found.confidence.assign(16, 30.0f);
    found.confidence[11] = 2.5f, found.confidence[3] = 0.0f, found.confidence[6] = 2.5f;
    WeakBits w = weakest_bits(found, 3);
    EXPECT_FALSE(w.of_failing_reading);
    ASSERT_EQ(w.bits.size(), 3u);
    // Least certain first, the earlier bit first among equals.
    EXPECT_EQ(w.bits[0].bit, 3);
    EXPECT_TRUE(w.bits[0].changed);  // the mender gives a bit it changed no confidence
    EXPECT_TRUE(w.bits[0].value);
    EXPECT_EQ(w.bits[1].bit, 6);
    EXPECT_FALSE(w.bits[1].value);
    EXPECT_EQ(w.bits[2].bit, 11);
    EXPECT_FALSE(w.bits[2].changed);
    EXPECT_EQ(weakest_bits(found, 100).bits.size(), 16u);

    // Confidences of bits past the whole bytes are left out.
    found.confidence.push_back(0.1f);
    EXPECT_EQ(weakest_bits(found, 1).bits[0].bit, 3);

    // A bad block: the bits of the demodulator's reading, where it differs from the image.
    found.confidence.clear();
    found.soft = FoundBlock::SoftReading{{0xF0, 0x1F}, std::vector<float>(16, 20.0f)};
    found.soft->confidence[11] = 1.0f;
    found.soft->confidence[12] = 0.0f;
    w = weakest_bits(found, 2);
    EXPECT_TRUE(w.of_failing_reading);
    ASSERT_EQ(w.bits.size(), 2u);
    EXPECT_EQ(w.bits[0].bit, 12);
    EXPECT_FALSE(w.bits[0].changed);  // nothing was mended in a reading that fails
    EXPECT_FALSE(w.bits[0].differs);
    EXPECT_EQ(w.bits[1].bit, 11);
    EXPECT_TRUE(w.bits[1].differs);
    EXPECT_TRUE(w.bits[1].value);
}

// Several recordings of one tape: one page of the merged tape, laid out as its image plays,
// each block naming the recording it was taken from.
TEST(ReportPage, SeveralRecordingsGiveThePageOfTheMergedTape) {
    TempDir dir;
    const std::vector<ByteVec> blocks = {rom_header("FIRST", 3, 300), with_checksum(0xFF, pattern_bytes(300, 3)),
                                         rom_header("SECOND", 3, 200), with_checksum(0xFF, pattern_bytes(200, 4))};
    ImageBuilder whole, lacking;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        whole.standard(blocks[i], 1000);
        if (i != 2) lacking.standard(blocks[i], 1000);  // the second header lost
    }
    dir.write("a.wav", render(lacking.bytes()));
    dir.write("b.wav", render(whole.bytes()));
    const std::string both = dir.path("a.wav") + " " + dir.path("b.wav");
    const ToolRun r = kvrtool("report " + both + " -o " + dir.path("m.html"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("The merged tape:"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Creating"), std::string::npos) << r.out;  // no image is written
    const std::string page = text_of(dir.read("m.html"));
    EXPECT_NE(page.find("\"mergedFrom\":[" + json_string(dir.path("a.wav")) + "," + json_string(dir.path("b.wav")) + "]"),
              std::string::npos);
    const std::vector<std::string> shown = page_blocks(page);
    ASSERT_EQ(shown.size(), 4u);
    std::int64_t last = -1;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const std::string from = json_field(shown[i], "recording");
        EXPECT_TRUE(from == json_string(dir.path("a.wav")) || from == json_string(dir.path("b.wav"))) << shown[i];
        EXPECT_EQ(json_field(shown[i], "ok"), "true");
        // One after the other, as the merged image plays.
        const std::int64_t start = std::stoll(json_field(shown[i], "pilotStart"));
        EXPECT_GT(start, last);
        last = std::stoll(json_field(shown[i], "end"));
        EXPECT_FALSE(json_numbers(shown[i], "counts").empty());  // the histogram of its own recording
    }
    EXPECT_EQ(json_field(shown[2], "recording"), json_string(dir.path("b.wav")));

    // What stops a merge stops the page; --exact reports one recording alone.
    EXPECT_NE(kvrtool("report " + both + " " + dir.path("missing.wav") + " -o " + dir.path("n.html")).status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path("n.html")));
    EXPECT_EQ(kvrtool("report --exact " + both + " -o " + dir.path("x.html")).status, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.path("x.html")));
}

}  // namespace
}  // namespace kvr::test
