// kvrtool convert: the converter with long options, a signal front end and checksum-guided
// retries. Its options become kelvarin's switches, so that both read settings, refuse input
// and report alike; --exact runs kelvarin's own conversion.
#include "tool/convert.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "cli/run.hpp"
#include "context.hpp"
#include "input/file_bytes.hpp"
#include "recovery/recover.hpp"
#include "tool/commands.hpp"

namespace kvr {

namespace {

// A long option and the classic switch it stands for.
struct ConvertOption {
    const char* name;
    const char* classic;     // the switch, or nullptr for the options of convert's own
    const char* value_name;  // nullptr: no value
    const char* help;
};

const ConvertOption kOptions[] = {
    {"--output", nullptr, "FILE", "the image to write, -o for short; .tap makes a TAP file (default: INPUT.kvr)"},
    {"--exact", nullptr, nullptr, "the classic algorithm alone: kelvarin's report and output, byte for byte"},
    {"--loader", nullptr, "NAME", "rom (default), bleep, speedlock1:V, speedlock2, speedlock3:V, speedlock4 or di"},
    {"--skip", "/slskip", "N", "the index of the first Speedlock turbo block"},
    {"--tap", "/tap", nullptr, "write a TAP file whatever the output's name"},
    {"--rom-bits", "/rom", nullptr, "take the 0 and 1 bit lengths from the ROM timings"},
    {"--ignore-partial", "/ignore", nullptr, "drop a last byte of fewer than 8 bits"},
    {"--no-approx", "/noaprox", nullptr, "do not make the 1-bit length twice the 0-bit length"},
    {"--max-pilot-diff", "/maxp", "N", "largest difference in % between two HPs of one pilot (35)"},
    {"--min-bit-diff", "/diff", "N", "smallest difference in % between 0 and 1 bit HPs (40)"},
    {"--end", "/end", "N", "end a block at the first bit whose two HPs differ by N % or more"},
    {"--min-pilot", "/pilot", "N", "fewest pilot HPs that make a block (50)"},
    {"--std", "/std", "N", "largest difference in % from the ROM timings for a standard block (20)"},
    {"--force-pilot", "/force", "N", "write N as the pilot length of turbo blocks"},
    {"--alter", "/alter", nullptr, "follow the running mean of each bit value while reading"},
    {"--sync", "/sync", nullptr, "write the ROM sync lengths into turbo blocks"},
    {"--middle", "/middle", nullptr, "tell 0 from 1 by the middle of the two bit lengths"},
    {"--help", nullptr, nullptr, "this text, -h for short"},
};

const ConvertOption* find_option(const std::string& arg) {
    if (arg == "-o") return &kOptions[0];
    for (const ConvertOption& o : kOptions)
        if (arg == o.name) return &o;
    return nullptr;
}

bool whole_number(const std::string& text) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0' && errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
}

// --loader NAME[:VARIANT] as kelvarin's loader switches.
bool loader_switches(const std::string& value, std::vector<std::string>& args) {
    const std::size_t colon = value.find(':');
    const std::string name = value.substr(0, colon);
    const std::string variant = colon == std::string::npos ? "0" : value.substr(colon + 1);
    if (!whole_number(variant)) return false;
    if (colon != std::string::npos && name != "speedlock1" && name != "speedlock3") return false;
    if (name == "rom") return true;
    if (name == "bleep") args.push_back("/bleep");
    else if (name == "di") args.push_back("/diload");
    else if (name == "speedlock2") args.push_back("/slock2");
    else if (name == "speedlock4") args.push_back("/slock4");
    else if (name == "speedlock1" || name == "speedlock3") args.insert(args.end(), {"/slock" + name.substr(9), variant});
    else return false;
    return true;
}

struct ConvertRequest {
    std::vector<std::string> classic;  // kelvarin's arguments
    bool exact = false;
    bool help = false;
};

bool fail(std::string& error, const std::string& message) {
    error = message;
    return false;
}

bool parse(std::span<const std::string> args, ConvertRequest& r, std::string& error) {
    std::string input, output;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h") {
            r.help = true;
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            if (!input.empty()) return fail(error, "convert takes one recording");
            input = arg;
            continue;
        }
        const ConvertOption* o = find_option(arg);
        if (o == nullptr) return fail(error, "unknown option " + arg);
        std::string value;
        if (o->value_name != nullptr) {
            if (i + 1 >= args.size()) return fail(error, arg + " needs a value");
            value = args[++i];
        }
        const std::string name = o->name;
        if (name == "--help") r.help = true;
        else if (name == "--exact") r.exact = true;
        else if (name == "--output") output = value;
        else if (name == "--loader") {
            if (!loader_switches(value, r.classic))
                return fail(error, "--loader needs one of rom, bleep, speedlock1:V, speedlock2, speedlock3:V, "
                                   "speedlock4, di, not '" + value + "'");
        } else {
            if (o->value_name != nullptr && !whole_number(value))
                return fail(error, arg + " needs a whole number, not '" + value + "'");
            r.classic.push_back(o->classic);
            if (o->value_name != nullptr) r.classic.push_back(value);
        }
    }
    if (r.help) return true;
    if (input.empty()) return fail(error, "no recording given");
    if (ends_with_tap(output)) r.classic.push_back("/tap");
    r.classic.push_back(input);
    if (!output.empty()) r.classic.push_back(output);
    return true;
}

std::string usage() {
    std::string text =
        "Usage: kvrtool convert INPUT [-o OUTPUT] [options]\n"
        "\n"
        "Converts a recording (WAV, CSW, VOC, or any sound file the sound library reads) into a\n"
        "KVR image or a TAP file. A signal front end conditions the recording first, and every\n"
        "block whose checksum fails is read again with other settings until one checks out.\n"
        "The report is kelvarin's, followed by a summary.\n"
        "\n"
        "Options:\n";
    for (const ConvertOption& o : kOptions) {
        std::string left = std::string(o.name) + (o.value_name != nullptr ? std::string(" ") + o.value_name : "");
        left.resize(std::max<std::size_t>(left.size() + 1, 22), ' ');
        text += "  " + left + o.help + "\n";
    }
    return text;
}

ConversionResult recovering_conversion_of_file(Context& cx) {
    FileBytes file;
    if (!file.open(cx.settings.input_name)) return run_recovering_conversion(cx, {}, ::isatty(2) == 1);
    return run_recovering_conversion(cx, file.bytes(), ::isatty(2) == 1, &file);
}

}  // namespace

int convert_command(std::span<const std::string> args, std::FILE* out, std::FILE* err) {
    ConvertRequest request;
    std::string error;
    if (!parse(args, request, error)) {
        std::fprintf(err, "kvrtool: %s\n\n%s", error.c_str(), usage().c_str());
        return 2;
    }
    if (request.help) {
        std::fputs(usage().c_str(), out);
        return 0;
    }
    auto cx = std::make_unique<Context>(out, err);
    const int status =
        request.exact ? run_program(*cx, request.classic) : run_program(*cx, request.classic, recovering_conversion_of_file);
    cx->console.flush();
    return status;
}

}  // namespace kvr
