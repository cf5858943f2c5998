// The three readers, the PCM conversion, the duration, the load step and the storage of samples.
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "formats/byte_cursor.hpp"
#include "input/file_bytes.hpp"
#include "input/sample_vector.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

void put(ByteVec& v, std::uint64_t x, int width) {
    for (int i = 0; i < width; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
void put(ByteVec& v, const char* text) { v.insert(v.end(), text, text + std::strlen(text)); }
void put(ByteVec& v, const ByteVec& bytes) { v.insert(v.end(), bytes.begin(), bytes.end()); }

ByteVec chunk(const char* id, const ByteVec& body, std::int64_t stated = -1) {
    ByteVec v;
    put(v, id);
    put(v, static_cast<std::uint64_t>(stated < 0 ? static_cast<std::int64_t>(body.size()) : stated), 4);
    put(v, body);
    return v;
}

ByteVec fmt_body(int tag, int channels, std::uint32_t rate, int bits, std::size_t size = 16) {
    ByteVec v;
    put(v, static_cast<std::uint64_t>(tag), 2);
    put(v, static_cast<std::uint64_t>(channels), 2);
    put(v, rate, 4);
    put(v, std::uint64_t{rate} * static_cast<std::uint64_t>(channels * bits / 8), 4);
    put(v, static_cast<std::uint64_t>(channels * bits / 8), 2);
    put(v, static_cast<std::uint64_t>(bits), 2);
    v.resize(size, 0);
    return v;
}

ByteVec riff(const std::vector<ByteVec>& chunks, std::int64_t riff_size = -1) {
    ByteVec body;
    for (const auto& c : chunks) put(body, c);
    ByteVec v;
    put(v, "RIFF");
    put(v, static_cast<std::uint64_t>(riff_size < 0 ? static_cast<std::int64_t>(body.size() + 4) : riff_size), 4);
    put(v, "WAVE");
    put(v, body);
    return v;
}

struct Loaded {
    LoadResult result;
    SampleInfo info;
    SampleVector samples;
};

Loaded wav(const ByteVec& file) {
    Loaded l;
    SampleCollector collect(l.samples);
    l.result = read_wav(file, l.info, collect);
    return l;
}
Loaded csw(const ByteVec& file, std::int64_t max = kMaxSamples) {
    Loaded l;
    SampleCollector collect(l.samples);
    l.result = read_csw(file, l.info, collect, max);
    return l;
}
Loaded voc(const ByteVec& file) {
    Loaded l;
    SampleCollector collect(l.samples);
    l.result = read_voc(file, l.info, collect);
    return l;
}

SampleVector s8(std::initializer_list<int> values) {
    SampleVector v;
    for (int x : values) v.push_back(static_cast<std::int8_t>(x));
    return v;
}

TEST(ByteCursor, ReadsNeverLeaveTheBytes) {
    const ByteVec bytes{0x11, 0x22, 0x33};
    ByteCursor cur{bytes};
    EXPECT_EQ(cur.le(0, 2), 0x2211u);
    EXPECT_EQ(cur.le(1, 4), 0x3322u);  // the bytes past the end read as 0
    EXPECT_EQ(cur.le(3, 1), 0u);
    EXPECT_EQ(cur.le(UINT64_MAX, 4), 0u);  // an offset that wraps round reads nothing
    std::uint32_t v = 0;
    EXPECT_TRUE(cur.read(2, v));
    EXPECT_EQ(v, 0x2211u);
    EXPECT_FALSE(cur.read(2, v));  // one byte left: the cursor does not move
    EXPECT_EQ(cur.pos, 2u);
}

// Blocks large enough to come in large pages, of every kind of length around a page's
// end: each holds all of its elements, growing and shrinking, and keeps them when it moves.
TEST(SampleStorage, LargeBlocksHoldEveryElement) {
    constexpr std::size_t kLarge = kLargeAllocation;
    for (const std::size_t bytes : {kLarge, kLarge + 1, kLarge + kLarge / 4 - 1, kLarge + kLarge / 4,
                                    2 * kLarge - 1, 3 * kLarge + 4097}) {
        SampleVector v(bytes);
        for (std::size_t i = 0; i < bytes; ++i) v[i] = static_cast<std::int8_t>(i * 7);
        v.resize(2 * bytes + 3);  // a larger block, the first one given back
        for (std::size_t i = bytes; i < v.size(); ++i) v[i] = static_cast<std::int8_t>(i * 7);
        for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], static_cast<std::int8_t>(i * 7)) << bytes << " " << i;
    }
}

