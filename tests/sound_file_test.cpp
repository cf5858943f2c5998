// The fourth reader, through the sound library: round trips of rendered images through
// lossless and lossy formats, the channel rule, damaged files and long recordings.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "input/sample_encoder.hpp"
#include "playback/render.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

// A ROM header and data pair and a turbo block, about 9 seconds.
const ByteVec& test_image() {
    static const ByteVec image = ImageBuilder{}
                                     .standard(rom_header("FORMATS", 0, 700), 800)
                                     .standard(with_checksum(0xFF, pattern_bytes(700, 21)), 600)
                                     .turbo(1800, 500, 560, 600, 1200, 2500, 8, 500, with_checksum(0x33, pattern_bytes(400, 22)))
                                     .bytes();
    return image;
}

// The image rendered through one of the sound library's formats.
ByteVec render_in(int library_format, std::uint32_t rate = 44100, double compression = -1.0,
                  const ByteVec& image = test_image()) {
    TapeImage parsed;
    std::string error;
    EXPECT_TRUE(parse_tape_image(image, false, parsed, error)) << error;
    MemorySink sink;
    std::unique_ptr<SampleEncoder> encoder = make_sound_file_encoder(library_format, rate, sink, error, compression);
    EXPECT_TRUE(encoder) << error;
    if (!encoder) return {};
    RenderOptions options;
    options.rate = rate;
    EXPECT_TRUE(render_tape_image(parsed, options, rate, *encoder, error)) << error;
    return sink.bytes;
}

LoadedFile sound(const ByteVec& file, std::int64_t max = kMaxSamples) { return load_with(read_sound_file, file, max); }

std::string load_text(const ByteVec& file) {
    auto cx = fresh_context();
    load_sample_bytes(*cx, file);
    return cx->console.text();
}

TEST(SoundFileReader, LosslessFormatsGiveTheImagesOfWav) {
    RenderOptions wav16;
    const ByteVec wav = render(test_image(), wav16);
    const Conversion reference = convert(wav);
    ASSERT_EQ(reference.blocks, 3);
    SampleInfo wav_info;
    SampleVector wav_samples;
    SampleCollector collect(wav_samples);
    ASSERT_EQ(read_wav(wav, wav_info, collect), LOAD_OK);

    RenderOptions flac_options;
    flac_options.format = SampleFormat::flac;
    const struct {
        ByteVec file;
        const char* type;
    } cases[] = {
        {render(test_image(), flac_options), "FLAC Audio File (FLAC)"},
        {render_in(SF_FORMAT_FLAC | SF_FORMAT_PCM_24), "FLAC Audio File (FLAC)"},
        {render_in(SF_FORMAT_AIFF | SF_FORMAT_PCM_16), "AIFF Audio File (AIFF)"},
        {render_in(SF_FORMAT_AIFF | SF_FORMAT_FLOAT), "AIFF Audio File (AIFF)"},
        {render_in(SF_FORMAT_W64 | SF_FORMAT_PCM_16), "W64 Audio File (W64)"},
        {render_in(SF_FORMAT_RF64 | SF_FORMAT_PCM_24), "RF64 Audio File (RF64)"},
        {render_in(SF_FORMAT_CAF | SF_FORMAT_ALAC_16), "CAF Audio File (CAF)"},
    };
    for (const auto& c : cases) {
        const LoadedFile l = sound(c.file);
        ASSERT_EQ(l.result, LOAD_OK) << c.type;
        EXPECT_STREQ(l.info.type_name, c.type);
        EXPECT_EQ(l.samples, wav_samples) << c.type;
        const Conversion converted = convert(c.file);
        EXPECT_EQ(converted.output, reference.output) << c.type;
        EXPECT_EQ(report_of(converted.console), report_of(reference.console)) << c.type;
    }
    const std::string wav_text = load_text(wav);
    ASSERT_EQ(wav_text.rfind("\nType: Wave Audio File (WAV)\n", 0), 0u);
    EXPECT_EQ(load_text(cases[0].file), "\nType: FLAC Audio File (FLAC)\n" + wav_text.substr(wav_text.find("Duration")));
    // A FLAC stream whose header leaves the length open (written to a pipe) is read to its end.
    ByteVec open_length = cases[0].file;
    for (std::size_t i = 21; i < 26; ++i) open_length[i] &= (i == 21) ? 0xF0 : 0x00;
    EXPECT_EQ(sound(open_length).samples, wav_samples);
}

