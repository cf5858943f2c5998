// The converter's whole output, held fixed: a broad set of conversions (tapes of every
// loader rendered from images, every switch, damaged and cut recordings, KVR and TAP) is
// run, and each one's console text and a hash of its output bytes must match the table
// recorded in tests/golden/conversions.txt. Set KELVARIN_GOLDEN_UPDATE=1 to write the table
// anew from the current code (only when a change of output is intended).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "kelvarin/run.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

std::uint64_t fnv1a(const ByteVec& bytes) {
    std::uint64_t h = 14695981039346656037ULL;
    for (std::uint8_t b : bytes) h = (h ^ b) * 1099511628211ULL;
    return h;
}

// The settings of a switch string as the command line gives them.
Settings settings_of(const std::string& switches) {
    std::vector<std::string> args;
    std::istringstream in(switches);
    for (std::string word; in >> word;) args.push_back(word);
    args.push_back("in.wav");
    auto cx = std::make_unique<Context>();
    EXPECT_EQ(parse_command_line(*cx, args), ParseOutcome::run) << switches;
    return cx->settings;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

// One conversion as the table keeps it. The console splits into its opening (up to the
// "Creating" line) and the report after it; a long report keeps only its first and last
// lines, and the hash in the head covers the whole console.
struct Record {
    std::string head;
    std::string warnings;
    std::string opening;
    std::string report;

    bool operator==(const Record&) const = default;
};

// Lines framed by a marker in front and "|" behind, so that trailing spaces survive.
std::string framed(char marker, const std::vector<std::string>& lines, std::size_t from, std::size_t to) {
    constexpr std::size_t kHead = 24, kTail = 8;
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        if (to - from > kHead + kTail + 8 && i == from + kHead) {
            out += std::string(1, marker) + "...\n";
            i = to - kTail;
        }
        out += marker + lines[i] + "|\n";
    }
    return out;
}

Record record_of(const Conversion& c) {
    const std::vector<std::string> lines = lines_of(c.console);
    char head[200];
    std::snprintf(head, sizeof head, "= ok %d blocks %d output %zu %016llx console %zu lines %016llx\n", c.ok ? 1 : 0,
                  c.blocks, c.output.size(), static_cast<unsigned long long>(fnv1a(c.output)), lines.size(),
                  static_cast<unsigned long long>(fnv1a(ByteVec(c.console.begin(), c.console.end()))));
    std::size_t split = 0;
    while (split < lines.size() && lines[split].rfind("Creating", 0) != 0) ++split;
    split = split < lines.size() ? split + 1 : 0;
    Record r;
    r.head = head;
    if (!c.warnings.empty()) r.warnings = framed('!', lines_of(c.warnings), 0, lines_of(c.warnings).size());
    r.opening = framed('<', lines, 0, split);
    r.report = framed('>', lines, split, lines.size());
    return r;
}

// The cases in order. In the file an opening or a report equal to that of an earlier case
// is written as a reference to it ("<~ NAME", ">~ NAME"), which keeps the table small.
class Table {
public:
    void add(const std::string& name, const Conversion& c) {
        if (records_.count(name) != 0) return;  // the same recording with the same switches
        order_.push_back(name);
        records_[name] = record_of(c);
    }

    std::string text() const {
        std::map<std::string, std::string> first_with;
        auto section = [&](char marker, const std::string& lines, const std::string& name) {
            if (lines.empty()) return std::string();
            const auto [it, fresh] = first_with.emplace(std::string(1, marker) + lines, name);
            return fresh ? lines : std::string(1, marker) + "~ " + it->second + "\n";
        };
        std::string out;
        for (const std::string& name : order_) {
            const Record& r = records_.at(name);
            out += "== " + name + "\n" + r.head + r.warnings + section('<', r.opening, name) + section('>', r.report, name);
        }
        return out;
    }