TEST(Duration, SinglePrecisionSteps) {
    const struct {
        std::int32_t rate, length, h, m, s, hundredths;
    } cases[] = {{4000, 8000, 0, 0, 2, 0},       {44100, 1000000, 0, 0, 22, 67}, {1000, 3600000, 1, 0, 0, 0},
                 {44100, 0, 0, 0, 0, 0},         {44100, 158760000, 1, 0, 0, 0}, {8000, 2147483647, 74, 33, 55, 46},
                 {22050, 81585, 0, 0, 3, 70}};
    for (const auto& c : cases) {
        SampleInfo info;
        info.rate = c.rate;
        info.length = c.length;
        compute_duration(info);
        EXPECT_EQ(info.hours, c.h) << c.rate << " " << c.length;
        EXPECT_EQ(info.minutes, c.m) << c.rate << " " << c.length;
        EXPECT_EQ(info.seconds, c.s) << c.rate << " " << c.length;
        EXPECT_EQ(info.hundredths, c.hundredths) << c.rate << " " << c.length;
    }
}

TEST(Pcm, FramesBecomeTheTopByteOfTheChannelMean) {
    auto convert = [](const ByteVec& src, PcmFormat f) {
        SampleVector out(src.size() / f.frame_bytes());
        convert_pcm_samples(src.data(), out.data(), out.size(), f);
        return out;
    };
    EXPECT_EQ(convert({0x80, 0x7F, 0x00, 0xFF}, {8, 1}), s8({0x00, -1, -128, 127}));
    EXPECT_EQ(convert({0x80, 0x7F}, {8, 2}), s8({-1}));  // (255 >> 1) ^ 0x80
    EXPECT_EQ(convert({0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00}, {16, 1}), s8({0, -1, 0}));
    EXPECT_EQ(convert({0x01, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x00}, {16, 2}), s8({-1, 0}));
    EXPECT_EQ(convert({0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF}, {24, 1}), s8({-128, -1}));
    EXPECT_EQ(convert({0x00, 0x00, 0x00, 0x40}, {32, 1}), s8({64}));
    // Three channels: the floor of the mean of 10, 20 and 216.
    EXPECT_EQ(convert({0x0A, 0x14, 0xD8}, {8, 3}), s8({-46}));  // floor(82) ^ 0x80
    ByteVec floats(16);
    const float values[] = {0.5f, -0.001f, 2.0f, -2.0f};
    std::memcpy(floats.data(), values, 16);
    EXPECT_EQ(convert(floats, {32, 1, true}), s8({64, -1, 127, -128}));
}

TEST(WavReader, CanonicalFiles) {
    ByteVec data(8000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37);
    Loaded l = wav(riff({chunk("fmt ", fmt_body(1, 1, 8000, 8)), chunk("data", data)}));
    ASSERT_EQ(l.result, LOAD_OK);
    EXPECT_EQ(l.info.length, 8000);
    EXPECT_EQ(l.info.rate, 8000);
    EXPECT_EQ(l.info.seconds, 1);
    EXPECT_STREQ(l.info.type_name, "Wave Audio File (WAV)");
    for (std::size_t i = 0; i < data.size(); ++i) ASSERT_EQ(static_cast<std::uint8_t>(l.samples[i]), data[i] ^ 0x80);

    Loaded stereo = wav(riff({chunk("fmt ", fmt_body(1, 2, 44100, 16)), chunk("data", ByteVec(10, 0))}));
    EXPECT_EQ(stereo.result, LOAD_OK);
    EXPECT_EQ(stereo.info.length, 2);
}

