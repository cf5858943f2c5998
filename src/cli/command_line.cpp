// Switches and file names into the settings.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "cli/run.hpp"
#include "context.hpp"
#include "core/switch.hpp"
#include "loaders/registry.hpp"

namespace kvr {

namespace {

// The switches of the conversion itself; each loader brings its own.
const Switch kSwitches[] = {
    {"/tap", false, [](Settings& s, std::int32_t) { s.tap_output = true; }},
    {"/rom", false, [](Settings& s, std::int32_t) { s.rom_bit_timings = true; }},
    {"/ignore", false, [](Settings& s, std::int32_t) { s.ignore_partial_byte = true; }},
    {"/noaprox", false, [](Settings& s, std::int32_t) { s.approximate_bit1 = false; }},
    {"/maxp", true, [](Settings& s, std::int32_t n) { s.pilot_tolerance_pct = n; }},
    {"/diff", true, [](Settings& s, std::int32_t n) { s.bit_difference_pct = n; }},
    {"/end", true,
     [](Settings& s, std::int32_t n) {
         s.end_threshold_pct = n;
         s.end_given = true;
     }},
    {"/pilot", true, [](Settings& s, std::int32_t n) { s.min_pilot_hps = n; }},
    {"/std", true, [](Settings& s, std::int32_t n) { s.standard_tolerance_pct = n; }},
    {"/force", true,
     [](Settings& s, std::int32_t n) {
         s.forced_pilot_hps = n;
         s.force_pilot = true;
     }},
    {"/alter", false, [](Settings& s, std::int32_t) { s.alternative_bits = true; }},
    {"/sync", false, [](Settings& s, std::int32_t) { s.force_sync = true; }},
    {"/middle", false, [](Settings& s, std::int32_t) { s.middle_value = true; }},
};

const Switch* find_switch(const std::string& arg) {
    for (const Switch& s : kSwitches)
        if (arg == s.name) return &s;
    return find_loader_switch(arg);
}

// Reads a decimal number as "%d" does: white space, a sign, digits, then anything.
// Out-of-range values saturate. False when no digit follows the sign.
bool read_number(const std::string& text, std::int32_t& out) {
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* digits = p + ((*p == '+' || *p == '-') ? 1 : 0);
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
    errno = 0;
    long long v = std::strtoll(p, nullptr, 10);
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    out = static_cast<std::int32_t>(v);
    return true;
}

}  // namespace

std::string derive_output_name(const std::string& input_name, bool tap_output) {
    const char* extension = tap_output ? "tap" : "kvr";
    const std::size_t slash = input_name.rfind('/');
    const std::size_t component = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = input_name.rfind('.');
    if (dot == std::string::npos || dot < component) return input_name + "." + extension;
    return input_name.substr(0, dot + 1) + extension;
}

ParseOutcome parse_command_line(Context& cx, std::span<const std::string> args) {
    Settings& s = cx.settings;
    int files = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool slash_word = !arg.empty() && arg[0] == '/';
        if (slash_word) {
            if (const Switch* sw = find_switch(arg)) {
                std::int32_t n = 0;
                if (sw->takes_number) {
                    if (i + 1 >= args.size()) {
                        report_error(cx.console, Error::invalid_option, arg);
                        return ParseOutcome::error;
                    }
                    const std::string& value = args[++i];
                    if (!read_number(value, n)) {
                        report_error(cx.console, Error::invalid_option, arg + " " + value);
                        return ParseOutcome::error;
                    }
                }
                sw->apply(s, n);
                continue;
            }
            // An absolute path is a file name; any other word with a leading "/" is a typo.
            if (arg.find('/', 1) == std::string::npos) {
                report_error(cx.console, Error::invalid_option, arg);
                return ParseOutcome::error;
            }
        }
        if (files == 2) {
            report_error(cx.console, Error::too_many_files);
            return ParseOutcome::error;
        }
        (files == 0 ? s.input_name : s.output_name) = arg;
        ++files;
    }
    if (files == 0) {
        report_error(cx.console, Error::no_files);
        return ParseOutcome::error;
    }
    if (files == 1) s.output_name = derive_output_name(s.input_name, s.tap_output);
    return ParseOutcome::run;
}

}  // namespace kvr
