// The command line: switches, file names, the usage text, errors and exit statuses.
#include <filesystem>
#include <iterator>

#include <gtest/gtest.h>

#include "kelvarin/run.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

const std::string kBanner = "\nVornak Utilities - VOC/CSW/WAV to KVR Converter - Build 13/10/2002\n";

struct ProgramRun {
    int status;
    std::string text;
    Settings settings;
};

ProgramRun run(std::vector<std::string> args) {
    auto cx = std::make_unique<Context>();
    ProgramRun r;
    r.status = run_program(*cx, args);
    r.text = cx->console.text();
    r.settings = cx->settings;
    return r;
}

TEST(CommandLine, NoArgumentsPrintsBannerAndUsage) {
    ProgramRun r = run({});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.text.rfind(kBanner, 0), 0u);
    EXPECT_NE(r.text.find("\nUsage: KELVARIN [switches] [INPUT.VOC | INPUT.WAV | INPUT.CSW] [OUTPUT.KVR | OUTPUT.TAP]\n"
                          "       Switches:  /tap      Create a .TAP file instead of .KVR\n"),
              std::string::npos);
    EXPECT_NE(r.text.find("                  /maxp  n  In % - Max. Treshold between Two HPs of Pilot\n"),
              std::string::npos);
    EXPECT_TRUE(r.text.ends_with("                  /diload   Use Digital Integration Loader algorithm\n"));
    EXPECT_EQ(std::count(r.text.begin(), r.text.end(), '\n'), 21);  // banner 2, usage 19
}

TEST(CommandLine, HelpAndVersionOnlyAsTheSoleArgument) {
    const std::string usage = run({}).text;
    for (const char* help : {"--help", "-h"}) {
        ProgramRun r = run({help});
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_EQ(r.text, usage) << help;
    }
    ProgramRun version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.text.starts_with("kelvarin 1.")) << version.text;  // no banner before it
    EXPECT_NE(version.text.find("MIT License"), std::string::npos);
    // Anywhere else they are file names, as they always were.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--help", "a.wav"}, "Cannot open input file --help !"},
        {{"/tap", "-h"}, "Cannot open input file -h !"},
        {{"a.wav", "--version"}, "Cannot open input file a.wav !"},
        {{"--HELP"}, "Cannot open input file --HELP !"},
        {{"/help"}, "Invalid Option /help !"},
    };
    for (const auto& [args, message] : cases) {
        ProgramRun r = run(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.text, kBanner + "\n-- Error: " + message + "\n");
    }
}

TEST(CommandLine, BadSwitchesAndFileCountsAreFatal) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"/foo"}, "Invalid Option /foo !"},
        {{"/TAP", "a.wav"}, "Invalid Option /TAP !"},
        {{"/taps", "a.wav"}, "Invalid Option /taps !"},
        {{"/tap", "/rom"}, "No Files specified !"},
        {{"a", "b", "c", "/foo"}, "Too Many files on command line!"},
        {{"a.wav", "/diff"}, "Invalid Option /diff !"},
        {{"/diff", "abc", "a.wav"}, "Invalid Option /diff abc !"},
        {{"/pilot", "-", "a.wav"}, "Invalid Option /pilot - !"},
        // A value switch takes the next argument whatever it looks like.
        {{"/force", "/tap", "a.wav"}, "Invalid Option /force /tap !"},
    };
    for (const auto& [args, message] : cases) {
        ProgramRun r = run(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.text, kBanner + "\n-- Error: " + message + "\n");
    }
}

TEST(CommandLine, SwitchesFillTheSettings) {
    auto cx = std::make_unique<Context>();
    std::vector<std::string> args{"/diff", "30", "in.wav", "/end", " -7x", "/slock3", "2", "/pilot", "300",
                                  "/force", "3000", "/noaprox", "/bleep", "/sync", "/middle", "/alter"};
    ASSERT_EQ(parse_command_line(*cx, args), ParseOutcome::run);
    const Settings& s = cx->settings;
    EXPECT_EQ(s.bit_difference_pct, 30);
    EXPECT_EQ(s.input_name, "in.wav");
    EXPECT_EQ(s.output_name, "in.kvr");
    EXPECT_TRUE(s.end_given);
    EXPECT_EQ(s.end_threshold_pct, -7);
    EXPECT_EQ(speedlock_settings(s).type, 3);
    EXPECT_EQ(speedlock_settings(s).variant, 2);
    EXPECT_EQ(s.min_pilot_hps, 300);  // "/pilot" after "/slock3" wins
    EXPECT_TRUE(s.force_pilot);
    EXPECT_EQ(s.forced_pilot_hps, 3000);
    EXPECT_FALSE(s.approximate_bit1);
    EXPECT_TRUE(bleepload(s) && s.force_sync && s.middle_value && s.alternative_bits);
    EXPECT_FALSE(s.tap_output);
}

