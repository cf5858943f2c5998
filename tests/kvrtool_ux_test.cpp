// kvrtool for people and scripts: outputs never replaced unasked, a verdict a script can
// read, errors on standard error, play's format by the output's name, several recordings in
// one run, and the README's examples as the programs print them.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "core/console.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

const std::string kTool = KVRTOOL_EXE;
const std::string kGameCsw = std::string(EXAMPLES_DIR) + "/game.csw";
const std::string kGameKvr = std::string(EXAMPLES_DIR) + "/game.kvr";

std::string text_of(const ByteVec& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string sh(const std::string& command, int& status) {
    std::string out;
    status = run_command(command, out);
    return out;
}

// A header that announces 258 bytes, and a data block of 42 that checks out.
ByteVec short_data_image() {
    return ImageBuilder{}
        .standard(rom_header("GAME", 0, 256), 1000)
        .standard(with_checksum(0xFF, pattern_bytes(40, 3)), 1000)
        .bytes();
}

TEST(KvrToolUx, OutputsAreNeverReplacedUnasked) {
    TempDir dir;
    dir.write("keep.kvr", {'o', 'l', 'd'});
    dir.write("tape.wav", {'w', 'a', 'v'});
    const std::string keep = dir.path("keep.kvr");
    ToolRun r = kvrtool("convert " + kGameCsw + " -o " + keep);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("exists; give -f (--force)"), std::string::npos) << r.out;
    EXPECT_EQ(text_of(dir.read("keep.kvr")), "old");
    // A sound file's name is refused even with -f, and the recording is untouched.
    r = kvrtool("convert " + kGameCsw + " -f -o " + dir.path("tape.wav"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("is a sound file's name"), std::string::npos) << r.out;
    EXPECT_EQ(text_of(dir.read("tape.wav")), "wav");
    EXPECT_EQ(kvrtool("convert " + kGameCsw + " -f -o " + keep).status, 0);
    const std::string kept = text_of(dir.read("keep.kvr"));
    std::ifstream example(kGameKvr, std::ios::binary);
    EXPECT_EQ(kept, std::string(std::istreambuf_iterator<char>(example), {}));
}

TEST(KvrToolUx, TheProgressLineIsClearedBeforeAnyText) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out != nullptr && err != nullptr);
    {
        Console console(out, err);
        console.progress("Converting ...  99 %");
        console.progress("Converting ... 100 %");
        console.print("line\n");
        console.warn("warning\n");
        console.flush();
    }
    auto contents = [](std::FILE* f) {
        std::rewind(f);
        std::string s;
        for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
        std::fclose(f);
        return s;
    };
    EXPECT_EQ(contents(out), "line\n");
    const std::string blank(20, ' ');
    EXPECT_EQ(contents(err), "\rConverting ...  99 %\rConverting ... 100 %\r" + blank + "\rwarning\n");
}

TEST(KvrToolUx, TheVerdictTellsOfShortBlocksAndFilesCutShort) {
    TempDir dir;
    dir.write("short.wav", render(short_data_image()));
    ToolRun r = kvrtool("convert " + dir.path("short.wav") + " -o " + dir.path("s.kvr"));
    EXPECT_EQ(r.status, 3) << r.out;
    const std::size_t line = r.out.find("F-FF B8 L-   42 C*");
    const std::size_t note = r.out.find("\n Length: expected 258 bytes (header GAME), read 42\n");
    EXPECT_TRUE(line != std::string::npos && note != std::string::npos && line < note) << r.out;
    EXPECT_NE(r.out.find("still bad: 1, probable noise: 0"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::exists(dir.path("s.kvr")));

    // The clean recording cut in the middle of its data block.
    ByteVec wav = render(ImageBuilder{}.standard(rom_header("GAME", 0, 256), 1000)
                             .standard(with_checksum(0xFF, pattern_bytes(256, 4)), 1000)
                             .bytes());
    wav.resize(wav.size() * 3 / 4);
    dir.write("cut.wav", wav);
    r = kvrtool("convert " + dir.path("cut.wav") + " -o " + dir.path("c.kvr"));
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("is cut short: its header states more sound than the file holds"), std::string::npos) << r.out;
    // The classic conversion keeps its statuses.
    EXPECT_EQ(kvrtool("convert --exact " + dir.path("short.wav") + " -f -o " + dir.path("s.kvr")).status, 0);
}

