// kvrtool's command line on arbitrary options and a small image, writing into a temporary
// folder. The first byte chooses the command (bit 0: play, else list) and the image's name
// (bit 1: *.tap, else *.kvr); the text up to the first NUL holds the arguments, separated by
// spaces; the rest is the image.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "formats/tape_reader.hpp"
#include "playback/list.hpp"
#include "tool/commands.hpp"

namespace {

// Every name an argument can give stays inside this folder: it is the working folder, and no
// argument keeps a "/".
char g_folder[] = "/tmp/kvrtool-fuzz-XXXXXX";

void leave_work_folder() {
    std::error_code ec;
    std::filesystem::remove_all(g_folder, ec);
}

void enter_work_folder() {
    static bool entered = false;
    if (entered) return;
    if (::mkdtemp(g_folder) == nullptr || ::chdir(g_folder) != 0) std::abort();
    std::atexit(leave_work_folder);
    entered = true;
}

std::vector<std::string> arguments(const char* text, std::size_t n) {
    std::vector<std::string> out;
    std::string word;
    for (std::size_t i = 0; i <= n; ++i) {
        if (i == n || text[i] == ' ') {
            if (!word.empty()) out.push_back(word);
            word.clear();
        } else {
            word += text[i] == '/' ? '_' : text[i];
        }
    }
    return out;
}

// The rate the arguments ask for, the last one given, as kvrtool reads it (or the default).
double asked_rate(const std::vector<std::string>& args) {
    double rate = 44100.0;
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] != "--rate") continue;
        const double v = std::strtod(args[i + 1].c_str(), nullptr);
        if (v > 0.0 && v <= 1e7) rate = v;
    }
    return rate;
}

// Rendering takes time in proportion to the samples it makes: a tape too long for the rate
// is only listed, so that each run stays short.
bool short_tape(const std::uint8_t* image, std::size_t n, double rate) {
    double longest = 0.0;
    for (bool tap : {false, true}) {
        kvr::TapeImage parsed;
        std::string error;
        kvr::parse_tape_image({image, n}, tap, parsed, error);
        double tstates = 0.0;
        for (const auto& b : parsed.blocks) tstates += kvr::block_tstates(b);
        longest = std::max(longest, tstates);
    }
    return longest / 3500000.0 * rate <= 1e6;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    enter_work_folder();
    static std::FILE* quiet = std::fopen("/dev/null", "w");
    const char* text = reinterpret_cast<const char*>(data + 1);
    const auto* nul = static_cast<const char*>(std::memchr(text, 0, size - 1));
    const std::size_t text_size = nul != nullptr ? static_cast<std::size_t>(nul - text) : size - 1;
    const std::uint8_t* image = data + 1 + text_size + (nul != nullptr ? 1 : 0);
    const std::size_t image_size = static_cast<std::size_t>(data + size - image);

    const std::string image_name = (data[0] & 2) ? "image.tap" : "image.kvr";
    if (std::FILE* f = std::fopen(image_name.c_str(), "wb")) {
        std::fwrite(image, 1, image_size, f);
        std::fclose(f);
    }
    const std::vector<std::string> more = arguments(text, text_size);
    const bool play = (data[0] & 1) && short_tape(image, image_size, asked_rate(more));
    std::vector<std::string> args{play ? "play" : "list", image_name};
    if (play) args.insert(args.end(), {"-o", "out.wav"});  // an -o among the arguments wins
    args.insert(args.end(), more.begin(), more.end());
    kvr::run_kvrtool(args, quiet, quiet);

    // No temporary file may be left behind, only what the arguments named.
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".kvr-", 0) == 0 && std::find(more.begin(), more.end(), name) == more.end()) __builtin_trap();
        std::error_code ec;
        std::filesystem::remove(entry.path(), ec);
    }
    return 0;
}