TEST(WavReader, ChunkSearch) {
    const ByteVec fmt = chunk("fmt ", fmt_body(1, 1, 8000, 8));
    const ByteVec data = chunk("data", {0x90, 0x10, 0x90});
    // Odd chunks are skipped by exactly their size; fmt bodies of 18 and 40 bytes.
    EXPECT_EQ(wav(riff({chunk("LIST", {1, 2, 3}), fmt, chunk("junk", {9}), data})).info.length, 3);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 1, 8000, 8, 18)), data})).info.length, 3);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 1, 8000, 8, 40)), data})).info.length, 3);
    // A data chunk before the fmt chunk is not found.
    EXPECT_EQ(wav(riff({data, fmt})).result, LOAD_NOT_THIS_FORMAT);
    // A RIFF size limits the search; one of 0 or all ones (a writer streaming to a pipe)
    // does not, so chunks between fmt and data are passed over.
    EXPECT_EQ(wav(riff({fmt, chunk("junk", {1, 2, 3, 4}), data}, 4)).result, LOAD_NOT_THIS_FORMAT);
    for (std::int64_t unknown : {0LL, 0xFFFFFFFFLL}) {
        EXPECT_EQ(wav(riff({fmt, data}, unknown)).result, LOAD_OK);
        EXPECT_EQ(wav(riff({fmt, chunk("LIST", ByteVec(30, 'x')), data}, unknown)).info.length, 3);
        EXPECT_EQ(wav(riff({fmt, chunk("LIST", {}), chunk("junk", {})}, unknown)).result, LOAD_NOT_THIS_FORMAT);
    }
    EXPECT_EQ(wav(riff({chunk("junk", {}), data})).result, LOAD_REJECTED);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 1, 8000, 8, 14)), data})).result, LOAD_REJECTED);
}

TEST(WavReader, PaddingAfterOddChunks) {
    const ByteVec fmt = chunk("fmt ", fmt_body(1, 1, 8000, 8));
    const ByteVec data = chunk("data", {0x90, 0x10, 0x90});
    ByteVec padded_list = chunk("LIST", {'a', 'b', 'c'});
    padded_list.push_back(0);
    // Padded as RIFF asks, before and after the fmt chunk, and after an odd fmt body.
    EXPECT_EQ(wav(riff({padded_list, fmt, padded_list, data})).info.length, 3);
    ByteVec odd_fmt = chunk("fmt ", fmt_body(1, 1, 8000, 8, 17));
    odd_fmt.push_back(0);
    EXPECT_EQ(wav(riff({odd_fmt, padded_list, data})).info.length, 3);
    // Not padded: the next chunk starts right after the body.
    EXPECT_EQ(wav(riff({chunk("LIST", {'a', 'b', 'c'}), fmt, chunk("LIST", {0}), data})).info.length, 3);
    // A zero byte after an odd body that is not followed by an identifier is not padding.
    ByteVec not_padding = chunk("junk", {1, 2, 3});
    put(not_padding, ByteVec{0, 1, 0, 0, 0});
    EXPECT_EQ(wav(riff({fmt, not_padding, data})).result, LOAD_NOT_THIS_FORMAT);
}

TEST(WavReader, FormatsOfTodaysRecorders) {
    const ByteVec data = chunk("data", ByteVec(24, 0x40));
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(3, 1, 48000, 32)), data})).info.length, 6);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 1, 48000, 24)), data})).info.length, 8);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 6, 48000, 16)), data})).info.length, 2);
    ByteVec extensible = fmt_body(0xFFFE, 2, 96000, 24, 40);
    extensible[24] = 1;  // sub-format: integer PCM
    EXPECT_EQ(wav(riff({chunk("fmt ", extensible), data})).info.length, 4);
    extensible[24] = 2;
    EXPECT_EQ(wav(riff({chunk("fmt ", extensible), data})).result, LOAD_BAD_DATA);
}

