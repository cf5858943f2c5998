#include "tool/convert_options.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "conversion/context.hpp"
#include "loaders/registry.hpp"
#include "tool/commands.hpp"
#include "tool/usage.hpp"

namespace kvr {

namespace {

// The commands an option is for.
enum Commands : unsigned { kConvert = 1, kReport = 2, kBoth = kConvert | kReport };

// A long option and the classic switch it stands for.
struct ConvertOption {
    const char* name;
    const char* classic;     // the switch, or nullptr for the options of convert's own
    const char* value_name;  // nullptr: no value
    const char* help;        // nullptr: the command's own text (the output's), or the loaders' names
    // The numbers the value may be, where fewer than every 32-bit one make sense.
    long long low = INT32_MIN, high = INT32_MAX;
    unsigned commands = kBoth;
    const char* short_name = nullptr;  // "-o", or nullptr
};

const ConvertOption kOptions[] = {
    {"--output", nullptr, "FILE", nullptr, INT32_MIN, INT32_MAX, kBoth, "-o"},
    {"--directory", nullptr, "DIR", "write each recording's image into DIR, named after it (-d for short)", INT32_MIN,
     INT32_MAX, kConvert, "-d"},
    {"--force", nullptr, nullptr, "replace an output that exists (-f for short)", INT32_MIN, INT32_MAX, kConvert, "-f"},
    {"--json", nullptr, nullptr, "print the blocks and the summary as JSON instead of the report", INT32_MIN, INT32_MAX,
     kConvert},
    {"--copies", nullptr, nullptr, "a recording that holds the program twice is merged as two captures"},
    {"--partial", nullptr, nullptr,
     "merging several recordings, go on when one is unreadable, has no block or is of another tape"},
    {"--exact", nullptr, nullptr, "the classic algorithm alone: kelvarin's report and output, byte for byte"},
    {"--loader", nullptr, "NAME", nullptr},
    // 65535 stands for no index given.
    {"--skip", "/slskip", "N", "the index of the first Speedlock turbo block", 0, 65534},
    {"--tap", "/tap", nullptr, "write a TAP file whatever the output's name"},
    {"--rom-bits", "/rom", nullptr, "take the 0 and 1 bit lengths from the ROM timings"},
    {"--ignore-partial", "/ignore", nullptr, "drop a last byte of fewer than 8 bits"},
    {"--no-approx", "/noaprox", nullptr, "do not make the 1-bit length twice the 0-bit length"},
    {"--max-pilot-diff", "/maxp", "N", "largest difference in % between two HPs of one pilot (35)"},
    {"--min-bit-diff", "/diff", "N", "smallest difference in % between 0 and 1 bit HPs (40)"},
    {"--end", "/end", "N", "end a block at the first bit whose two HPs differ by N % or more", 1, 100},
    {"--min-pilot", "/pilot", "N", "fewest pilot HPs that make a block (50)"},
    {"--std", "/std", "N", "largest difference in % from the ROM timings for a standard block (20)"},
    // As many as the image's pilot count holds.
    {"--force-pilot", "/force", "N", "write N as the pilot length of turbo blocks", 0, 65535},
    {"--alter", "/alter", nullptr, "follow the running mean of each bit value while reading"},
    {"--sync", "/sync", nullptr, "write the ROM sync lengths into turbo blocks"},
    {"--middle", "/middle", nullptr, "tell 0 from 1 by the middle of the two bit lengths"},
    {"--no-kept-signal", nullptr, nullptr, "leave out the signal no loader read (kept as its pulses by default)"},
    {"--keep-bad-signal", nullptr, nullptr, "keep a bad block's recorded pulses in a group beside it (default)"},
    {"--no-keep-bad-signal", nullptr, nullptr, "keep a bad block's bytes alone"},
    {"--help", nullptr, nullptr, "this text, -h for short", INT32_MIN, INT32_MAX, kBoth, "-h"},
};

unsigned commands_of(const char* command) { return std::string(command) == "report" ? kReport : kConvert; }

const ConvertOption* find_option(const std::string& arg, unsigned command) {
    for (const ConvertOption& o : kOptions)
        if ((o.commands & command) != 0 && (arg == o.name || (o.short_name != nullptr && arg == o.short_name))) return &o;
    return nullptr;
}

// Every name the command takes, for a guess at a mistyped one.
std::vector<std::string> option_names(unsigned command) {
    std::vector<std::string> names;
    for (const ConvertOption& o : kOptions)
        if ((o.commands & command) != 0) names.emplace_back(o.name);
    return names;
}

bool whole_number(const std::string& text, long long low = INT32_MIN, long long high = INT32_MAX) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0' && errno == 0 && v >= low && v <= high;
}

// The help of --loader: every name it takes.
std::string loader_help() {
    const std::vector<std::string> names = loader_choice_names();
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += i == 0 ? "" : (i + 1 == names.size() ? " or " : ", ");
        text += names[i] + (i == 0 ? " (default)" : "");
    }
    return text;
}