TEST(SoundFileReader, LossyFormatsKeepEveryBlock) {
    TapeImage original;
    std::string error;
    ASSERT_TRUE(parse_tape_image(test_image(), false, original, error));
    const struct {
        int format;
        std::uint32_t rate;
        const char* type;
    } cases[] = {
        {SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, "OGG Audio File (Vorbis)"},
        {SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, "OGG Audio File (Opus)"},
        {SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, "MPEG-1/2 Audio File (MPEG Layer III)"},
    };
    for (const auto& c : cases) {
        // A clean rendering at the codec's best quality.
        const ByteVec file = render_in(c.format, c.rate, 0.0);
        const LoadedFile l = sound(file);
        ASSERT_EQ(l.result, LOAD_OK) << c.type;
        EXPECT_STREQ(l.info.type_name, c.type);
        EXPECT_EQ(l.info.rate, static_cast<std::int32_t>(c.rate));
        const Conversion converted = convert(file);
        TapeImage recovered;
        ASSERT_TRUE(parse_tape_image(converted.output, false, recovered, error)) << c.type;
        ASSERT_EQ(recovered.blocks.size(), original.blocks.size()) << c.type;
        for (std::size_t i = 0; i < original.blocks.size(); ++i)
            EXPECT_EQ(recovered.blocks[i].data, original.blocks[i].data) << c.type << " block " << i;
    }
}