TEST(WavReader, UnsupportedAndBrokenFiles) {
    const ByteVec data = chunk("data", ByteVec(16, 0));
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(2, 1, 8000, 4)), data})).result, LOAD_BAD_DATA);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(2, 1, 8000, 4))})).result, LOAD_BAD_DATA);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 1, 8000, 16))})).result, LOAD_NOT_THIS_FORMAT);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 1, 8000, 12)), data})).result, LOAD_BAD_DATA);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 0, 8000, 16)), data})).result, LOAD_BAD_DATA);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 1, 0, 16)), data})).result, LOAD_BAD_DATA);
    EXPECT_EQ(wav(riff({chunk("fmt ", fmt_body(1, 1, 8000, 16)), chunk("data", {1})})).result, LOAD_EMPTY);
    // A fmt body cut short by the end of the file.
    ByteVec cut = riff({chunk("fmt ", fmt_body(1, 1, 8000, 16))});
    cut.resize(cut.size() - 3);
    EXPECT_EQ(wav(cut).result, LOAD_NOT_THIS_FORMAT);
    EXPECT_EQ(wav({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V'}).result, LOAD_NOT_THIS_FORMAT);
    EXPECT_EQ(wav({}).result, LOAD_NOT_THIS_FORMAT);
    // A data chunk that claims far more than the file holds counts only the whole frames there.
    Loaded claims = wav(riff({chunk("fmt ", fmt_body(1, 2, 8000, 16)), chunk("data", ByteVec(9, 0), 0xFFFFFFF0)}));
    EXPECT_EQ(claims.result, LOAD_OK);
    EXPECT_EQ(claims.info.length, 2);
    EXPECT_EQ(claims.samples.size(), 2u);
}

ByteVec csw_file(int major, int minor, int rate, int compression, int flags, const ByteVec& pulses) {
    ByteVec v;
    put(v, "Compressed Square Wave\x1A");
    v.push_back(static_cast<std::uint8_t>(major));
    v.push_back(static_cast<std::uint8_t>(minor));
    put(v, static_cast<std::uint64_t>(rate), 2);
    v.push_back(static_cast<std::uint8_t>(compression));
    v.push_back(static_cast<std::uint8_t>(flags));
    put(v, 0, 3);
    put(v, pulses);
    return v;
}

TEST(CswReader, PulsesAndLevels) {
    Loaded v100 = csw(csw_file(1, 0, 44100, 1, 1, {5, 3}));
    ASSERT_EQ(v100.result, LOAD_OK);
    EXPECT_EQ(v100.samples, s8({-128, -128, -128, -128, -128, 127, 127, 127}));
    EXPECT_EQ(v100.info.rate, 44100);
    EXPECT_STREQ(v100.info.type_name, "Compressed Square Wave (CSW)");
    EXPECT_EQ(csw(csw_file(1, 1, 44100, 1, 1, {5, 3})).samples, s8({127, 127, 127, 127, 127, -128, -128, -128}));
    EXPECT_EQ(csw(csw_file(1, 1, 44100, 1, 0, {5, 3})).samples, v100.samples);
    EXPECT_EQ(csw(csw_file(1, 0, 44100, 1, 0, {0, 0xE8, 3, 0, 0})).samples.size(), 1000u);
    EXPECT_EQ(csw(csw_file(1, 0, 44100, 1, 0, {4, 0, 0, 0, 0, 0, 4})).samples, s8({-128, -128, -128, -128, -128, -128, -128, -128}));
    // A long pulse cut off by the end of the file is dropped; earlier pulses remain.
    EXPECT_EQ(csw(csw_file(1, 0, 44100, 1, 0, {2, 0, 0xE8, 3})).samples, s8({-128, -128}));
}

TEST(CswReader, RefusedFiles) {
    EXPECT_EQ(csw(csw_file(3, 0, 44100, 9, 0, {5})).result, LOAD_BAD_VERSION);
    EXPECT_EQ(csw(csw_file(2, 1, 44100, 9, 0, {5})).result, LOAD_BAD_VERSION);
    EXPECT_EQ(csw(csw_file(1, 2, 44100, 1, 0, {5})).result, LOAD_BAD_VERSION);
    EXPECT_EQ(csw(csw_file(1, 1, 44100, 2, 0, {5})).result, LOAD_BAD_DATA);
    EXPECT_EQ(csw(csw_file(1, 1, 0, 1, 0, {5})).result, LOAD_BAD_DATA);
    EXPECT_EQ(csw(csw_file(1, 1, 44100, 1, 0, {})).result, LOAD_EMPTY);
    EXPECT_EQ(csw(csw_file(1, 1, 44100, 1, 0, {0, 0, 0, 0, 0})).result, LOAD_EMPTY);
    EXPECT_EQ(csw(csw_file(1, 1, 44100, 1, 0, {0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 1, 0, 0, 0})).result, LOAD_TOO_LONG);
    EXPECT_EQ(csw(csw_file(1, 1, 44100, 1, 0, {0, 0, 0, 0, 1}), 1000).result, LOAD_TOO_LONG);
    ByteVec cut = csw_file(1, 1, 44100, 1, 0, {});
    cut.pop_back();
    EXPECT_EQ(csw(cut).result, LOAD_NOT_THIS_FORMAT);
}

ByteVec voc_file(const std::vector<ByteVec>& blocks, int version = 0x010A, int check = -1) {
    ByteVec v;
    put(v, "Creative Voice File\x1A");
    put(v, 26, 2);
    put(v, static_cast<std::uint64_t>(version), 2);
    put(v, static_cast<std::uint64_t>(check < 0 ? ((~version + 0x1234) & 0xFFFF) : check), 2);
    for (const auto& b : blocks) put(v, b);
    return v;
}

ByteVec voc_block(int type, const ByteVec& body, std::int64_t stated = -1) {
    ByteVec v;
    v.reserve(body.size() + 4);
    v.push_back(static_cast<std::uint8_t>(type));
    put(v, static_cast<std::uint64_t>(stated < 0 ? static_cast<std::int64_t>(body.size()) : stated), 3);
    put(v, body);
    return v;
}

ByteVec sound8(int tc, std::size_t frames, std::uint8_t value = 0x90) {
    ByteVec body(frames + 2, value);
    body[0] = static_cast<std::uint8_t>(tc);
    body[1] = 0;
    return voc_block(1, body);
}

ByteVec sound9(std::uint32_t rate, int bits, int channels, const ByteVec& data) {
    ByteVec body;
    put(body, rate, 4);
    body.push_back(static_cast<std::uint8_t>(bits));
    body.push_back(static_cast<std::uint8_t>(channels));
    put(body, 0, 6);
    put(body, data);
    return voc_block(9, body);
}

TEST(VocReader, HeaderAndRates) {
    EXPECT_EQ(voc(voc_file({sound8(0xA6, 10)}, 0x0114)).result, LOAD_OK);
    EXPECT_EQ(voc(voc_file({sound8(0xA6, 10)}, 0x0114, 0x1129)).result, LOAD_REJECTED);
    EXPECT_EQ(voc(voc_file({sound8(0xA6, 10)})).info.rate, 11111);
    EXPECT_EQ(voc(voc_file({sound8(0, 10)})).info.rate, 3906);
    EXPECT_EQ(voc(voc_file({sound8(255, 10)})).info.rate, 1000000);
    Loaded l = voc(voc_file({sound8(0xA6, 1000), voc_block(0, {})}));
    EXPECT_EQ(l.info.length, 1000);
    EXPECT_STREQ(l.info.type_name, "Creative Voice File (VOC)");
    EXPECT_EQ(voc(voc_file({sound9(44100, 16, 2, ByteVec(4000, 0))})).info.length, 1000);
    // Two rates: the first counts, and the second block's samples follow unchanged.
    Loaded two = voc(voc_file({sound8(0xA6, 3, 0x90), sound9(44100, 8, 1, {0x10, 0x20})}));
    EXPECT_EQ(two.info.rate, 11111);
    EXPECT_EQ(two.samples, s8({0x10, 0x10, 0x10, -112, -96}));
}

TEST(VocReader, BlockWalk) {
    // Repeat three times around one sound block: three copies in a row.
    Loaded rep = voc(voc_file({voc_block(6, {3, 0}), sound8(0xA6, 100), voc_block(7, {})}));
    EXPECT_EQ(rep.info.length, 300);
    // Silence, markers and text add nothing; the sound blocks abut.
    Loaded quiet = voc(voc_file({sound8(0xA6, 2), voc_block(3, {1, 0, 0xA6}), voc_block(4, {1, 0}),
                                 voc_block(5, {'h', 'i', 0}), voc_block(8, {1, 2, 3, 4}), sound8(0xA6, 2)}));
    EXPECT_EQ(quiet.info.length, 4);
    // No sound at all (only a text block, or only empty sound) is an empty file; a lone
    // terminator byte ends the walk.
    EXPECT_EQ(voc(voc_file({voc_block(5, {'h', 'i', 0})})).result, LOAD_EMPTY);
    EXPECT_EQ(voc(voc_file({sound8(0xA6, 0), voc_block(3, {1, 0, 0xA6})})).result, LOAD_EMPTY);
    ByteVec lone = voc_file({sound8(0xA6, 5)});
    lone.push_back(0);
    EXPECT_EQ(voc(lone).info.length, 5);
    // A sound block shorter than its fixed part adds nothing; one cut short by the end of
    // the file counts only its whole frames.
    EXPECT_EQ(voc(voc_file({voc_block(1, {0xA6}), sound8(0xA6, 2)})).info.length, 2);
    ByteVec cut = voc_file({sound9(44100, 16, 1, ByteVec(6, 0))});
    cut.resize(cut.size() - 1);
    EXPECT_EQ(voc(cut).info.length, 2);
    EXPECT_EQ(voc(voc_file({voc_block(1, {0xA6, 0, 1}, 0xFFFFFF)})).info.length, 1);
}

TEST(VocReader, RefusedFiles) {
    EXPECT_EQ(voc(voc_file({voc_block(2, {1, 2, 3})})).result, LOAD_BAD_DATA);  // no format yet
    EXPECT_EQ(voc(voc_file({sound9(44100, 0, 1, {1})})).result, LOAD_BAD_DATA);
    EXPECT_EQ(voc(voc_file({sound9(44100, 8, 0, {1})})).result, LOAD_BAD_DATA);
    EXPECT_EQ(voc(voc_file({sound9(44100, 12, 1, {1})})).result, LOAD_BAD_DATA);
    EXPECT_EQ(voc(voc_file({sound9(0, 8, 1, {1})})).result, LOAD_BAD_DATA);
    EXPECT_EQ(voc(ByteVec(10, 0)).result, LOAD_NOT_THIS_FORMAT);
    // Nested repeats of nothing would walk for ever; they are refused instead.
    std::vector<ByteVec> bomb;
    for (int i = 0; i < 32; ++i) bomb.push_back(voc_block(6, {0xFF, 0xFF}));
    for (int i = 0; i < 32; ++i) bomb.push_back(voc_block(7, {}));
    EXPECT_EQ(voc(voc_file(bomb)).result, LOAD_TOO_LONG);
    // Repeats of sound that add up to more than a 32-bit count.
    EXPECT_EQ(voc(voc_file({voc_block(6, {0xFF, 0xFF}), voc_block(6, {0xFF, 0xFF}), sound8(0xA6, 1000),
                            voc_block(7, {}), voc_block(7, {})}))
                  .result,
              LOAD_TOO_LONG);
}

TEST(LoadStep, MessagesAndInfoLines) {
    auto load = [](const ByteVec& file) {
        auto cx = fresh_context();
        const bool ok = load_sample_bytes(*cx, file);
        return std::make_pair(ok, cx->console.text());
    };
    auto [ok, text] = load(csw_file(1, 0, 44100, 1, 0, {0, 0x40, 0x42, 0x0F, 0}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(text, "\nType: Compressed Square Wave (CSW)\nDuration: 00 hrs 00 mins 22.67 secs\nRate: 44100 Hz\n");
    EXPECT_EQ(load(csw_file(3, 0, 44100, 1, 0, {1})).second, "\n-- Error: This version of the sample file is not supported!\n");
    EXPECT_EQ(load(csw_file(1, 0, 44100, 7, 0, {1})).second, "\n-- Error: The sample data is in a unsupported format!\n");
    EXPECT_EQ(load(csw_file(1, 0, 44100, 1, 0, {})).second, "\n-- Error: The sample file is empty!\n");
    EXPECT_EQ(load(csw_file(1, 0, 44100, 1, 0, {0, 0, 0, 0, 0x80})).second, "\n-- Error: The sample file is too long!\n");
    // A file that no reader knows: silence, and an empty recording.
    auto unknown = load(ByteVec(100, 0x55));
    EXPECT_TRUE(unknown.first);
    EXPECT_EQ(unknown.second, "");
    // A rejected VOC header lets the next reader try.
    EXPECT_EQ(load(voc_file({}, 0x010A, 0)).second, "");
}

TEST(LoadStep, FilesReadInPiecesMatchTheBytesInMemory) {
    // Several pieces' worth of stereo sound, in a WAV and in a VOC file.
    RenderOptions options;
    options.format = SampleFormat::wav16s;
    options.noise = 0.3;
    const ByteVec image = ImageBuilder{}.standard(with_checksum(0xFF, pattern_bytes(4000, 40)), 500).bytes();
    const ByteVec wav_file = render(image, options);
    options.format = SampleFormat::voc16;
    const ByteVec voc_file_bytes = render(image, options);
    ASSERT_GT(wav_file.size(), 3u << 20);
    TempDir dir;
    for (const auto& [name, bytes] : {std::pair{"a.wav", wav_file}, std::pair{"a.voc", voc_file_bytes}}) {
        dir.write(name, bytes);
        auto from_file = fresh_context();
        from_file->settings.input_name = dir.path(name);
        ASSERT_TRUE(load_sample_file(*from_file));
        auto from_memory = fresh_context();
        ASSERT_TRUE(load_sample_bytes(*from_memory, bytes));
        EXPECT_EQ(from_file->recording.edges, from_memory->recording.edges) << name;
        EXPECT_EQ(from_file->recording.count, from_memory->recording.count) << name;
        EXPECT_EQ(from_file->recording.first_low, from_memory->recording.first_low) << name;
        EXPECT_EQ(from_file->console.text(), from_memory->console.text());
    }
}

TEST(InputFile, OnlyRegularFilesAreOpened) {
    TempDir dir;
    const std::string fifo = dir.path("f.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::string out;
    // Opening a pipe for reading would wait for a writer that never comes.
    EXPECT_EQ(run_command("timeout 30 " + std::string(KELVARIN_EXE) + " " + fifo, out), 1);
    EXPECT_NE(out.find("\n-- Error: Cannot open input file " + fifo + " !\n"), std::string::npos) << out;
    EXPECT_EQ(run_command("timeout 30 " + std::string(KVRTOOL_EXE) + " list " + fifo + " 2>&1", out), 1);
    EXPECT_EQ(out, "kvrtool: cannot open " + fifo + "\n");
    for (const std::string& name : {fifo, dir.path(""), std::string("/dev/null"), dir.path("missing")}) {
        FileBytes file;
        EXPECT_FALSE(file.open(name)) << name;
        EXPECT_EQ(open_regular_file(name), -1) << name;
    }
}

// Loads a file that another process cuts to `keep` bytes after it was opened.
std::string load_cut_short(const ByteVec& bytes, std::size_t keep, bool& loaded) {
    TempDir dir;
    dir.write("cut", bytes);
    FileBytes file;
    EXPECT_TRUE(file.open(dir.path("cut")));
    EXPECT_FALSE(file.shrank());
    EXPECT_EQ(::truncate(dir.path("cut").c_str(), static_cast<off_t>(keep)), 0);
    auto cx = fresh_context();
    cx->settings.input_name = "cut";
    loaded = load_opened_file(cx->settings.input_name, file, cx->recording, cx->console);
    EXPECT_TRUE(file.shrank());
    EXPECT_EQ(loaded, cx->recording.count > 0);
    return report_of(cx->console.text());
}

TEST(InputFile, CutShortWhileRead) {
    const ByteVec image = ImageBuilder{}.standard(with_checksum(0xFF, pattern_bytes(3000, 41)), 500).bytes();
    RenderOptions options;
    options.format = SampleFormat::wav16s;
    const ByteVec wav = render(image, options);  // its sound data is read in pieces
    options.format = SampleFormat::csw;
    const ByteVec csw = render(image, options);  // read from the mapping itself
    ASSERT_GT(wav.size(), 2u << 20);
    ASSERT_GT(csw.size(), 3u * 4096);
    for (const auto& [bytes, keep] : {std::pair{wav, std::size_t{1} << 20}, std::pair{csw, std::size_t{4096}}}) {
        bool loaded = true;
        const std::string text = load_cut_short(bytes, keep, loaded);
        EXPECT_FALSE(loaded);
        EXPECT_TRUE(text.ends_with("\n-- Error: Cannot read input file cut !\n")) << text;
    }
    // Bytes past the new end read as zeros instead of ending the process.
    TempDir dir;
    dir.write("cut", csw);
    FileBytes file;
    ASSERT_TRUE(file.open(dir.path("cut")));
    ASSERT_EQ(::truncate(dir.path("cut").c_str(), 0), 0);
    EXPECT_EQ(file.bytes()[csw.size() - 1], 0);
    EXPECT_TRUE(file.shrank());
    // A file left alone loads as before.
    dir.write("whole.wav", wav);
    FileBytes whole;
    ASSERT_TRUE(whole.open(dir.path("whole.wav")));
    auto cx = fresh_context();
    EXPECT_TRUE(load_opened_file(cx->settings.input_name, whole, cx->recording, cx->console));
    EXPECT_FALSE(whole.shrank());
}

}  // namespace
}  // namespace kvr::test
