// The options of kvrtool convert, shared by kvrtool report, which analyses a recording as
// convert does: long options that set the settings through kelvarin's switches, so that
// both programs read settings alike.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/settings.hpp"
#include "run/convert_file.hpp"

namespace kvr {

struct Context;

struct ConvertRequest {
    Settings settings;  // the file names are filled in by the command
    std::vector<std::string> inputs;  // convert takes several, report one
    std::string output;     // as given with -o, or empty
    std::string directory;  // as given with -d, or empty
    bool exact = false;
    bool help = false;
    bool force = false;  // an existing output may be replaced
    bool json = false;
    bool copies = false;   // a recording holding the program twice is merged as two captures
    bool partial = false;  // merging goes on past a recording that is unreadable or of another tape
    // Several recordings with -o (and no -d) are merged into that one image.
    // Several recordings into one image, or the two copies in one.
    bool merges() const { return (inputs.size() > 1 && !output.empty()) || copies; }
};

// Reads the arguments after the command's name ("convert" or "report", which takes fewer
// options); false with a message on a usage error.
bool parse_convert_arguments(const char* command, std::span<const std::string> args, ConvertRequest& request,
                             std::string& error);

// The image one recording of the request becomes: -o as given, the recording's name in the
// folder of -d, or beside the recording; its extension replaced as kelvarin replaces it.
std::string image_name_for(const ConvertRequest& request, const std::string& input);

// Converts one recording of a request into `output_name`, with the classic report on the
// context's console: the settings and file names, the banner, the conversion. Returns the
// exit status; `result`, when given, what the conversion gave (none after an error that
// ended it first).
int run_conversion_request(Context& cx, const ConvertRequest& request, const std::string& input,
                           const std::string& output_name, const ConversionOptions& options,
                           std::optional<ConversionResult>* result = nullptr);

// The "Options:" lines of a command's usage text, -o described by `output_help`.
std::string convert_option_lines(const char* command, const char* output_help);

}  // namespace kvr
