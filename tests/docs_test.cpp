// The documents agree with the programs: every switch, command and option that the programs'
// help lists is in the manual pages, the README and the shell completion, and every one that
// these name exists. The options are taken from the programs' own help, so that a new option
// without its documentation, or documentation of an option that went away, fails here.
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kvr::test {
namespace {

using Names = std::set<std::string>;

// Commands documented before they reach kvrtool: until `kvrtool --help` lists one, its
// manual section and completion are not held against the program; once it is listed, it
// is checked like every other command.
const Names kArriving = {"report"};

// The long options of other programs, and of scripts/install-deps, that the README names.
const Names kOtherProgramsOptions = {"--build", "--install", "--prefix", "--test-dir", "--fuzz", "--bench"};

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string output_of(const std::string& command) {
    std::string out;
    EXPECT_EQ(run_command(command + " 2>&1", out), 0) << command << "\n" << out;
    return out;
}

Names matches(const std::string& text, const std::regex& pattern, int group) {
    Names found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it)
        found.insert((*it)[group].str());
    return found;
}

// Long options, and short ones standing alone ("-o", "[-o OUT]", "-o, --output").
Names options_in(const std::string& text) {
    Names found = matches(text, std::regex(R"(--[a-z][a-z0-9]*(-[a-z0-9]+)*)"), 0);
    const Names short_ones = matches(text, std::regex(R"((^|[\s\[(,`])(-[a-zA-Z])(?=[\s,\]`)]|$))"), 2);
    found.insert(short_ones.begin(), short_ones.end());
    return found;
}

Names long_options_in(const std::string& text) { return matches(text, std::regex(R"(--[a-z][a-z0-9]*(-[a-z0-9]+)*)"), 0); }

// Words like "/tap": a "/" at the start of a word, and no second "/" (that is a path).
Names switches_in(const std::string& text) {
    return matches(text, std::regex(R"((^|[\s`(|,*])(/[a-z][a-z0-9]*)(?![/\w.]))"), 2);
}

// kelvarin's switches, from its usage text; "/slockX" stands for the four Speedlock types.
Names kelvarin_switches() {
    Names found;
    const std::string usage = output_of(std::string(KELVARIN_EXE) + " --help");
    for (const std::string& s : matches(usage, std::regex(R"((^|\s)(/[a-zA-Z]+))"), 2)) {
        if (s.ends_with("X")) {
            for (char type = '1'; type <= '4'; ++type) found.insert(s.substr(0, s.size() - 1) + type);
        } else {
            found.insert(s);
        }
    }
    return found;
}

// kvrtool's commands: the first word of each line under "Commands:".
Names kvrtool_commands() {
    Names found;
    std::istringstream help(output_of(std::string(KVRTOOL_EXE) + " --help"));
    bool listing = false;
    for (std::string line; std::getline(help, line);) {
        if (line == "Commands:") listing = true;
        else if (line.empty()) listing = false;
        else if (listing && line.starts_with("  ")) found.insert(line.substr(2, line.find(' ', 2) - 2));
    }
    return found;
}

// The options a command's help lists, and --help and -h, which every command takes whether
// its help lists them or not.
Names command_options(const std::string& command) {
    Names found = options_in(output_of(std::string(KVRTOOL_EXE) + " " + command + " --help"));
    found.insert({"--help", "-h"});
    return found;
}

// A manual page as plain text: escapes for "-" and fonts undone.
std::string man_text(const std::string& page) {
    std::string text = read_text(std::string(MAN_DIR) + "/" + page);
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    return std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
}

// The body of each ".SH" section, or each ".SS" subsection, of a page, by its heading.
std::map<std::string, std::string> sections(const std::string& text, const std::string& macro) {
    std::map<std::string, std::string> found;
    std::string* body = nullptr;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(macro + " ")) {
            std::string heading = line.substr(macro.size() + 1);
            if (heading.size() > 1 && heading.front() == '"') heading = heading.substr(1, heading.size() - 2);
            body = &found[heading];
        } else if (body != nullptr) {
            *body += line + "\n";
        }
    }
    return found;
}

