// Whole conversions: report lines, pauses, images and TAP files of recordings made from
// half-periods or rendered from images.
#include <cmath>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kvr::test {
namespace {

using Hps = std::vector<std::int32_t>;

void append(Hps& out, std::int32_t hp, int n) { out.insert(out.end(), static_cast<std::size_t>(n), hp); }

void append_bits(Hps& out, const ByteVec& bytes, std::int32_t zero, std::int32_t one) {
    for (std::uint8_t b : bytes)
        for (int k = 7; k >= 0; --k) append(out, ((b >> k) & 1) ? one : zero, 2);
}

// A ROM-timed block at 3.5 MHz, where one sample is one T-state, followed by a silence.
void rom_block(Hps& out, const ByteVec& data, int pilot_hps, std::int32_t silence) {
    append(out, 2168, pilot_hps);
    out.push_back(667);
    out.push_back(735);
    append_bits(out, data, 855, 1710);
    out.push_back(silence);
}

constexpr std::int32_t kClockRate = 3500000;

TEST(Conversion, RomHeaderAndDataReportedExactly) {
    Hps hps;
    const ByteVec header = rom_header("GAME");
    const ByteVec data = with_checksum(0xFF, pattern_bytes(256, 1));
    rom_block(hps, header, 8063, kClockRate);  // 8061 counted: the opening pair is not
    rom_block(hps, data, 3222, kClockRate / 2);
    Conversion c = convert_samples(samples_from_hps(hps), kClockRate);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.console,
              "Creating 1.02 version .KVR file ... \n\n"
              " P:GAME       P-2168,8061 S- 667/ 735 0- 855,1-1710 F-00 B8 L-   19 C* P-1.000\n"
              " ------------ P-2168,3220 S- 667/ 735 0- 855,1-1710 F-FF B8 L-  258 C* \n");
    ByteVec expected{'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10, 0x10, 0xE8, 0x03, 0x13, 0x00};
    expected.insert(expected.end(), header.begin(), header.end());
    expected.insert(expected.end(), {0x10, 0x00, 0x00, 0x02, 0x01});
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(c.output, expected);

    Conversion tap = convert_samples(samples_from_hps(hps), kClockRate, [](Settings& s) { s.tap_output = true; });
    EXPECT_EQ(report_of(tap.console), report_of(c.console));
    EXPECT_EQ(tap.console.rfind("Creating .TAP file ...\n\n", 0), 0u);
    ByteVec records{0x13, 0x00};
    records.insert(records.end(), header.begin(), header.end());
    records.insert(records.end(), {0x02, 0x01});
    records.insert(records.end(), data.begin(), data.end());
    EXPECT_EQ(tap.output, records);
}

TEST(Conversion, StandardTestAndApproximation) {
    // A header with the pilot of a data block is not standard; bits of 800 and 1700
    // T-states are reported as 825 and 1650 unless "/noaprox".
    Hps hps;
    append(hps, 2168, 3222);
    hps.push_back(667);
    hps.push_back(735);
    append_bits(hps, rom_header("X"), 800, 1700);
    hps.push_back(kClockRate);
    Conversion c = convert_samples(samples_from_hps(hps), kClockRate);
    EXPECT_EQ(report_of(c.console), "*P:X          P-2168,3220 S- 667/ 735 0- 825,1-1650 F-00 B8 L-   19 C* \n");
    Conversion plain = convert_samples(samples_from_hps(hps), kClockRate, [](Settings& s) { s.approximate_bit1 = false; });
    EXPECT_EQ(report_of(plain.console), "*P:X          P-2168,3220 S- 667/ 735 0- 800,1-1700 F-00 B8 L-   19 C* \n");
    // The turbo speed data block carries the measured values, with "/sync" and "/force".
    Conversion forced = convert_samples(samples_from_hps(hps), kClockRate, [](Settings& s) {
        s.force_sync = true;
        s.force_pilot = true;
        s.forced_pilot_hps = 3000;
    });
    const ByteVec fixed{0x11, 0x78, 0x08, 0x9B, 0x02, 0xDF, 0x02, 0x39, 0x03, 0x72, 0x06,
                        0xB8, 0x0B, 0x08, 0x00, 0x00, 0x13, 0x00, 0x00};
    ASSERT_GE(forced.output.size(), 29u);
    EXPECT_EQ(ByteVec(forced.output.begin() + 10, forced.output.begin() + 29), fixed);
}

TEST(Conversion, PausesAndPilotsWithoutData) {
    Hps hps;
    rom_block(hps, rom_header("A"), 8063, kClockRate * 2);
    // A tone and its sync with no bits after them: the long silence that follows is the
    // first HP of the first pair, and too long for a bit.
    append(hps, 2168, 100);
    hps.insert(hps.end(), {667, 735, kClockRate});
    rom_block(hps, with_checksum(0xFF, {1, 2, 3}), 3222, kClockRate);
    Conversion c = convert_samples(samples_from_hps(hps), kClockRate);
    // The first block's pause runs up to the tone without data, which prints nothing; the
    // next block prints no pause line before its report.
    EXPECT_EQ(report_of(c.console),
              " P:A          P-2168,8061 S- 667/ 735 0- 855,1-1710 F-00 B8 L-   19 C* P-2.000\n"
              " ------------ P-2168,3220 S- 667/ 735 0- 855,1-1710 F-FF B8 L-    5 C* \n");
    EXPECT_EQ(c.output[11], 0xD0);  // 2000 ms
    EXPECT_EQ(c.output[12], 0x07);
    const std::size_t last = 10 + 5 + 19;  // the last block is written with a pause of 0
    EXPECT_EQ(ByteVec(c.output.begin() + last, c.output.begin() + last + 5), (ByteVec{0x10, 0, 0, 5, 0}));
}

TEST(Conversion, LongPausesAreCappedInTheImage) {
    Hps hps;
    rom_block(hps, rom_header("A"), 8063, kClockRate / 50 * 70);
    rom_block(hps, with_checksum(0xFF, {1}), 3222, kClockRate);
    Conversion c = convert_samples(samples_from_hps(hps), kClockRate / 50);
    EXPECT_NE(c.console.find("P-70.000\n"), std::string::npos);
    EXPECT_EQ(c.output[11], 0xFF);  // 70000 ms does not fit: 65535
    EXPECT_EQ(c.output[12], 0xFF);
}

TEST(Conversion, NothingFound) {
    Conversion empty = convert_samples({}, 44100);
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(report_of(empty.console), "-- Error: No blocks found... please consult the documentation!\n");
    EXPECT_TRUE(empty.output.empty());
    Conversion tap = convert_samples(samples_from_hps({5, 7, 9, 30, 2}), 44100, [](Settings& s) { s.tap_output = true; });
    EXPECT_TRUE(tap.output.empty());
    EXPECT_EQ(tap.blocks, 0);
}

TEST(Conversion, TapRecordsTooLongForTheirLengthAreLeftOut) {
    Hps hps;
    append(hps, 20, 3222);
    hps.push_back(6);
    hps.push_back(7);
    ByteVec data(70000, 0);
    data[0] = 0x5A;  // no whole-byte length has an exclusive-or of 0: the first-block rule never ends it
    append_bits(hps, data, 8, 16);
    hps.push_back(500);
    Conversion c = convert_samples(samples_from_hps(hps), 44100, [](Settings& s) { s.tap_output = true; });
    EXPECT_TRUE(c.output.empty());
    EXPECT_NE(c.warnings.find("block 1 has 70000 bytes"), std::string::npos);
    EXPECT_NE(c.console.find("L-70000"), std::string::npos);
    Conversion kvr = convert_samples(samples_from_hps(hps), 44100);
    ASSERT_GT(kvr.output.size(), 70000u);
    EXPECT_EQ(kvr.output[10], 0x11);  // never a standard block
    EXPECT_EQ(kvr.output[26], 0x70);
    EXPECT_EQ(kvr.output[27], 0x11);
    EXPECT_EQ(kvr.output[28], 0x01);
}

struct Parsed {
    TapeImage image;
    explicit Parsed(const ByteVec& bytes) {
        std::string error;
        EXPECT_TRUE(parse_tape_image(bytes, false, image, error)) << error;
    }
};

ByteVec partial_last_byte(ByteVec data, int used_bits) {
    data.back() = static_cast<std::uint8_t>(data.back() & (0xFF00 >> used_bits));
    return data;
}

ByteVec standard_image() {
    return ImageBuilder{}
        .standard(rom_header("ROUND"), 1000)
        .standard(with_checksum(0xFF, pattern_bytes(60, 2)), 800)
        .standard({0xFF, 1, 2, 3, 4}, 1000)  // a bad checksum is kept as it is
        .bytes();
}

ByteVec sample_image() {
    ByteVec image = ImageBuilder{}
                        .turbo(1800, 600, 700, 600, 1200, 3000, 5, 500,
                               partial_last_byte(with_checksum(0x33, pattern_bytes(40, 3)), 5))
                        .bytes();
    ByteVec out = standard_image();
    out.insert(out.end(), image.begin() + 10, image.end());
    return out;
}

void expect_near_pct(std::int32_t got, std::int32_t want, double pct, const std::string& what) {
    EXPECT_LE(std::abs(got - want), want * pct / 100.0) << what << ": " << got << " against " << want;
}

void expect_same_blocks(const ByteVec& original, const ByteVec& converted, std::uint32_t rate, const std::string& what) {
    Parsed a(original), b(converted);
    ASSERT_EQ(a.image.blocks.size(), b.image.blocks.size()) << what;
    const double sample_tstates = 3500000.0 / rate;
    for (std::size_t i = 0; i < a.image.blocks.size(); ++i) {
        const TapeBlock& x = a.image.blocks[i];
        const TapeBlock& y = b.image.blocks[i];
        const std::string where = what + " block " + std::to_string(i);
        EXPECT_EQ(x.id, y.id) << where;
        EXPECT_EQ(x.data, y.data) << where;
        if (x.id != 0x11) continue;
        EXPECT_EQ(x.used_bits, y.used_bits) << where;
        expect_near_pct(y.pilot_pulse, x.pilot_pulse, 2, where + " pilot");
        expect_near_pct(y.pilot_count, x.pilot_count, 2, where + " pilots");
        expect_near_pct(y.bit0, x.bit0, 2, where + " bit 0");
        expect_near_pct(y.bit1, x.bit1, 2, where + " bit 1");
        // A single sync HP can be off by one sample period.
        EXPECT_LE(std::abs(y.sync1 - x.sync1), sample_tstates + x.sync1 * 0.02) << where;
        EXPECT_LE(std::abs(y.sync2 - x.sync2), sample_tstates + x.sync2 * 0.02) << where;
    }
}

TEST(RoundTrip, EveryRateAndFormat) {
    const ByteVec image = sample_image();
    const SampleFormat formats[] = {SampleFormat::wav8,   SampleFormat::wav16, SampleFormat::wav8s,
                                    SampleFormat::wav16s, SampleFormat::wav24, SampleFormat::wavf32,
                                    SampleFormat::csw,    SampleFormat::voc8,  SampleFormat::voc16};
    for (std::uint32_t rate : {22050u, 44100u, 48000u, 96000u}) {
        for (SampleFormat format : formats) {
            if (format == SampleFormat::csw && rate > 65535) continue;
            RenderOptions options;
            options.rate = rate;
            options.format = format;
            const std::string what = std::to_string(rate) + " Hz format " + std::to_string(static_cast<int>(format));
            Conversion c = convert(render(image, options));
            ASSERT_TRUE(c.ok) << what;
            expect_same_blocks(image, c.output, effective_rate(options), what);
        }
    }
}

TEST(RoundTrip, NoiseJitterAndSoftEdges) {
    const ByteVec image = sample_image();
    RenderOptions options;
    options.noise = 0.1;
    options.jitter_pct = 2;
    options.lowpass_hz = 12000;
    options.dc_offset = 0.02;
    options.seed = 7;
    Conversion c = convert(render(image, options));
    ASSERT_TRUE(c.ok);
    expect_same_blocks(image, c.output, options.rate, "noisy");
}

TEST(RoundTrip, ConvertingAConvertedImageAgainChangesNothing) {
    const ByteVec first = convert(render(standard_image())).output;
    const ByteVec second = convert(render(first)).output;
    EXPECT_EQ(first, second);
}

TEST(Switches, SensibleValuesKeepTheDataAndExtremeOnesDoNoHarm) {
    RenderOptions options;
    options.noise = 0.05;
    const ByteVec recording = render(sample_image(), options);
    const std::vector<std::pair<std::string, Configure>> sensible = {
        {"/maxp 20", [](Settings& s) { s.pilot_tolerance_pct = 20; }},
        {"/diff 30", [](Settings& s) { s.bit_difference_pct = 30; }},
        {"/end 45", [](Settings& s) { s.end_given = true, s.end_threshold_pct = 45; }},
        {"/pilot 1000", [](Settings& s) { s.min_pilot_hps = 1000; }},
        {"/middle", [](Settings& s) { s.middle_value = true; }},
        {"/alter", [](Settings& s) { s.alternative_bits = true; }},
        {"/alter /middle", [](Settings& s) { s.alternative_bits = s.middle_value = true; }},
        {"/noaprox /sync /force 100", [](Settings& s) {
             s.approximate_bit1 = false, s.force_sync = true, s.force_pilot = true, s.forced_pilot_hps = 100;
         }},
    };
    for (const auto& [name, configure] : sensible) {
        Conversion c = convert(recording, configure);
        TapeImage image;
        std::string error;
        ASSERT_TRUE(parse_tape_image(c.output, false, image, error)) << name;
        ASSERT_EQ(image.blocks.size(), 4u) << name << "\n" << c.console;
        EXPECT_EQ(image.blocks[0].data, rom_header("ROUND")) << name;
        EXPECT_EQ(image.blocks[3].data.size(), 42u) << name;
    }
    const std::vector<Configure> extreme = {
        [](Settings& s) { s.pilot_tolerance_pct = 0; },
        [](Settings& s) { s.pilot_tolerance_pct = 100; },
        [](Settings& s) { s.pilot_tolerance_pct = -5; },
        [](Settings& s) { s.bit_difference_pct = 0; },
        [](Settings& s) { s.bit_difference_pct = 1000; },
        [](Settings& s) { s.end_given = true, s.end_threshold_pct = 0; },
        [](Settings& s) { s.end_given = true, s.end_threshold_pct = INT32_MIN; },
        [](Settings& s) { s.min_pilot_hps = 0; },
        [](Settings& s) { s.min_pilot_hps = -1; },
        [](Settings& s) { s.min_pilot_hps = INT32_MAX; },
        [](Settings& s) { s.standard_tolerance_pct = 0; },
        [](Settings& s) { s.standard_tolerance_pct = 100; },
        [](Settings& s) { s.rom_bit_timings = s.ignore_partial_byte = true; },
        [](Settings& s) { speedlock_settings(s).type = 1, speedlock_settings(s).skip = INT32_MIN; },
        [](Settings& s) { speedlock_settings(s).type = 3, speedlock_settings(s).variant = 2, speedlock_settings(s).skip = 0; },
        [](Settings& s) { apply_loader_switch(s, "/diload"), speedlock_settings(s).skip = INT32_MAX; },
    };
    for (const Configure& configure : extreme) {
        Conversion c = convert(recording, configure);
        EXPECT_TRUE(c.ok);
    }
}

TEST(Switches, StandardToleranceDecidesTheFlagLetter) {
    const ByteVec recording = render(sample_image());
    // Rendered ROM timings come back exact to the T-state, so even a tolerance of 0 keeps
    // them standard; a loose one makes the turbo block standard too.
    Conversion strict = convert(recording, [](Settings& s) { s.standard_tolerance_pct = 0; });
    EXPECT_NE(strict.console.find("\n*------------ P-1800"), std::string::npos);
    Conversion loose = convert(recording, [](Settings& s) { s.standard_tolerance_pct = 99; });
    EXPECT_EQ(loose.console.find("\n*"), std::string::npos);
    EXPECT_EQ(loose.output.at(10 + 5 + 19 + 5 + 62 + 5 + 5), 0x10);
}

}  // namespace
}  // namespace kvr::test
