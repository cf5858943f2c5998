// CSW version 2: the header, plain and zlib-packed pulses, damaged streams, streams that
// expand far beyond their size, and the files kvrtool writes.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kvr::test {
namespace {

ByteVec deflated(const ByteVec& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    ByteVec out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), Z_DEFAULT_COMPRESSION), Z_OK);
    out.resize(size);
    return out;
}

struct Csw2 {
    std::uint32_t rate = 44100;
    std::uint32_t pulses = 0;  // as the header states them
    int compression = 2;
    int flags = 0;
    ByteVec extension;
};

ByteVec csw2_file(const Csw2& h, const ByteVec& payload) {
    // Sized once: growing the header vector trips a false bounds warning of some compilers.
    ByteVec v(52 + h.extension.size() + payload.size(), 0);
    std::memcpy(v.data(), "Compressed Square Wave\x1A", 23);
    v[23] = 2;
    for (int i = 0; i < 4; ++i) {
        v[25 + i] = static_cast<std::uint8_t>(h.rate >> (8 * i));
        v[29 + i] = static_cast<std::uint8_t>(h.pulses >> (8 * i));
    }
    v[33] = static_cast<std::uint8_t>(h.compression);
    v[34] = static_cast<std::uint8_t>(h.flags);
    v[35] = static_cast<std::uint8_t>(h.extension.size());
    std::copy(h.extension.begin(), h.extension.end(), v.begin() + 52);
    std::copy(payload.begin(), payload.end(), v.begin() + 52 + static_cast<std::ptrdiff_t>(h.extension.size()));
    return v;
}

// A file with the pulse stream packed as the header's compression asks.
ByteVec csw2_of(Csw2 h, const ByteVec& pulses, std::uint32_t stated) {
    h.pulses = stated;
    return csw2_file(h, h.compression == 2 ? deflated(pulses) : pulses);
}

LoadedFile csw(const ByteVec& file, std::int64_t max = kMaxSamples) { return load_with(read_csw, file, max); }

SampleVector levels(std::initializer_list<std::pair<int, int>> runs) {
    SampleVector v;
    for (auto [value, n] : runs) v.insert(v.end(), static_cast<std::size_t>(n), static_cast<std::int8_t>(value));
    return v;
}