// What before the first ".SS" of a section stands.
std::string before_subsections(const std::string& section) { return section.substr(0, section.find("\n.SS ")); }

std::string readme() { return read_text(std::string(SOURCE_DIR) + "/README.md"); }

// The candidates that bash completion offers for a command line whose last word is `cur`.
Names completions(const std::string& program, const std::string& words) {
    TempDir empty;  // no file names to offer
    std::string out;
    const std::string script = std::string(COMPLETION_DIR) + "/" + program;
    const std::string command = "cd " + empty.path("") + " && bash -c 'source " + script + "; COMP_WORDS=(" + words +
                                "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _" + program +
                                "; printf \"%s\\n\" \"${COMPREPLY[@]}\"' 2>&1";
    EXPECT_EQ(run_command(command, out), 0) << out;
    Names found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && !std::filesystem::exists(line)) found.insert(line);  // a path is no switch
    return found;
}

void expect_all_in(const Names& names, const std::string& text, const std::string& where) {
    const Names present = options_in(text + " ");
    const Names present_switches = switches_in(text);
    for (const std::string& n : names)
        EXPECT_TRUE(present.contains(n) || present_switches.contains(n)) << n << " is not in " << where;
}

void expect_known(const Names& documented, const Names& known, const std::string& where) {
    for (const std::string& n : documented) EXPECT_TRUE(known.contains(n)) << where << " names " << n << ", which the programs do not know";
}