TEST(KvrToolUx, JsonOfConvertAndList) {
    TempDir dir;
    ToolRun r = kvrtool("convert --json " + kGameCsw + " -o " + dir.path("g.kvr"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Vornak"), std::string::npos) << r.out;  // no report mixed in
    EXPECT_NE(r.out.find("\"header\":{\"type\":\"program\",\"name\":\"GAME\"}"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"announced\":258,\"announced_by\":\"GAME\",\"checksum\":\"good\",\"verdict\":\"good\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"summary\":{\"blocks\":2,\"good\":2,\"recovered\":0,\"still_bad\":0,\"probable_noise\":0"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"share_in_blocks\":"), std::string::npos) << r.out;
    int status = 0;
    const std::string list = sh(kTool + " list --json " + kGameKvr + " 2>&1", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(list.find("\"length\":19,\"flag\":0,\"checksum\":\"good\",\"header\":{\"type\":\"program\",\"name\":\"GAME\"}"),
              std::string::npos)
        << list;
    EXPECT_TRUE(list.ends_with("\"total\":{\"blocks\":2,\"seconds\":9.593}}\n")) << list;
}

TEST(KvrToolUx, ErrorsGoToStandardErrorAndNameTheFile) {
    TempDir dir;
    int status = 0;
    std::string out = sh(kTool + " convert " + dir.path("nosuch.wav") + " 2>/dev/null", status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out.find("Error"), std::string::npos) << out;
    dir.write("notes.txt", {'h', 'e', 'l', 'l', 'o', '\n'});
    const std::pair<std::string, std::string> inputs[] = {{kGameKvr, "is a KVR tape image, not a recording"},
                                                          {dir.path("notes.txt"), "is a text file, not a recording"}};
    for (const auto& [input, message] : inputs) {
        const std::string err = sh(kTool + " convert " + input + " -o " + dir.path("x.kvr") + " 2>&1 >/dev/null", status);
        EXPECT_EQ(status, 1) << input;
        EXPECT_NE(err.find(message), std::string::npos) << err;
        EXPECT_FALSE(std::filesystem::exists(dir.path("x.kvr")));
    }
    const std::string err = sh(kTool + " convert " + kGameCsw + " --loder rom 2>&1 >/dev/null", status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(err,
              "kvrtool: unknown option --loder (did you mean --loader?)\n"
              "Usage: kvrtool convert INPUT... [-o OUTPUT | -d DIR] [options]\n"
              "Run 'kvrtool convert --help' for more.\n");
}

TEST(KvrToolUx, PlayTakesTheFormatOfTheOutputsName) {
    TempDir dir;
    int status = 0;
    sh(kTool + " play " + kGameKvr + " -o " + dir.path("back.flac"), status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text_of(dir.read("back.flac")).substr(0, 4), "fLaC");
    // "-" is the standard output: into a file the same bytes as by name, into a pipe a CSW.
    sh(kTool + " play " + kGameKvr + " -o " + dir.path("named.wav"), status);
    sh(kTool + " play " + kGameKvr + " -o - > " + dir.path("piped.wav"), status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(dir.read("piped.wav"), dir.read("named.wav"));
    sh(kTool + " play " + kGameKvr + " --format csw -o - | cat > " + dir.path("p.csw"), status);
    EXPECT_EQ(text_of(dir.read("p.csw")).substr(0, 22), "Compressed Square Wave");
    // A WAV longer than a pipe can hold for its header says what to give instead.
    sh("{ " + kTool + " play " + kGameKvr + " -o - 2>" + dir.path("err") + "; echo $? >" + dir.path("status") +
           "; } | wc -c >/dev/null",
       status);
    EXPECT_EQ(text_of(dir.read("status")), "1\n");
    EXPECT_NE(text_of(dir.read("err")).find("give --format voc16 or csw"), std::string::npos) << text_of(dir.read("err"));
}

TEST(KvrToolUx, SeveralRecordingsInOneRun) {
    TempDir dir;
    std::filesystem::create_directory(dir.path("in"));
    std::filesystem::create_directory(dir.path("out"));
    std::filesystem::copy_file(kGameCsw, dir.path("in/a.csw"));
    dir.write("in/b.wav", render(short_data_image()));
    ToolRun r = kvrtool("convert " + dir.path("in/a.csw") + " " + dir.path("in/b.wav") + " -d " + dir.path("out"));
    EXPECT_EQ(r.status, 3) << r.out;  // b's block is short
    EXPECT_NE(r.out.find("a.csw -> " + dir.path("out/a.kvr") + ": Blocks: 2, good checksums: 2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Total: 2 recordings, 0 without an image; Blocks: 4, good checksums: 3"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::exists(dir.path("out/a.kvr")) && std::filesystem::exists(dir.path("out/b.kvr")));
    // Without -o or -d each goes beside its recording.
    r = kvrtool("convert " + dir.path("in/a.csw") + " " + dir.path("in/b.wav"));
    EXPECT_TRUE(std::filesystem::exists(dir.path("in/a.kvr")) && std::filesystem::exists(dir.path("in/b.kvr"))) << r.out;
    // With -o they are merged into it (the merge's own tests are elsewhere).
    r = kvrtool("convert " + dir.path("in/a.csw") + " " + dir.path("in/b.wav") + " --partial -o " + dir.path("m.kvr"));
    EXPECT_NE(r.out.find("Merged: "), std::string::npos) << r.out;
}

TEST(KvrToolUx, ReportWritesNoImageLine) {
    TempDir dir;
    const ToolRun r = kvrtool("report " + kGameCsw + " -o " + dir.path("g.html"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Creating"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" P:GAME "), std::string::npos) << r.out;
}

TEST(KvrToolUx, TheReadmesExamplesAreTheRealOutput) {
    std::ifstream in(std::string(SOURCE_DIR) + "/README.md");
    std::stringstream readme;
    readme << in.rdbuf();
    TempDir dir;
    int status = 0;
    auto indented = [](const std::string& text) {
        std::string s, line;
        std::istringstream lines(text);
        while (std::getline(lines, line)) s += "    " + line + "\n";
        return s;
    };
    const std::string list = sh(kTool + " list " + kGameKvr, status);
    EXPECT_NE(readme.str().find(indented(list)), std::string::npos) << list;
    const ToolRun r = kvrtool("convert " + kGameCsw + " -o " + dir.path("g.kvr"));
    const std::string summary = r.out.substr(r.out.rfind("Blocks: "));
    EXPECT_NE(readme.str().find(indented(summary)), std::string::npos) << summary;
    std::string classic;
    run_command(std::string(KELVARIN_EXE) + " " + kGameCsw + " " + dir.path("k.kvr"), classic);
    const std::string block_lines = classic.substr(classic.find(" P:GAME"));
    EXPECT_NE(readme.str().find(indented(block_lines)), std::string::npos) << block_lines;
}

}  // namespace
}  // namespace kvr::test
