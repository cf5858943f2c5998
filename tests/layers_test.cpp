// The tree's layers: a file includes only files of its own folder and of folders below it,
// so that the formats know nothing of the analysis, the analysis nothing of the loaders,
// the library nothing of the programs.
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include <gtest/gtest.h>

namespace kvr::test {
namespace {

// Folders of one rank never include each other.
const std::map<std::string, int> kRanks = {
    {"core", 0},     {"kernels", 1},  {"formats", 2},     {"input", 3},      {"output", 3},
    {"frontend", 4}, {"analysis", 4}, {"demod", 5},       {"loaders", 6},    {"conversion", 7},
    {"recovery", 8}, {"run", 9},      {"kelvarin", 10},   {"playback", 10},  {"report_page", 10},
    {"tool", 11},
};

// The folder of a path below src/ (or the file, for one at its top).
std::string part_of(const std::string& relative) { return relative.substr(0, relative.find('/')); }

TEST(Layers, NoIncludeRunsUpALayer) {
    const std::filesystem::path src = std::filesystem::path(SOURCE_DIR) / "src";
    const std::regex include(R"re(^\s*#\s*include\s+"([^"]+)")re");
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(src)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = std::filesystem::relative(entry.path(), src).generic_string();
        const std::string ext = entry.path().extension().string();
        if (ext != ".cpp" && ext != ".hpp" && ext != ".in") continue;
        const std::string from = part_of(name);
        if (!kRanks.contains(from)) continue;  // the build's own files
        ++files;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            if (!std::regex_search(line, m, include)) continue;
            const std::string to = part_of(m[1].str());
            if (!kRanks.contains(to) || to == from) continue;  // generated headers, its own folder
            EXPECT_LT(kRanks.at(to), kRanks.at(from)) << name << " includes " << m[1].str();
        }
    }
    EXPECT_GT(files, 100);
}

// The wide instructions are the kernels' alone, each beside its plain twin: nowhere else
// may include their headers or name their types.
TEST(Layers, WideInstructionsAreTheKernelsAlone) {
    const std::filesystem::path src = std::filesystem::path(SOURCE_DIR) / "src";
    const std::regex wide(R"re(#\s*include\s*<[a-z]*mmintrin\.h>|\b__m(128|256|512)|\b_mm(256|512)?_)re");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(src)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = std::filesystem::relative(entry.path(), src).generic_string();
        if (part_of(name) == "kernels") continue;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);)
            EXPECT_FALSE(std::regex_search(line, wide)) << name << ": " << line;
    }
}

}  // namespace
}  // namespace kvr::test