// --loader NAME[:VARIANT]: the loader's switch, applied.
bool apply_loader(const std::string& value, Settings& settings) {
    const std::size_t colon = value.find(':');
    const LoaderChoice* choice = find_loader_choice(value.substr(0, colon));
    if (choice == nullptr) return false;
    std::int32_t variant = 0;
    if (colon != std::string::npos) {
        const std::string v = value.substr(colon + 1);
        if (choice->most_variant < 0 || !whole_number(v)) return false;
        variant = static_cast<std::int32_t>(std::strtol(v.c_str(), nullptr, 10));
        if (variant < 0 || variant > choice->most_variant) return false;
    }
    if (choice->switch_name != nullptr) find_switch(choice->switch_name)->apply(settings, variant);
    return true;
}

// A switch that takes a number, applied to it.
void apply_switch(const char* name, const std::string& value, Settings& settings) {
    const std::int32_t n = value.empty() ? 0 : static_cast<std::int32_t>(std::strtoll(value.c_str(), nullptr, 10));
    find_switch(name)->apply(settings, n);
}

bool fail(std::string& error, const std::string& message) {
    error = message;
    return false;
}

}  // namespace

bool parse_convert_arguments(const char* command, std::span<const std::string> args, ConvertRequest& r,
                             std::string& error) {
    const unsigned which = commands_of(command);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-') {
            r.inputs.push_back(arg);
            continue;
        }
        const ConvertOption* o = find_option(arg, which);
        if (o == nullptr) {
            const std::vector<std::string> names = option_names(which);
            return fail(error, "unknown option " + arg + did_you_mean(arg, names));
        }
        std::string value;
        if (o->value_name != nullptr) {
            if (i + 1 >= args.size()) return fail(error, arg + " needs a value");
            value = args[++i];
        }
        const std::string name = o->name;
        if (name == "--help") r.help = true;
        else if (name == "--exact") r.exact = true;
        else if (name == "--force") r.force = true;
        else if (name == "--json") r.json = true;
        else if (name == "--no-kept-signal") r.settings.keep_signal = false;
        else if (name == "--keep-bad-signal" || name == "--no-keep-bad-signal") r.settings.keep_bad_signal = name[2] != 'n';
        else if (name == "--copies") r.copies = true;
        else if (name == "--partial") r.partial = true;
        else if (name == "--output" || name == "--directory") {
            if (value.empty()) return fail(error, arg + (name == "--output" ? " needs a file name" : " needs a folder"));
            (name == "--output" ? r.output : r.directory) = value;
        } else if (name == "--loader") {
            if (!apply_loader(value, r.settings))
                return fail(error, "--loader needs one of " + loader_help() + ", not '" + value + "'");
        } else {
            if (o->value_name != nullptr && !whole_number(value, o->low, o->high)) {
                const bool every = o->low == INT32_MIN && o->high == INT32_MAX;
                return fail(error, arg + " needs a whole number" +
                                       (every ? "" : " from " + std::to_string(o->low) + " to " + std::to_string(o->high)) +
                                       ", not '" + value + "'");
            }
            apply_switch(o->classic, value, r.settings);
        }
    }
    if (r.help) return true;
    if (r.inputs.empty()) return fail(error, "no recording given");
    if (!r.output.empty() && !r.directory.empty()) return fail(error, "-o names one image and -d a folder: give one of them");
    return true;
}

std::string image_name_for(const ConvertRequest& r, const std::string& input) {
    if (!r.output.empty()) return r.output;
    const bool tap = r.settings.tap_output;
    if (r.directory.empty()) return derive_output_name(input, tap);
    const std::size_t slash = input.rfind('/');
    const std::string base = derive_output_name(slash == std::string::npos ? input : input.substr(slash + 1), tap);
    return r.directory + (r.directory.ends_with('/') ? "" : "/") + base;
}

int run_conversion_request(Context& cx, const ConvertRequest& r, const std::string& input,
                           const std::string& output_name, const ConversionOptions& options,
                           std::optional<ConversionResult>* result) {
    Settings& s = cx.settings;
    s = r.settings;
    if (ends_with_tap(output_name)) s.tap_output = true;
    s.input_name = input;
    s.output_name = output_name;
    keep_report_out_of_the_image(cx.console, s.output_name);
    print_banner(cx.console);
    const std::optional<ConversionResult> converted = convert_file(cx, options);
    cx.recording.clear();
    if (result != nullptr) *result = converted;
    return exit_status(converted, options.summary);
}

std::string convert_option_lines(const char* command, const char* output_help) {
    std::string text = "Options:\n";
    for (const ConvertOption& o : kOptions) {
        if ((o.commands & commands_of(command)) == 0) continue;
        std::string left = std::string(o.name) + (o.value_name != nullptr ? std::string(" ") + o.value_name : "");
        left.resize(std::max<std::size_t>(left.size() + 1, 22), ' ');
        const std::string help = o.help != nullptr ? o.help : std::string(o.name) == "--loader" ? loader_help() : output_help;
        text += "  " + left + help + "\n";
    }
    return text;
}

}  // namespace kvr