    static std::map<std::string, Record> parse(const std::string& text) {
        std::map<std::string, Record> out;
        Record* r = nullptr;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("== ", 0) == 0) {
                r = &out[line.substr(3)];
                continue;
            }
            if (r == nullptr || line.empty()) continue;
            const bool reference = line.size() > 2 && line[1] == '~' && line[2] == ' ';
            switch (line[0]) {
            case '=': r->head += line + "\n"; break;
            case '!': r->warnings += line + "\n"; break;
            case '<': r->opening += reference ? out[line.substr(3)].opening : line + "\n"; break;
            case '>': r->report += reference ? out[line.substr(3)].report : line + "\n"; break;
            default: break;
            }
        }
        return out;
    }

    const std::map<std::string, Record>& records() const { return records_; }

private:
    std::vector<std::string> order_;
    std::map<std::string, Record> records_;
};

// The tapes.

ByteVec rom_tape() {
    ImageBuilder b = rom_pair("GAME");
    ByteVec odd_name = rom_header("A\x01Z~\x7F", 3, 6912);
    odd_name.insert(odd_name.end() - 1, 0x00);  // a 20-byte header
    b.standard(rom_header("NUMBERS", 1), 800).standard(with_checksum(0xFF, pattern_bytes(90, 41)), 1500);
    b.standard(odd_name, 1000).standard({0xFF, 1, 2, 3, 4}, 1000);  // bad checksum
    b.turbo(1800, 600, 700, 600, 1200, 3000, 5, 500, ByteVec{0x33, 0x10, 0x20, 0x28});
    b.turbo(2000, 600, 600, 560, 1120, 1500, 8, 0, with_checksum(0x44, pattern_bytes(200, 42)));
    b.turbo(2168, 667, 735, 700, 1400, 2000, 8, 700, ByteVec(6, 0xFF));  // ones only
    b.turbo(2168, 667, 735, 700, 1400, 2000, 8, 700, ByteVec(6, 0x00));  // zeros only
    b.standard(rom_header("CHARS", 2), 1000).standard(with_checksum(0xFF, pattern_bytes(30, 43)), 1000);
    return b.bytes();
}

ByteVec speedlock1_tape() {
    ImageBuilder b = rom_pair("GAME");
    speedlock1_head(b, "111010");
    b.pure_data(565, 1130, 8, 1000, with_checksum(0x12, pattern_bytes(100, 12)));
    speedlock1_head(b, "101100");
    b.pure_data(565, 1130, 8, 1000, with_checksum(0x34, pattern_bytes(50, 13)));
    speedlock1_head(b, "110011");  // no data after the flags
    b.pause(1500);
    speedlock1_head(b, "000000");
    b.pure_data(565, 1130, 8, 1000, {0x55, 0x55});
    speedlock1_head(b, "010101");
    b.pure_data(565, 1130, 5, 1000, {0x66, 0x61, 0x08});
    b.standard(with_checksum(0xFF, {7, 8, 9}), 1000);
    return b.bytes();
}

ByteVec speedlock4_tape() {
    ByteVec tape = speedlock34_tape(4, sample_blocks());
    ImageBuilder b;
    pilot_and_sync28(b, 753, 1506, 3000);
    b.pure_data(753, 1506, 8, 0, {1, 2, 3});
    b.pulses(trailer());
    b.pure_data(753, 1506, 8, 1000, {4, 5, 6, 7});
    pilot_and_sync28(b, 753, 1506, 3000);  // a block 2 whose only sub-block is empty
    b.pause(1000);
    tape.insert(tape.end(), b.bytes().begin() + 10, b.bytes().end());
    return tape;
}

// Block 2 with an inner sub-block too long for a TAP record.
ByteVec speedlock4_long_tape() {
    ImageBuilder b = rom_pair("GAME");
    b.standard(rom_header("MORE"), 1000).standard(with_checksum(0xFF, pattern_bytes(20, 15)), 1000);
    pilot_and_sync28(b, 753, 1506, 3000);
    b.pure_data(753, 1506, 8, 1000, with_checksum(0x77, pattern_bytes(10, 16)));
    pilot_and_sync28(b, 753, 1506, 3000);
    b.pure_data(753, 1506, 8, 0, pattern_bytes(66000, 44));
    b.pulses(trailer());
    b.pure_data(753, 1506, 8, 1000, {4, 5, 6, 7});
    return b.bytes();
}

