// kvrtool's care with files and options: nothing it did not create is removed, every option
// is checked before anything is opened, names are listed without control codes, and images
// are read one block at a time.
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tool/convert_options.hpp"
#include "tool/play_options.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

const std::string kTool = KVRTOOL_EXE;

ByteVec short_image() {
    return ImageBuilder{}.turbo(2168, 667, 735, 855, 1710, 100, 8, 10, with_checksum(0xFF, {1, 2})).bytes();
}

std::string entries(const TempDir& dir) {
    std::string out;
    run_command("ls -A " + dir.path(""), out);
    return out;
}

int play(const std::string& arguments, std::string& text) {
    return run_command(kTool + " play " + arguments + " 2>&1", text);
}

TEST(KvrToolFiles, OnlyWhatItCreatesIsEverRemoved) {
    TempDir dir;
    dir.write("g.kvr", short_image());
    dir.write("broken.kvr", {'V', 'o', 'r', 'n', 'a', 'k', '!', 0x1A, 1, 10, 0x10, 0});
    const ByteVec old{'o', 'l', 'd'};
    dir.write("keep.wav", old);
    ASSERT_EQ(::chmod(dir.path("keep.wav").c_str(), 0640), 0);
    const std::string image = dir.path("g.kvr"), keep = dir.path("keep.wav");
    std::string text;
    // Option errors, found before anything is opened.
    EXPECT_EQ(play(image + " -o " + keep + " --format csw --rate 100000", text), 2);
    EXPECT_EQ(play(image + " -o " + keep + " --rate nan", text), 2);
    // A broken image, read whole before the output is opened.
    EXPECT_EQ(play(dir.path("broken.kvr") + " -o " + keep, text), 1);
    EXPECT_NE(text.find("block runs past the end of the file at offset 10"), std::string::npos) << text;
    // Writes that fail.
    EXPECT_EQ(run_command("ulimit -f 1; " + kTool + " play " + image + " -o " + keep + " --rate 1000000 2>&1", text), 1);
    EXPECT_NE(text.find("cannot write " + keep), std::string::npos) << text;
    EXPECT_EQ(dir.read("keep.wav"), old);
    EXPECT_EQ(entries(dir), "broken.kvr\ng.kvr\nkeep.wav\n");
    // Its own input, also through a link.
    ASSERT_EQ(::symlink(image.c_str(), dir.path("link.wav").c_str()), 0);
    for (const std::string& output : {image, dir.path("link.wav")}) {
        EXPECT_EQ(play(image + " -o " + output, text), 1);
        EXPECT_EQ(text, "kvrtool: the output " + output + " is the image itself\n");
    }
    EXPECT_EQ(dir.read("g.kvr"), short_image());
    // A rendering that succeeds replaces the file and keeps its permissions.
    EXPECT_EQ(play(image + " -o " + keep, text), 0) << text;
    EXPECT_EQ(dir.read("keep.wav"), render(short_image()));
    struct stat st {};
    ASSERT_EQ(::stat(keep.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(KvrToolFiles, DevicesAndPipesStay) {
    TempDir dir;
    dir.write("g.kvr", short_image());
    const std::string image = dir.path("g.kvr");
    ASSERT_EQ(::mkfifo(dir.path("pipe").c_str(), 0644), 0);
    std::string text;
    EXPECT_EQ(play(image + " -o " + dir.path("pipe") + " --format csw --rate 100000", text), 2);
    // Device nodes of their own where root may make them; the real ones otherwise, which a
    // user could not remove anyway.
    std::string null_device = "/dev/null", full_device = "/dev/full";
    if (running_as_root()) {
        null_device = dir.path("null"), full_device = dir.path("full");
        ASSERT_EQ(::mknod(null_device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        ASSERT_EQ(::mknod(full_device.c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
    }
    EXPECT_EQ(play(image + " -o " + null_device + " --format csw --rate 100000", text), 2);
    EXPECT_EQ(play(image + " -o " + null_device + " --format wav8", text), 0) << text;
    EXPECT_EQ(play(image + " -o " + full_device, text), 1);
    EXPECT_NE(text.find("cannot write " + full_device), std::string::npos) << text;
    struct stat st {};
    EXPECT_TRUE(::stat(dir.path("pipe").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(::stat(null_device.c_str(), &st) == 0 && S_ISCHR(st.st_mode));
    EXPECT_TRUE(::stat(full_device.c_str(), &st) == 0 && S_ISCHR(st.st_mode));
    // A pipe with a reader takes the recording.
    EXPECT_EQ(run_command("cat " + dir.path("pipe") + " > " + dir.path("got.wav") + " & " + kTool + " play " + image +
                              " -o " + dir.path("pipe") + "; s=$?; wait; exit $s",
                          text),
              0);
    EXPECT_EQ(dir.read("got.wav"), render(short_image()));
}

TEST(KvrToolOptions, EveryNumberIsFiniteAndInRange) {
    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{"--rate", "nan"}, "--rate needs a whole number from 1 to 10000000, not 'nan'"},
        {{"--rate", "0"}, "--rate needs"},
        {{"--rate", "10000001"}, "--rate needs"},
        {{"--rate", "44100.5"}, "--rate needs"},
        {{"--rate", "inf"}, "--rate needs"},
        {{"--seed", "-1"}, "--seed needs a whole number from 0 to 18446744073709551615, not '-1'"},
        {{"--seed", "1e30"}, "--seed needs"},
        {{"--seed", "nan"}, "--seed needs"},
        {{"--seed", "18446744073709551616"}, "--seed needs"},
        {{"--seed", ""}, "--seed needs"},
        {{"--amplitude", "nan"}, "--amplitude needs a number from -1 to 1, not 'nan'"},
        {{"--amplitude", "1.5"}, "--amplitude needs"},
        {{"--dc-offset", "nan"}, "--dc-offset needs a number from -1 to 1, not 'nan'"},
        {{"--dc-offset", "-inf"}, "--dc-offset needs"},
        {{"--noise", "-0.1"}, "--noise needs a number from 0 to 1"},
        {{"--jitter", "1e300"}, "--jitter needs a number from 0 to 50, not '1e300'"},
        {{"--jitter", "nan"}, "--jitter needs"},
        {{"--lowpass", "-1"}, "--lowpass needs a number from 0 to 10000000"},
        {{"--lowpass", "1e400"}, "--lowpass needs"},
        {{"--format", "mp3"}, "--format needs one of wav8 wav16 wav8s wav16s wav24 wavf32 csw voc8 voc16 csw2 flac, not 'mp3'"},
        {{"--rate", "100000", "--format", "csw"}, "a CSW file cannot state a rate above 65535 Hz"},
        {{"--bogus", "1"}, "unknown option --bogus"},
        {{"--rate"}, "--rate needs a whole number from 1 to 10000000"},
        {{"-o", ""}, "-o needs a file name"},
        {{"second.kvr"}, "play takes one image"},
    };
    for (const auto& [options, message] : bad) {
        std::vector<std::string> args{"g.kvr", "-o", "out.wav"};
        args.insert(args.end(), options.begin(), options.end());
        PlayRequest request;
        std::string error;
        EXPECT_FALSE(parse_play_arguments(args, request, error)) << options[0];
        EXPECT_EQ(error.rfind(message, 0), 0u) << error;
    }
    PlayRequest request;
    std::string error;
    const std::vector<std::string> good{"g.kvr", "--output", "o.voc", "--rate", "4.41e4", "--seed", "18446744073709551615",
                                        "--amplitude", "-1", "--dc-offset", "0.25", "--noise", "1", "--jitter", "50",
                                        "--lowpass", "0", "--format", "voc8"};
    ASSERT_TRUE(parse_play_arguments(good, request, error)) << error;
    EXPECT_EQ(request.image, "g.kvr");
    EXPECT_EQ(request.output, "o.voc");
    EXPECT_EQ(request.options.rate, 44100u);
    EXPECT_EQ(request.options.seed, UINT64_MAX);
    EXPECT_EQ(request.options.amplitude, -1.0);
    EXPECT_EQ(request.options.format, SampleFormat::voc8);
    // Rendering refuses what the options would have refused.
    RenderOptions nan_amplitude;
    nan_amplitude.amplitude = std::nan("");
    EXPECT_FALSE(check_render_options(nan_amplitude, error));
    MemorySink sink;
    EXPECT_FALSE(render_tape_image(TapeImage{}, nan_amplitude, sink, error));
    EXPECT_TRUE(sink.bytes.empty());
}

TEST(KvrToolOptions, ConvertTakesOnlyValuesThatMeanSomething) {
    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{"--skip", "-1"}, "--skip needs a whole number from 0 to 65534, not '-1'"},
        {{"--skip", "65535"}, "--skip needs"},
        {{"--force-pilot", "-1"}, "--force-pilot needs a whole number from 0 to 65535, not '-1'"},
        {{"--force-pilot", "65536"}, "--force-pilot needs"},
        {{"--end", "-5"}, "--end needs a whole number from 1 to 100, not '-5'"},
        {{"--end", "0"}, "--end needs"},
        {{"--end", "101"}, "--end needs"},
        {{"--max-pilot-diff", "1x"}, "--max-pilot-diff needs a whole number, not '1x'"},
        {{"--loader", "speedlock1:99"}, "--loader needs one of rom (default), bleep, speedlock1:V, speedlock2, "
                                        "speedlock3:V, speedlock4 or di, not 'speedlock1:99'"},
        {{"--loader", "speedlock3:-1"}, "--loader needs"},
        {{"--loader", "speedlock1:3"}, "--loader needs"},
        {{"-o", ""}, "-o needs a file name"},
        {{"--output", ""}, "--output needs a file name"},
    };
    for (const char* command : {"convert", "report"}) {
        for (const auto& [options, message] : bad) {
            std::vector<std::string> args{"tape.wav"};
            args.insert(args.end(), options.begin(), options.end());
            ConvertRequest request;
            std::string error;
            EXPECT_FALSE(parse_convert_arguments(command, args, request, error)) << options[0] << " " << options[1];
            EXPECT_EQ(error.rfind(message, 0), 0u) << error;
        }
    }
    // The ends of each range, as kelvarin's switches.
    const std::vector<std::string> good{"tape.wav", "--skip", "0", "--force-pilot", "65535", "--end", "100",
                                        "--loader", "speedlock1:2", "--skip", "65534", "--end", "1", "-o", "x"};
    ConvertRequest request;
    std::string error;
    ASSERT_TRUE(parse_convert_arguments("convert", good, request, error)) << error;
    const Settings& s = request.settings;
    EXPECT_EQ(speedlock_settings(s).skip, 65534);
    EXPECT_EQ(speedlock_settings(s).type, 1);
    EXPECT_EQ(speedlock_settings(s).variant, 2);
    EXPECT_TRUE(s.force_pilot);
    EXPECT_EQ(s.forced_pilot_hps, 65535);
    EXPECT_TRUE(s.end_given);
    EXPECT_EQ(s.end_threshold_pct, 1);
    EXPECT_EQ(request.output, "x");
    // On the command line: a usage error, and nothing written.
    TempDir dir;
    dir.write("g.wav", render(short_image()));
    std::string text;
    EXPECT_EQ(run_command(kTool + " convert " + dir.path("g.wav") + " -o '' 2>&1", text), 2);
    EXPECT_NE(text.find("kvrtool: -o needs a file name\n"), std::string::npos) << text;
    EXPECT_EQ(entries(dir), "g.wav\n");
}

TEST(KvrToolFiles, AnOutputThatCannotBeCreatedSaysWhy) {
    TempDir dir;
    dir.write("g.kvr", short_image());
    dir.write("file", {1});
    const std::string game = std::string(EXAMPLES_DIR) + "/game.csw";
    const std::string missing = dir.path("no/such.wav"), below_a_file = dir.path("file/x.kvr");
    const std::string too_long = dir.path(std::string(300, 'n') + ".html");
    const std::pair<std::string, std::string> cases[] = {
        {"play " + dir.path("g.kvr") + " -o " + missing, "kvrtool: cannot create " + missing + ": No such file or directory\n"},
        {"convert " + game + " -o " + below_a_file, "kvrtool: cannot create " + below_a_file + ": Not a directory\n"},
        {"report " + game + " -o " + too_long, "kvrtool: cannot create " + too_long + ": File name too long\n"},
    };
    for (const auto& [command, message] : cases) {
        const ToolRun r = kvrtool(command);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
    }
    EXPECT_EQ(entries(dir), "file\ng.kvr\n");
}

TEST(KvrToolOptions, UsageErrorsWriteNothingAndEmptyImagesPlay) {
    TempDir dir;
    dir.write("g.kvr", short_image());
    dir.write("empty.kvr", ImageBuilder{}.bytes());
    std::string text;
    for (const char* option : {"--seed -1", "--jitter 1e300", "--rate nan", "--amplitude nan"}) {
        EXPECT_EQ(play(dir.path("g.kvr") + " -o " + dir.path("out.wav") + " " + option, text), 2) << option;
        EXPECT_EQ(text.rfind("kvrtool: " + std::string(option).substr(0, std::string(option).find(' ')) + " needs", 0), 0u)
            << text;
        EXPECT_NE(text.find("Usage: kvrtool play"), std::string::npos);
    }
    EXPECT_EQ(entries(dir), "empty.kvr\ng.kvr\n");
    // A header without blocks plays as a recording without samples.
    EXPECT_EQ(play(dir.path("empty.kvr") + " -o " + dir.path("out.wav"), text), 0) << text;
    EXPECT_EQ(dir.read("out.wav").size(), 44u);
    for (const char* format : {"wav8", "csw", "voc8", "voc16"})
        EXPECT_EQ(play(dir.path("empty.kvr") + " -o " + dir.path("out") + " --format " + format, text), 0) << format;
}

TEST(KvrToolFiles, AReportThatCannotBeWrittenIsAFailure) {
    TempDir dir;
    dir.write("g.kvr", short_image());
    const std::string game = std::string(EXAMPLES_DIR) + "/game.csw";
    for (const std::string& command :
         {"convert " + game + " -o " + dir.path("c.kvr"), "convert --exact " + game + " -o " + dir.path("e.kvr"),
          "report " + game + " -o " + dir.path("r.html"), "report --exact " + game + " -o " + dir.path("x.html"),
          "list " + dir.path("g.kvr"), std::string("convert --help"), std::string("--help"),
          std::string("--version")}) {
        std::string text;
        const std::string errors = dir.path("errors");
        EXPECT_EQ(run_command(kTool + " " + command + " >/dev/full 2>" + errors, text), 1) << command;
        const ByteVec said = dir.read("errors");
        EXPECT_NE(std::string(said.begin(), said.end()).find("kvrtool: cannot write the standard output\n"),
                  std::string::npos)
            << command;
    }
    // Nothing to say is no failure: play writes its recording, and nothing on standard output.
    std::string text;
    EXPECT_EQ(run_command(kTool + " play " + dir.path("g.kvr") + " -o " + dir.path("g.wav") + " >/dev/full", text), 0);
}

TEST(KvrToolList, ControlCharactersAreEscaped) {
    TempDir dir;
    dir.write("names.kvr", ImageBuilder{}
                               .group_start("A\x1B[2J\x07 \"q\" \\ \xFF\x7F")
                               .group_end()
                               .group_start(std::string("nul\0end", 7))
                               .bytes());
    std::string out;
    ASSERT_EQ(run_command(kTool + " list " + dir.path("names.kvr"), out), 0);
    EXPECT_NE(out.find("group start     \"A\\x1B[2J\\x07 \\\"q\\\" \\\\ \\xFF\\x7F\"\n"), std::string::npos) << out;
    EXPECT_NE(out.find("group start     \"nul\\x00end\"\n"), std::string::npos) << out;
    for (char c : out) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << static_cast<int>(c);
}

// An image of n standard blocks of one byte each.
ByteVec one_byte_blocks(std::size_t n) {
    ByteVec image = ImageBuilder{}.bytes();
    for (std::size_t i = 0; i < n; ++i) image.insert(image.end(), {0x10, 0, 0, 1, 0, static_cast<std::uint8_t>(i)});
    return image;
}

TEST(KvrToolList, ImagesAreReadOneBlockAtATime) {
    // The reader holds one read's worth, or the largest block, never the image.
    const ByteVec many = one_byte_blocks(100000);
    MemoryImageSource source(many);
    TapeReader reader(source, false);
    TapeBlock block;
    std::size_t blocks = 0;
    while (reader.next(block)) ++blocks;
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(blocks, 100000u);
    EXPECT_LE(reader.buffer_capacity(), std::size_t{1} << 16);
    ImageBuilder large;
    large.turbo(2168, 667, 735, 855, 1710, 100, 8, 0, ByteVec(3u << 20, 0x55)).tone(2168, 10);
    MemoryImageSource large_source(large.bytes());
    TapeReader large_reader(large_source, false);
    ASSERT_TRUE(large_reader.next(block));
    EXPECT_EQ(block.data.size(), 3u << 20);
    ASSERT_TRUE(large_reader.next(block));
    EXPECT_EQ(block.tone_count, 10);
    EXPECT_LE(large_reader.buffer_capacity(), std::size_t{1} << 16);  // the data went straight into the block
    // A length that the image cannot back sizes nothing.
    ByteVec claims = ImageBuilder{}.bytes();
    claims.insert(claims.end(), {0x14, 0, 0, 0, 0, 8, 0, 0, 0xFF, 0xFF, 0xFF, 1, 2, 3});
    MemoryImageSource claims_source(claims);
    TapeReader claims_reader(claims_source, false);
    TapeBlock fresh;
    EXPECT_FALSE(claims_reader.next(fresh));
    EXPECT_EQ(claims_reader.error(), "block runs past the end of the file at offset 10 (0xA)");
    EXPECT_LT(fresh.data.capacity(), 1024u);

    // The program lists a large image of small blocks in little memory: 64 MiB of address
    // space hold it, where the blocks held whole needed well over 100 MiB.
    TempDir dir;
    dir.write("many.kvr", one_byte_blocks(350000));
    std::string limit = "ulimit -v 65536; ";
#if defined(__SANITIZE_ADDRESS__)
    limit.clear();  // the sanitizer's shadow memory alone takes more address space
#endif
    std::string out;
    EXPECT_EQ(run_command(limit + kTool + " list " + dir.path("many.kvr") + " > " + dir.path("list.txt"), out), 0);
    const ByteVec listing = dir.read("list.txt");
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 350002);
}

}  // namespace
}  // namespace kvr::test