TEST(Csw2Reader, HeaderAndPulses) {
    for (int compression : {1, 2}) {
        Csw2 h;
        h.compression = compression;
        h.rate = 96000;  // beyond the 16 bits of version 1
        LoadedFile l = csw(csw2_of(h, {5, 3}, 2));
        ASSERT_EQ(l.result, LOAD_OK) << compression;
        EXPECT_EQ(l.samples, levels({{-128, 5}, {127, 3}}));
        EXPECT_EQ(l.info.rate, 96000);
        EXPECT_EQ(l.info.length, 8);
        EXPECT_STREQ(l.info.type_name, "Compressed Square Wave (CSW)");
        EXPECT_TRUE(l.info.warning.empty());
        // Bit 0 of the flags: the first pulse is high. The extension is passed over by its length.
        h.flags = 1;
        h.extension = {0, 5, 3, 0, 0, 0, 0};
        EXPECT_EQ(csw(csw2_of(h, {5, 3}, 2)).samples, levels({{127, 5}, {-128, 3}}));
        // A long pulse; empty pulses switch the level all the same, before the first pulse too.
        h.flags = 0;
        EXPECT_EQ(csw(csw2_of(h, {0, 0xE8, 3, 0, 0}, 1)).samples.size(), 1000u);
        EXPECT_EQ(csw(csw2_of(h, {4, 0, 0, 0, 0, 0, 4}, 3)).samples, levels({{-128, 8}}));
        EXPECT_EQ(csw(csw2_of(h, {0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 4)).samples,
                  levels({{127, 3}, {-128, 2}}));
        // A long pulse cut off by the end of the stream is dropped.
        EXPECT_EQ(csw(csw2_of(h, {2, 0, 0xE8, 3}, 2)).samples, levels({{-128, 2}}));
    }
}

TEST(Csw2Reader, StreamsLongerThanTheInflateWindow) {
    // Long pulses straddle the boundaries of the pieces zlib hands out; empty ones fold the
    // pulses around them together. Plain and packed streams must load alike.
    ByteVec pulses;
    std::uint32_t count = 0;
    for (unsigned i = 0; pulses.size() < 600000; ++i, ++count) {
        if (i % 7 == 3) {
            const std::uint32_t n = (i % 5 == 0) ? 0 : 256 + i % 200;
            pulses.push_back(0);
            for (int k = 0; k < 4; ++k) pulses.push_back(static_cast<std::uint8_t>(n >> (8 * k)));
        } else {
            pulses.push_back(static_cast<std::uint8_t>(1 + i % 20));
        }
    }
    Csw2 plain;
    plain.compression = 1;
    Csw2 packed;
    const LoadedFile a = csw(csw2_of(plain, pulses, count));
    const LoadedFile b = csw(csw2_of(packed, pulses, count));
    ASSERT_EQ(a.result, LOAD_OK);
    ASSERT_EQ(b.result, LOAD_OK);
    EXPECT_EQ(a.samples, b.samples);
    EXPECT_TRUE(b.info.warning.empty()) << b.info.warning;
}

TEST(Csw2Reader, PulseCountOfTheHeaderIsOnlyChecked) {
    LoadedFile l = csw(csw2_of(Csw2{}, {5, 3, 0, 0, 0, 0, 0}, 99));
    ASSERT_EQ(l.result, LOAD_OK);
    EXPECT_EQ(l.samples.size(), 8u);
    EXPECT_EQ(l.info.warning, "the header states 99 pulses, the sample data holds 3");
    auto cx = fresh_context();
    ASSERT_TRUE(load_sample_bytes(*cx, csw2_of(Csw2{}, {5, 3}, 1)));
    EXPECT_EQ(cx->console.warnings(), "Warning: the header states 1 pulses, the sample data holds 2\n");
    EXPECT_EQ(cx->console.text(), "\nType: Compressed Square Wave (CSW)\nDuration: 00 hrs 00 mins 00.00 secs\nRate: 44100 Hz\n");
}

TEST(Csw2Reader, DamagedAndRefusedFiles) {
    ByteVec pulses = pattern_bytes(5000, 3);
    for (auto& b : pulses) b |= 1;  // short pulses only
    const ByteVec good = csw2_of(Csw2{}, pulses, 0);
    ASSERT_EQ(csw(good).result, LOAD_OK);
    // Corrupt, cut short, empty and not zlib at all.
    ByteVec corrupt = good;
    for (std::size_t i = 200; i < 210; ++i) corrupt[i] ^= 0xA5;
    EXPECT_EQ(csw(corrupt).result, LOAD_BAD_DATA);
    for (std::size_t cut : {good.size() - 1, good.size() / 2, std::size_t{54}, std::size_t{52}})
        EXPECT_EQ(csw(ByteVec(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut))).result, LOAD_BAD_DATA)
            << cut;
    EXPECT_EQ(csw(csw2_file(Csw2{}, pulses)).result, LOAD_BAD_DATA);
    // Bytes after the end of the zlib stream are not pulses.
    ByteVec trailing = good;
    trailing.insert(trailing.end(), {1, 2, 3});
    EXPECT_EQ(csw(trailing).samples, csw(good).samples);
    // The header: cut short, an extension past the end, unknown compression, rate 0 or above 31 bits.
    EXPECT_EQ(csw(ByteVec(good.begin(), good.begin() + 40)).result, LOAD_BAD_DATA);
    Csw2 h;
    h.extension.resize(10);
    ByteVec past = csw2_file(h, {});
    past.resize(55);
    EXPECT_EQ(csw(past).result, LOAD_BAD_DATA);
    h = Csw2{};
    h.compression = 3;
    EXPECT_EQ(csw(csw2_of(h, {5}, 1)).result, LOAD_BAD_DATA);
    for (std::uint32_t rate : {0u, 0x80000000u}) {
        h = Csw2{};
        h.rate = rate;
        EXPECT_EQ(csw(csw2_of(h, {5}, 1)).result, LOAD_BAD_DATA) << rate;
    }
    EXPECT_EQ(csw(csw2_of(Csw2{}, {}, 0)).result, LOAD_EMPTY);
    // The message of the load step.
    auto cx = fresh_context();
    EXPECT_FALSE(load_sample_bytes(*cx, corrupt));
    EXPECT_EQ(cx->console.text(), "\n-- Error: The sample data is in a unsupported format!\n");
}

TEST(Csw2Reader, StreamsThatExpandFarBeyondTheirSize) {
    // Five million empty pulses: 25 MB inflated, no samples, nothing kept.
    const ByteVec empty_pulses(25u << 20, 0);
    const ByteVec bomb = csw2_of(Csw2{}, empty_pulses, 0);
    EXPECT_LT(bomb.size(), 60000u);
    EXPECT_EQ(csw(bomb).result, LOAD_EMPTY);
    // Pulses that add up to more than the ceiling stop the inflating there.
    const ByteVec long_pulses(8u << 20, 0xFF);
    EXPECT_EQ(csw(csw2_of(Csw2{}, long_pulses, 0), 1 << 20).result, LOAD_TOO_LONG);
    EXPECT_EQ(csw(csw2_of(Csw2{}, {0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0x01, 0, 0, 0}, 2)).result, LOAD_TOO_LONG);
}

// kvrtool's version 2 files (their pulses are checked against version 1 by check_csw2.py,
// with a second zlib) give the images of WAV renderings, also at rates version 1 cannot state.
TEST(Csw2Writer, RatesBeyondVersion1GiveTheImagesOfWav) {
    const ByteVec image = ImageBuilder{}.standard(with_checksum(0xFF, pattern_bytes(300, 4)), 500).bytes();
    for (std::uint32_t rate : {22050u, 96000u, 250000u}) {
        RenderOptions options;
        options.rate = rate;
        options.format = SampleFormat::wav16;
        const Conversion wav = convert(render(image, options));
        options.format = SampleFormat::csw2;
        const Conversion packed = convert(render(image, options));
        ASSERT_TRUE(packed.ok) << rate;
        EXPECT_EQ(packed.blocks, 1) << rate;
        EXPECT_EQ(packed.output, wav.output) << rate;
    }
}

}  // namespace
}  // namespace kvr::test