ByteVec diload_tape() {
    ImageBuilder b = rom_pair("GAME");
    b.tone(3000, 500).tone(1500, 400).pulses({700}).pure_data(600, 1200, 8, 1000, with_checksum(0x01, pattern_bytes(80, 20)));
    b.tone(3000, 600).tone(1500, 400).pulses({700}).pure_data(590, 1210, 8, 1000, with_checksum(0x02, pattern_bytes(60, 21)));
    b.standard(with_checksum(0xFF, {9, 9}), 1000);
    b.tone(3000, 500).tone(1500, 400).pulses({700}).pure_data(600, 1200, 8, 1000, with_checksum(0x03, {1, 2, 3}));
    return b.bytes();
}

// A two-tone pilot whose data never comes: the path that decodes nothing.
ByteVec diload_empty_tape() {
    ImageBuilder b = rom_pair("GAME");
    b.tone(3000, 500).tone(1500, 400).pulses({700}).pause(1000);
    b.tone(3000, 500).tone(1500, 400).pulses({700}).pure_data(600, 1200, 8, 1000, with_checksum(0x01, pattern_bytes(40, 22)));
    b.tone(3000, 500).tone(1500, 400).pulses({700}).pure_data(600, 1200, 8, 1000, with_checksum(0x02, pattern_bytes(40, 23)));
    return b.bytes();
}

ByteVec bleep_tape() {
    ImageBuilder b = rom_pair("GAME");
    b.tone(2168, 1500).pause(1000);
    b.standard(with_checksum(0xFF, pattern_bytes(30, 22)), 1000);
    b.tone(2168, 1200).pause(700).tone(2168, 1300).pause(600);
    b.turbo(2168, 667, 735, 600, 1200, 1800, 8, 1000, with_checksum(0x10, pattern_bytes(25, 23)));
    b.tone(2168, 1100).pause(900);
    return b.bytes();
}

// A recording of nothing but noise, raw samples.
SampleVector noise_samples(std::size_t n, unsigned seed) {
    const ByteVec bytes = pattern_bytes(n, seed);
    SampleVector out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::int8_t>(bytes[i] & 0x81 ? -60 : 60);
    return out;
}

SampleVector samples_of(const ByteVec& recording, std::int32_t& rate) {
    auto cx = fresh_context();
    EXPECT_TRUE(load_sample_bytes(*cx, recording));
    rate = cx->recording.sample_rate;
    return levels_of(cx->recording);
}

const char* const kClassic[] = {
    "",          "/tap",      "/rom",           "/ignore",        "/noaprox",      "/maxp 20",    "/maxp 50",
    "/diff 30",  "/diff 60",  "/end 45",        "/end 20",        "/pilot 1000",   "/pilot 10",   "/std 0",
    "/std 99",   "/force 3000", "/bleep",       "/alter",         "/sync",         "/middle",     "/alter /middle",
    "/noaprox /sync /force 100", "/rom /ignore /tap", "/middle /end 30 /tap",
};

const char* const kExtreme[] = {
    "/maxp 0", "/maxp 100", "/maxp -5", "/diff 0", "/diff 1000", "/end 0", "/end -2147483648",
    "/pilot 0", "/pilot -1", "/pilot 2147483647", "/std 100", "/std -1",
    "/slock1 0 /slskip -2147483648", "/slock3 2 /slskip 0", "/diload /slskip 2147483647", "/slock4 /slskip 1",
    "/pilot 0 /maxp 100 /tap", "/slock2 /pilot 0", "/slock3 0 /pilot 0 /diff 0",
};

const char* const kLoaders[] = {
    "/slock1 0", "/slock1 2", "/slock2", "/slock3 0", "/slock3 2", "/slock4", "/diload", "/bleep",
    "/slock1 0 /slskip 3", "/slock3 0 /slskip 5", "/diload /slskip 3", "/diload /slock1 0", "/diload /slock4 /slskip 4",
    "/bleep /slock1 0", "/bleep /diload", "/slskip 2", "/slock1 2 /tap", "/slock2 /tap", "/slock4 /tap",
    "/diload /slskip 3 /tap", "/bleep /diload /tap",
};

