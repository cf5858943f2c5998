// The options of kvrtool convert, shared by kvrtool report, which analyses a recording as
// convert does: long options that set the settings through kelvarin's switches, so that
// both programs read settings alike.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/settings.hpp"
#include "run/convert_file.hpp"

namespace kvr {

struct Context;

struct ConvertRequest {
    Settings settings;  // the file names are filled in by the command
    std::string input;
    std::vector<std::string> more_inputs;  // convert's further recordings of the same tape, merged
    std::string output;  // as given with -o, or empty
    bool copies = false;   // a recording holding the program twice is merged as two captures
    bool partial = false;  // recordings that cannot be merged are passed over
    bool exact = false;
    bool help = false;
};

// Reads the arguments after the command's name; false with a message on a usage error.
bool parse_convert_arguments(const char* command, std::span<const std::string> args, ConvertRequest& request,
                             std::string& error);

// Runs the conversion a request asks for, with the classic report on the context's console:
// the file names into the settings, the banner, the conversion. Returns the exit status.
int run_conversion_request(Context& cx, ConvertRequest& request, const ConversionOptions& options,
                           const std::string& default_output = {});

// The "Options:" lines of a usage text, -o described by `output_help`.
// With `merging`, the options of several recordings merged too.
std::string convert_option_lines(const char* output_help, bool merging = false);

}  // namespace kvr
