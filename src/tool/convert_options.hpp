// The options of kvrtool convert, shared by kvrtool report, which analyses a recording as
// convert does: long options that become kelvarin's switches, so that both read settings,
// refuse input and report alike.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace kvr {

struct ConvertRequest {
    std::vector<std::string> classic;  // kelvarin's switches (without file names)
    std::string input;
    std::string output;  // as given with -o, or empty
    bool exact = false;
    bool help = false;
};

// Reads the arguments after the command's name; false with a message on a usage error.
bool parse_convert_arguments(const char* command, std::span<const std::string> args, ConvertRequest& request,
                             std::string& error);

// The "Options:" lines of a usage text, -o described by `output_help`.
std::string convert_option_lines(const char* output_help);

}  // namespace kvr