TEST(CommandLine, LaterSwitchesOverrideEarlierOnes) {
    auto cx = std::make_unique<Context>();
    std::vector<std::string> args{"/pilot", "300", "/slock3", "1", "/pilot", "+20", "x.csw", "/slskip", "99999999999"};
    ASSERT_EQ(parse_command_line(*cx, args), ParseOutcome::run);
    EXPECT_EQ(cx->settings.min_pilot_hps, 20);
    EXPECT_EQ(speedlock_settings(cx->settings).skip, INT32_MAX);

    auto other = std::make_unique<Context>();
    std::vector<std::string> reversed{"/pilot", "300", "/slock3", "1", "x.csw"};
    ASSERT_EQ(parse_command_line(*other, reversed), ParseOutcome::run);
    EXPECT_EQ(other->settings.min_pilot_hps, 1400);
}

TEST(CommandLine, AbsolutePathsAreFileNames) {
    auto cx = std::make_unique<Context>();
    std::vector<std::string> args{"/tap", "/tmp/in.voc", "/tmp/out.kvr"};
    ASSERT_EQ(parse_command_line(*cx, args), ParseOutcome::run);
    EXPECT_TRUE(cx->settings.tap_output);
    EXPECT_EQ(cx->settings.input_name, "/tmp/in.voc");
    EXPECT_EQ(cx->settings.output_name, "/tmp/out.kvr");  // an explicit name is never changed
}

TEST(CommandLine, DerivedOutputNames) {
    EXPECT_EQ(derive_output_name("SONG.VOC", false), "SONG.kvr");
    EXPECT_EQ(derive_output_name("SONG.VOC", true), "SONG.tap");
    EXPECT_EQ(derive_output_name("a.b.wav", false), "a.b.kvr");
    EXPECT_EQ(derive_output_name("dir.v1/tape", false), "dir.v1/tape.kvr");
    EXPECT_EQ(derive_output_name("tape", true), "tape.tap");
    EXPECT_EQ(derive_output_name("dir/.hidden", false), "dir/.kvr");
    EXPECT_EQ(derive_output_name(std::string(600, 'x') + ".wav", false), std::string(600, 'x') + ".kvr");
}

