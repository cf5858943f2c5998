#include "tool/usage.hpp"

#include <algorithm>
#include <vector>

namespace kvr {

namespace {

// The edits (a character put in, left out, changed, or two swapped) from one word to another.
std::size_t edits(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

int usage_error(std::FILE* err, const std::string& usage, const std::string& command, const std::string& message) {
    const std::string synopsis = usage.substr(0, usage.find('\n'));
    const std::string help = command.empty() ? "kvrtool --help" : "kvrtool " + command + " --help";
    std::fprintf(err, "kvrtool: %s\n%s\nRun '%s' for more.\n", message.c_str(), synopsis.c_str(), help.c_str());
    return 2;
}

std::string did_you_mean(const std::string& word, std::span<const std::string> choices) {
    if (word.size() > 64) return {};  // no slip of the fingers
    // Words that long arguments are cut down to ("--lo") count as near the one they begin.
    std::vector<std::string> starting;
    for (const std::string& c : choices)
        if (word.size() >= 3 && c.starts_with(word)) starting.push_back(c);
    if (starting.size() == 1) return " (did you mean " + starting.front() + "?)";
    const std::string* best = nullptr;
    std::size_t fewest = 0;
    for (const std::string& c : choices) {
        const std::size_t n = edits(word, c);
        if (best == nullptr || n < fewest) best = &c, fewest = n;
    }
    // Two slips in a long word, one in a short one; more is another word.
    const std::size_t most = word.size() > 5 ? 2 : 1;
    if (best == nullptr || fewest == 0 || fewest > most) return {};
    return " (did you mean " + *best + "?)";
}

}  // namespace kvr