// Writes interleaved frames with the library into a file and returns its bytes.
template <class Value>
ByteVec write_frames(int format, int channels, const std::vector<Value>& values) {
    TempDir dir;
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(dir.path("frames").c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    if (f == nullptr) return {};
    const auto frames = static_cast<sf_count_t>(values.size() / static_cast<std::size_t>(channels));
    if constexpr (std::is_same_v<Value, short>)
        EXPECT_EQ(sf_writef_short(f, values.data(), frames), frames);
    else
        EXPECT_EQ(sf_writef_float(f, values.data(), frames), frames);
    sf_close(f);
    return dir.read("frames");
}

SampleVector s8(std::initializer_list<int> values) {
    SampleVector v;
    for (int x : values) v.push_back(static_cast<std::int8_t>(x));
    return v;
}

TEST(SoundFileReader, ChannelsAreReducedByTheRuleOfWav) {
    // The floor of the mean of the channels, reduced to its top byte.
    const std::vector<short> stereo{1, -2, -1, 1, 0x4000, 0x4000, -32768, -32768, 32767, -32768, 0x7F00, 0x7EFF};
    EXPECT_EQ(sound(write_frames(SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, stereo)).samples,
              s8({-1, 0, 0x40, -128, -1, 0x7E}));
    EXPECT_EQ(sound(write_frames(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, stereo)).samples,
              s8({-1, 0, 0x40, -128, -1, 0x7E}));
    const std::vector<short> three{300, -600, 0, 0x2000, 0x2000, 0x2001};
    EXPECT_EQ(sound(write_frames(SF_FORMAT_W64 | SF_FORMAT_PCM_16, 3, three)).samples, s8({-1, 0x20}));
    // Floating point: the floor of the mean times 128, held within a signed byte.
    const std::vector<float> floats{0.5f, -0.25f, 0.0f, 2.0f, 2.0f, 2.0f, -1.0f, -1.0f, -1.5f, 0.001f, -0.001f, 0.0f};
    EXPECT_EQ(sound(write_frames(SF_FORMAT_CAF | SF_FORMAT_FLOAT, 3, floats)).samples, s8({10, 127, -128, 0}));
}

TEST(SoundFileReader, DamagedFilesAreRefused) {
    RenderOptions flac_options;
    flac_options.format = SampleFormat::flac;
    const ByteVec flac = render(test_image(), flac_options);
    const ByteVec vorbis = render_in(SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    const ByteVec opus = render_in(SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000);
    const ByteVec mp3 = render_in(SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    auto cut = [](const ByteVec& v, std::size_t n) { return ByteVec(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n)); };
    auto spoilt = [](ByteVec v, std::size_t at) {
        for (std::size_t i = at; i < at + 64 && i < v.size(); ++i) v[i] ^= 0x5A;
        return v;
    };
    const struct {
        const char* what;
        ByteVec file;
    } cases[] = {
        {"FLAC cut in half", cut(flac, flac.size() / 2)},
        {"FLAC cut before its last frame ends", cut(flac, flac.size() - 10)},
        {"FLAC cut after its header", cut(flac, 45)},
        {"FLAC with spoilt frames", spoilt(flac, flac.size() / 2)},
        {"FLAC with a spoilt header", spoilt(flac, 8)},
        {"Vorbis cut in half", cut(vorbis, vorbis.size() / 2)},
        {"Vorbis with spoilt headers", spoilt(vorbis, 40)},
        {"Vorbis with a spoilt page", spoilt(vorbis, vorbis.size() / 2)},
        {"Opus cut in half", cut(opus, opus.size() / 2)},
        {"MP3 cut in half", cut(mp3, mp3.size() / 2)},
        {"MP3 cut inside its first frame", cut(mp3, 40)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sound(c.file).result, LOAD_BAD_DATA) << c.what;
        EXPECT_EQ(load_text(c.file), "\n-- Error: The sample data is in a unsupported format!\n") << c.what;
    }
    // The programs: a clear message and a failing exit status.
    TempDir dir;
    dir.write("cut.flac", cases[0].file);
    std::string out;
    EXPECT_EQ(run_command(std::string(KELVARIN_EXE) + " " + dir.path("cut.flac") + " " + dir.path("cut.kvr"), out), 1);
    EXPECT_NE(out.find("-- Error: The sample data is in a unsupported format!"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir.path("cut.kvr")));
}

TEST(SoundFileReader, FilesTheOtherReadersKnowStayTheirs) {
    // Unknown bytes, and a WAV without a fmt chunk that the sound library cannot read either:
    // no message and no recording, as before there was a fourth reader.
    EXPECT_EQ(sound(ByteVec(100, 0x55)).result, LOAD_NOT_THIS_FORMAT);
    const ByteVec no_fmt{'R', 'I', 'F', 'F', 12, 0, 0, 0, 'W', 'A', 'V', 'E', 'j', 'u', 'n', 'k', 0, 0, 0, 0};
    EXPECT_EQ(sound(no_fmt).result, LOAD_NOT_THIS_FORMAT);
    EXPECT_EQ(load_text(no_fmt), "");
    // An empty recording in a format of the library.
    EXPECT_EQ(sound(write_frames<short>(SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, {})).result, LOAD_EMPTY);
}

// An RF64 file of 16-bit mono sound whose data chunk holds `data_bytes` (sparse on disk).
void write_sparse_rf64(const std::string& path, std::uint64_t data_bytes) {
    ByteVec h;
    auto put = [&](std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) h.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    auto text = [&](const char* t) { h.insert(h.end(), t, t + 4); };
    text("RF64");
    put(0xFFFFFFFF, 4);
    text("WAVE");
    text("ds64");
    put(28, 4);
    put(4 + 36 + 24 + 8 + data_bytes, 8);  // RIFF size
    put(data_bytes, 8);
    put(data_bytes / 2, 8);  // frames
    put(0, 4);
    text("fmt ");
    put(16, 4);
    for (auto [v, w] : {std::pair{1, 2}, {1, 2}, {44100, 4}, {88200, 4}, {2, 2}, {16, 2}}) put(static_cast<std::uint64_t>(v), w);
    text("data");
    put(0xFFFFFFFF, 4);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
    std::filesystem::resize_file(path, h.size() + data_bytes);
}

TEST(SoundFileReader, LongRecordingsAreRefusedByTheirHeader) {
    // A ceiling below the stated length refuses the file before it is decoded.
    const ByteVec flac = render_in(SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const std::int32_t length = sound(flac).info.length;
    ASSERT_GT(length, 400000);
    EXPECT_EQ(sound(flac, length - 1).result, LOAD_TOO_LONG);
    EXPECT_EQ(sound(flac, length).result, LOAD_OK);
    // More than 2^31 - 1 frames in a file of over 4 GB, most of it never written to disk.
    TempDir dir;
    const std::string path = dir.path("long.rf64");
    try {
        write_sparse_rf64(path, (std::uint64_t{1} << 32) + 2);
    } catch (const std::filesystem::filesystem_error& e) {
        GTEST_SKIP() << "no sparse file here: " << e.what();
    }
    auto cx = fresh_context();
    cx->settings.input_name = path;
    EXPECT_FALSE(load_sample_file(*cx));
    EXPECT_EQ(cx->console.text(), "\n-- Error: The sample file is too long!\n");
    EXPECT_EQ(cx->recording.count, 0);
}

// An AIFF file whose rate field alone says `rate` (an 80-bit extended number).
ByteVec aiff_stating(double rate) {
    ByteVec file = render_in(SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    std::uint16_t exponent = 0x7FFF;
    std::uint64_t mantissa = std::isnan(rate) ? 0xC000000000000000 : 0x8000000000000000;
    if (std::isfinite(rate)) {
        int e = 0;
        const double m = std::frexp(rate, &e);  // rate = m * 2^e, 0.5 <= m < 1
        exponent = static_cast<std::uint16_t>(16382 + e);
        mantissa = static_cast<std::uint64_t>(std::ldexp(m, 64));
    }
    const auto comm = std::search(file.begin(), file.end(), std::begin("COMM"), std::end("COMM") - 1);
    EXPECT_NE(comm, file.end());
    auto at = comm + 16;  // after the chunk's header, the channels, the frames and the bits
    *at++ = static_cast<std::uint8_t>(exponent >> 8);
    *at++ = static_cast<std::uint8_t>(exponent);
    for (int shift = 56; shift >= 0; shift -= 8) *at++ = static_cast<std::uint8_t>(mantissa >> shift);
    return file;
}

TEST(KvrTool, RefusesRatesNoRecordingHas) {
    TempDir dir;
    // The field as written converts; the same file with its rate alone changed is refused.
    dir.write("real.aiff", aiff_stating(44100));
    EXPECT_EQ(dir.read("real.aiff"), render_in(SF_FORMAT_AIFF | SF_FORMAT_PCM_16));
    EXPECT_EQ(kvrtool("convert -f " + dir.path("real.aiff") + " -o " + dir.path("real.kvr")).status, 0);
    for (const double rate : {8e8, 1e300, HUGE_VAL, std::nan("")}) {
        dir.write("fast.aiff", aiff_stating(rate));
        for (const char* command : {"convert", "report"}) {
            const ToolRun r = kvrtool(std::string(command) + " " + dir.path("fast.aiff") + " -o " + dir.path("out"));
            EXPECT_EQ(r.status, 1) << command << " " << rate;
            EXPECT_NE(r.out.find(" Hz\n\n-- Error: The sample rate is above 10000000 Hz!\n"), std::string::npos) << r.out;
            EXPECT_FALSE(std::filesystem::exists(dir.path("out"))) << command << " " << rate;
        }
        // The classic conversion reads such a file quickly, and goes on as it always did.
        std::string classic;
        const int status = run_command(std::string(KELVARIN_EXE) + " " + dir.path("fast.aiff") + " " + dir.path("k.kvr"), classic);
        const ToolRun exact = kvrtool("convert -f --exact " + dir.path("fast.aiff") + " -o " + dir.path("k.kvr"));
        EXPECT_EQ(exact.status, status);
        EXPECT_EQ(exact.out, classic);
        EXPECT_EQ(classic.find("sample rate is above"), std::string::npos);
    }
    // The highest rate is taken.
    dir.write("top.aiff", aiff_stating(10000000));
    const ToolRun top = kvrtool("convert -f " + dir.path("top.aiff") + " -o " + dir.path("top.kvr"));
    EXPECT_NE(top.out.find("Rate: 10000000 Hz\n"), std::string::npos) << top.out;
    EXPECT_EQ(top.out.find("sample rate is above"), std::string::npos) << top.out;
}

TEST(KvrTool, PlaysFlacAndCsw2) {
    TempDir dir;
    dir.write("image.kvr", test_image());
    const std::string tool = KVRTOOL_EXE;
    std::string out;
    for (const char* format : {"flac", "csw2", "wav16"}) {
        const std::string name = dir.path(std::string("out.") + format);
        ASSERT_EQ(run_command(tool + " play " + dir.path("image.kvr") + " -o " + name + " --format " + format, out), 0);
        EXPECT_EQ(run_command(std::string(KELVARIN_EXE) + " " + name + " " + name + ".kvr", out), 0) << format;
    }
    EXPECT_EQ(dir.read("out.flac.kvr"), dir.read("out.wav16.kvr"));
    EXPECT_EQ(dir.read("out.csw2.kvr"), dir.read("out.wav16.kvr"));
    // A rate FLAC cannot state: a usage error, found before anything is opened, and no file.
    EXPECT_EQ(run_command(tool + " play " + dir.path("image.kvr") + " -o " + dir.path("fast.flac") +
                              " --format flac --rate 1000000 2>&1",
                          out),
              2);
    EXPECT_NE(out.find("sample rate"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir.path("fast.flac")));
}

}  // namespace
}  // namespace kvr::test
