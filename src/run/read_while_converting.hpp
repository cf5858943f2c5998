// The load step and the conversion of the classic program, run side by side on a long WAV
// recording: the analysis follows the edges as they are read, on another processor.
#pragma once

#include <optional>

#include "conversion/driver.hpp"

namespace kvr {

struct Context;
class FileBytes;

// Loads settings.input_name, opened as `file`, and converts it. The console shows what
// loading and converting one after the other would show; nullopt after a fatal load error.
std::optional<ConversionResult> load_and_convert(Context& cx, const FileBytes& file);

}  // namespace kvr