struct Tape {
    std::string name;
    ByteVec image;
    std::string own;  // the tape's own loader switches
};

std::vector<Tape> tapes() {
    const TwoBlocks t = sample_blocks();
    return {
        {"rom", rom_tape(), ""},
        {"slock1", speedlock1_tape(), "/slock1 0"},
        {"slock2", speedlock2_tape(t, 3), "/slock2"},
        {"slock3", speedlock34_tape(3, t), "/slock3 0"},
        {"slock4", speedlock4_tape(), "/slock4 /slskip 4"},
        {"diload", diload_tape(), "/diload"},
        {"diload-empty", diload_empty_tape(), "/diload"},
        {"bleep", bleep_tape(), "/bleep"},
    };
}

void run_all(Table& table) {
    auto add = [&](const std::string& name, const ByteVec& recording, const std::string& switches) {
        const Settings s = settings_of(switches);
        table.add(name + " | " + switches, convert(recording, [&](Settings& x) { x = s; }));
    };
    const std::vector<Tape> all = tapes();
    for (const Tape& tape : all) {
        const ByteVec recording = render(tape.image);
        const std::string own = tape.own.empty() ? "" : tape.own + " ";
        // The tape's own loader with every classic switch, and every loader on the tape.
        for (const char* classic : kClassic) add(tape.name, recording, own + classic);
        for (const char* loader : kLoaders) add(tape.name, recording, loader);
        if (tape.name == "rom" || tape.name == "slock1" || tape.name == "slock3" || tape.name == "diload")
            for (const char* extreme : kExtreme) add(tape.name, recording, extreme);

        // Damaged recordings, and other rates and formats.
        struct Variant {
            const char* name;
            RenderOptions options;
        };
        std::vector<Variant> variants;
        RenderOptions o;
        o.noise = 0.3, o.seed = 3;
        variants.push_back({"noise", o});
        o = {};
        o.jitter_pct = 4, o.seed = 5;
        variants.push_back({"jitter", o});
        o = {};
        o.lowpass_hz = 6000, o.dc_offset = 0.1;
        variants.push_back({"lowpass", o});
        o = {};
        o.noise = 0.55, o.jitter_pct = 8, o.lowpass_hz = 9000, o.seed = 9;
        variants.push_back({"wrecked", o});
        o = {};
        o.rate = 22050, o.format = SampleFormat::wav8;
        variants.push_back({"wav8-22050", o});
        o = {};
        o.rate = 48000, o.format = SampleFormat::csw;
        variants.push_back({"csw-48000", o});
        o = {};
        o.rate = 31250, o.format = SampleFormat::voc8, o.amplitude = 1.0;
        variants.push_back({"voc8-31250", o});
        for (const Variant& v : variants) {
            const ByteVec damaged = render(tape.image, v.options);
            add(tape.name + "-" + v.name, damaged, own);
            add(tape.name + "-" + v.name, damaged, own + "/tap");
            if (v.options.noise > 0) {
                add(tape.name + "-" + v.name, damaged, own + "/alter /middle");
                add(tape.name + "-" + v.name, damaged, own + "/end 40");
            }
        }

        // Recordings cut short.
        std::int32_t rate = 0;
        const SampleVector samples = samples_of(recording, rate);
        for (int per_mille : {0, 1, 97, 250, 500, 613, 750, 900, 999}) {
            const auto cut = static_cast<std::ptrdiff_t>(samples.size() * static_cast<std::size_t>(per_mille) / 1000);
            std::vector<std::string> switch_sets{tape.own};
            if (per_mille % 250 == 0 && per_mille > 0) switch_sets.push_back(own + "/tap");
            for (const std::string& switches : switch_sets) {
                const Settings s = settings_of(switches);
                table.add(tape.name + "-cut" + std::to_string(per_mille) + " | " + switches,
                          convert_samples(SampleVector(samples.begin(), samples.begin() + cut), rate,
                                          [&](Settings& x) { x = s; }));
            }
        }
    }

    // A Speedlock type 3 variant 2 tape, with noise before block 1 of 22 s and of 15 s.
    const TwoBlocks t = sample_blocks();
    RenderOptions noisy;
    noisy.noise = 0.7, noisy.amplitude = 0.8;
    for (int ms : {22000, 15000, 26000}) {
        const ByteVec recording = render(speedlock34_tape(3, t, ms), noisy);
        for (const char* s : {"/slock3 2", "/slock3 2 /tap", "/slock3 0", "/slock3 2 /slskip 3", "/slock3 2 /alter"})
            add("slock3-noise" + std::to_string(ms), recording, s);
    }

    // Blocks too long for a TAP record: a ROM-scheme block and an inner sub-block.
    const ByteVec long_sub = render(speedlock4_long_tape());
    for (const char* s : {"/slock4 /slskip 4", "/slock4 /slskip 4 /tap", "/slock4 /tap", "/tap"}) add("slock4-long", long_sub, s);
    {
        std::vector<std::int32_t> hps(3222, 20);
        hps.push_back(6);
        hps.push_back(7);
        ByteVec data(70000, 0);
        data[0] = 0x5A;
        for (std::uint8_t v : data)
            for (int k = 7; k >= 0; --k) hps.insert(hps.end(), 2, ((v >> k) & 1) ? 16 : 8);
        hps.push_back(500);
        for (const char* s : {"", "/tap", "/bleep /tap"}) {
            const Settings settings = settings_of(s);
            table.add(std::string("long-block | ") + s,
                      convert_samples(samples_from_hps(hps), 44100, [&](Settings& x) { x = settings; }));
        }
    }

    // Noise alone.
    for (unsigned seed : {1u, 2u}) {
        for (const char* s : {"", "/pilot 0", "/pilot 0 /maxp 100", "/slock1 0 /pilot 0", "/slock2 /slskip 0",
                              "/slock3 0 /pilot 0 /slskip 0", "/diload /pilot 0", "/bleep /pilot 0", "/pilot 0 /tap"}) {
            const Settings settings = settings_of(s);
            table.add("noise" + std::to_string(seed) + " | " + s,
                      convert_samples(noise_samples(30000, seed), 44100, [&](Settings& x) { x = settings; }));
        }
    }
    // The example recording.
    std::ifstream example(std::string(EXAMPLES_DIR) + "/game.csw", std::ios::binary);
    const ByteVec game{std::istreambuf_iterator<char>(example), {}};
    for (const char* s : {"", "/tap", "/rom /noaprox", "/slock1 0", "/diload", "/bleep"}) add("game.csw", game, s);
}

TEST(Golden, EveryConversionAsRecorded) {
    Table table;
    run_all(table);
    const std::string path = GOLDEN_FILE;
    if (const char* update = std::getenv("KELVARIN_GOLDEN_UPDATE"); update != nullptr && *update != '\0') {
        std::ofstream(path, std::ios::binary) << table.text();
        GTEST_SKIP() << "wrote " << table.records().size() << " cases to " << path;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << "no table at " << path;
    const std::map<std::string, Record> expected = Table::parse(std::string(std::istreambuf_iterator<char>(in), {}));
    EXPECT_EQ(expected.size(), table.records().size());
    int differing = 0;
    for (const auto& [name, record] : table.records()) {
        const auto it = expected.find(name);
        if (it == expected.end()) {
            ADD_FAILURE() << "case not in the table: " << name;
        } else if (!(it->second == record) && ++differing <= 10) {
            const Record& want = it->second;
            ADD_FAILURE() << "case " << name << "\nexpected:\n"
                          << want.head << want.warnings << want.opening << want.report << "got:\n"
                          << record.head << record.warnings << record.opening << record.report;
        }
    }
    EXPECT_EQ(differing, 0);
}

}  // namespace
}  // namespace kvr::test