TEST(CommandLine, InputThatCannotBeOpened) {
    TempDir dir;
    for (const std::string& name : {dir.path("missing.wav"), dir.path("")}) {
        ProgramRun r = run({name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.text, kBanner + "\n-- Error: Cannot open input file " + name + " !\n");
    }
}

TEST(CommandLine, NeverReplacesTheRecordingItself) {
    TempDir dir;
    const std::string input = std::string(EXAMPLES_DIR) + "/game.csw";
    std::string out;
    ASSERT_EQ(run_command("cp " + input + " " + dir.path("tape.csw") + " && ln -s tape.csw " + dir.path("link.kvr"), out), 0);
    ProgramRun r = run({dir.path("tape.csw"), dir.path("link.kvr")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.text, kBanner + "\n-- Error: The output file " + dir.path("link.kvr") + " is the input file!\n");
    EXPECT_EQ(run_command("cmp " + input + " " + dir.path("tape.csw"), out), 0);
}

TEST(CommandLine, ExitStatusFollowsTheBlocksFound) {
    TempDir dir;
    std::string out;
    const std::string exe = KELVARIN_EXE;
    EXPECT_EQ(run_command(exe + " " + EXAMPLES_DIR + "/game.csw " + dir.path("game.kvr"), out), 0);
    EXPECT_NE(out.find("P:GAME"), std::string::npos);
    dir.write("noise.csw", ByteVec{'C','o','m','p','r','e','s','s','e','d',' ','S','q','u','a','r','e',' ','W','a','v','e',
                                   0x1A, 1, 1, 0x44, 0xAC, 1, 0, 0, 0, 0, 5, 5, 9, 3});
    EXPECT_EQ(run_command(exe + " " + dir.path("noise.csw") + " 2>&1", out), 1);
    EXPECT_NE(out.find("-- Error: No blocks found... please consult the documentation!\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.path("noise.kvr")));  // nothing found, nothing written
    // An earlier image of that name, or a TAP file, stays as it was.
    dir.write("noise.kvr", ByteVec{1, 2, 3});
    EXPECT_EQ(run_command(exe + " " + dir.path("noise.csw"), out), 1);
    EXPECT_EQ(dir.read("noise.kvr"), (ByteVec{1, 2, 3}));
    EXPECT_EQ(run_command(exe + " /tap " + dir.path("noise.csw") + " " + dir.path("noise.kvr"), out), 1);
    EXPECT_EQ(dir.read("noise.kvr"), (ByteVec{1, 2, 3}));
    const auto entries = std::distance(std::filesystem::directory_iterator(dir.path(".")), {});
    EXPECT_EQ(entries, 3);  // the example image, the recording and the old image: no temporary file
}

TEST(CommandLine, OutputThatCannotBeCreated) {
    TempDir dir;
    std::string out;
    const std::string exe = KELVARIN_EXE;
    const std::string target = dir.path("no/such/dir/out.kvr");
    EXPECT_EQ(run_command(exe + " " + EXAMPLES_DIR + "/game.csw " + target, out), 1);
    EXPECT_NE(out.find("\n-- Error: Cannot create output file " + target + " !\n"), std::string::npos);
}

TEST(Console, HeldTextIsPlayedInItsOrderAndWhole) {
    Console held = Console::holding();
    held.print("report %d\n", 1);
    held.warn("warning %s\n", "a");
    held.print("%c%s", 0, "after a zero byte\n");
    EXPECT_EQ(held.text(), "");
    Console to;
    to.print("before\n");
    held.play_to(to);
    EXPECT_EQ(to.text(), std::string("before\nreport 1\n") + '\0' + "after a zero byte\n");
    EXPECT_EQ(to.warnings(), "warning a\n");
}

TEST(CommandLine, ALongRecordingConvertedWhileItIsReadShowsWhatLoadingFirstShows) {
    // Over 8 MB of 16-bit stereo is read in pieces while the analysis follows it; the same
    // file loaded before it is converted must give the same report, status and output.
    TempDir dir;
    const ByteVec blocks = ImageBuilder()
                               .standard(rom_header("STREAMED"), 1000)
                               .standard(with_checksum(0xFF, pattern_bytes(3000, 7)), 25000)
                               .standard(with_checksum(0xFF, pattern_bytes(200, 8)), 1000)
                               .bytes();
    const ByteVec silence = ImageBuilder().pause(25000).bytes();
    RenderOptions options;
    options.rate = 96000;
    options.format = SampleFormat::wav16s;
    dir.write("blocks.wav", render(blocks, options));
    dir.write("silence.wav", render(silence, options));
    ASSERT_GT(dir.read("silence.wav").size(), std::size_t{8} << 20);

    ConversionOptions load_first;
    load_first.read_while_converting = false;
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{dir.path("blocks.wav"), dir.path("out.kvr")}, 0},
        {{"/tap", dir.path("blocks.wav"), dir.path("out.tap")}, 0},
        {{dir.path("silence.wav"), dir.path("none.kvr")}, 1},  // no blocks: no file either
        {{dir.path("blocks.wav"), dir.path("missing/out.kvr")}, 1},
        {{dir.path("blocks.wav"), "/dev/null"}, 0},  // a device is written only once the file is read
    };
    for (const Case& c : cases) {
        const std::string& output = c.args.back();
        auto cx = std::make_unique<Context>();
        EXPECT_EQ(run_program(*cx, c.args), c.status) << output;
        const std::string streamed_text = cx->console.text();
        const bool written = output.starts_with(dir.path("")) && std::filesystem::exists(output);
        const ByteVec streamed = written ? dir.read(output.substr(dir.path("").size())) : ByteVec{};
        if (written) std::filesystem::remove(output);

        cx = std::make_unique<Context>();
        EXPECT_EQ(run_program(*cx, c.args, load_first), c.status) << output;
        EXPECT_EQ(streamed_text, cx->console.text()) << output;
        EXPECT_EQ(written, output.starts_with(dir.path("")) && std::filesystem::exists(output)) << output;
        if (written) {
            EXPECT_TRUE(streamed == dir.read(output.substr(dir.path("").size()))) << output;
        }
    }
}

}  // namespace
}  // namespace kvr::test