TEST(Docs, ManualPagesHaveTheirSectionsAndRenderCleanly) {
    for (const char* page : {"kelvarin.1", "kvrtool.1"}) {
        const auto parts = sections(man_text(page), ".SH");
        for (const char* s : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES", "FILES", "SEE ALSO"})
            EXPECT_TRUE(parts.contains(s)) << page << " has no " << s;
        ASSERT_TRUE(parts.contains("LICENSE")) << page;
        EXPECT_NE(parts.at("LICENSE").find("MIT License"), std::string::npos) << page;
        if (std::string(GROFF_EXE).empty()) continue;
        std::string out;
        EXPECT_EQ(run_command(std::string(GROFF_EXE) + " -ww -man -Tutf8 -z " + MAN_DIR + "/" + page + " 2>&1", out), 0);
        EXPECT_EQ(out, "") << page;
    }
    if (std::string(GROFF_EXE).empty()) GTEST_SKIP() << "groff not found: the pages were not rendered";
}

TEST(Docs, OneVersionEverywhere) {
    const std::string version = KELVARIN_VERSION;
    EXPECT_TRUE(output_of(std::string(KELVARIN_EXE) + " --version").starts_with("kelvarin " + version + "\n"));
    EXPECT_TRUE(output_of(std::string(KVRTOOL_EXE) + " --version").starts_with("kvrtool " + version + "\n"));
    for (const char* page : {"kelvarin.1", "kvrtool.1"})
        EXPECT_NE(man_text(page).find("\"KELVARIN " + version + " (MIT License)\""), std::string::npos) << page;
}

TEST(Docs, KelvarinSwitchesAreDocumentedAndExist) {
    const Names switches = kelvarin_switches();
    ASSERT_GE(switches.size(), 20u);
    const Names lone = {"--help", "-h", "--version"};  // understood only as the sole argument
    const std::string options = sections(man_text("kelvarin.1"), ".SH").at("OPTIONS");
    expect_all_in(switches, options, "kelvarin.1 OPTIONS");
    expect_all_in(lone, options, "kelvarin.1 OPTIONS");
    expect_all_in(switches, readme(), "the README");
    expect_all_in(lone, readme(), "the README");
    expect_known(switches_in(man_text("kelvarin.1")), switches, "kelvarin.1");
    expect_known(long_options_in(man_text("kelvarin.1")), lone, "kelvarin.1");
    expect_known(switches_in(readme()), switches, "the README");

    EXPECT_EQ(completions("kelvarin", "kelvarin /"), switches);
    EXPECT_EQ(completions("kelvarin", "kelvarin -"), lone);
    EXPECT_EQ(completions("kelvarin", "kelvarin a.wav -"), Names{});  // not after another argument
}

TEST(Docs, KvrtoolCommandsAndOptionsAreDocumentedAndExist) {
    const Names commands = kvrtool_commands();
    ASSERT_TRUE(commands.contains("convert") && commands.contains("list") && commands.contains("play"));
    const std::string page = man_text("kvrtool.1");
    const std::string options = sections(page, ".SH").at("OPTIONS");
    const auto per_command = sections(options, ".SS");
    const std::string text = readme();

    // The program's own options.
    const Names own = {"--help", "--version"};
    expect_all_in(own, output_of(std::string(KVRTOOL_EXE) + " --help"), "kvrtool --help");
    expect_all_in(own, before_subsections(options), "kvrtool.1 OPTIONS");

    Names every_option = own;
    every_option.insert("-h");
    for (const std::string& command : commands) {
        const Names help = command_options(command);
        every_option.insert(help.begin(), help.end());
        ASSERT_TRUE(per_command.contains(command)) << "kvrtool.1 has no section for " << command;
        expect_all_in(help, per_command.at(command), "kvrtool.1, section " + command);
        expect_known(options_in(per_command.at(command)), help, "kvrtool.1, section " + command);
        expect_all_in(help, text, "the README");
        EXPECT_NE(page.find(".B kvrtool " + command), std::string::npos) << command << " is not in the synopsis";
        EXPECT_NE(text.find("kvrtool " + command), std::string::npos) << command << " is not in the README";
        EXPECT_EQ(completions("kvrtool", "kvrtool " + command + " -"), help) << command;
    }
    // What the documents name is a command of kvrtool, or one on its way.
    Names known_commands = commands;
    known_commands.insert(kArriving.begin(), kArriving.end());
    for (const auto& [heading, body] : per_command) EXPECT_TRUE(known_commands.contains(heading)) << heading;
    expect_known(matches(text, std::regex(R"((^ *|`)kvrtool ([a-z]+))"), 2), known_commands, "the README");

    Names completed = completions("kvrtool", "kvrtool \"\"");
    for (const std::string& c : commands) EXPECT_TRUE(completed.erase(c)) << c << " is not completed";
    for (const std::string& c : completed) EXPECT_TRUE(known_commands.contains(c) || every_option.contains(c)) << c;

    // Every long option of the README is one of kvrtool's, kelvarin's or another program's.
    Names known_options = every_option;
    known_options.insert(kOtherProgramsOptions.begin(), kOtherProgramsOptions.end());
    expect_known(long_options_in(text), known_options, "the README");
    expect_known(long_options_in(page), every_option, "kvrtool.1");
}

TEST(Docs, ReadmeStartsWithTheTwoCommandsAndNamesTheLicense) {
    const std::string text = readme();
    std::istringstream in(text);
    std::string title, blank, first, second;
    std::getline(in, title), std::getline(in, blank), std::getline(in, first), std::getline(in, second);
    EXPECT_TRUE(first.starts_with("    bash scripts/run-example")) << first;
    EXPECT_TRUE(second.starts_with("    bash scripts/run-tests")) << second;
    EXPECT_NE(text.find("MIT License"), std::string::npos);
    EXPECT_NE(read_text(std::string(SOURCE_DIR) + "/LICENSE").find("Copyright (c) The KELVARIN authors"), std::string::npos);
}

TEST(Examples, TheImageIsWhatKelvarinMakesOfTheRecording) {
    TempDir dir;
    std::string out;
    const std::string examples = std::string(SOURCE_DIR) + "/examples/";
    ASSERT_EQ(run_command(std::string(KELVARIN_EXE) + " " + examples + "game.csw " + dir.path("game.kvr"), out), 0) << out;
    const std::string kept = read_text(examples + "game.kvr");
    EXPECT_EQ(dir.read("game.kvr"), ByteVec(kept.begin(), kept.end()));
}

}  // namespace
}  // namespace kvr::test
