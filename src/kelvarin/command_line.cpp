// Switches and file names into the settings.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "kelvarin/run.hpp"
#include "conversion/context.hpp"
#include "core/switch.hpp"
#include "loaders/registry.hpp"

namespace kvr {

namespace {

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
