// The options of `kvrtool play`, each checked before anything is opened.
#pragma once

#include <span>
#include <string>

#include "playback/render.hpp"

namespace kvr {

struct PlayRequest {
    std::string image;
    std::string output;  // "-" for the standard output
    RenderOptions options;
};

// Reads the arguments after "play". False with a message for the usage error: an unknown
// option, a value that is not finite or out of its range, a missing image or output, or
// options that the chosen format cannot hold. Without --format, the output's extension
// chooses the format (".flac", ".csw", ".voc"; 16-bit WAV for any other name).
bool parse_play_arguments(std::span<const std::string> args, PlayRequest& request, std::string& error);

// The option lines of play's usage text.
std::string play_option_lines();

}  // namespace kvr
