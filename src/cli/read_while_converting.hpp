// The load step and the conversion of the classic program, run side by side on a long WAV
// recording: the analysis follows the edges as they are read, on another processor.
#pragma once

#include <optional>

#include "conversion/driver.hpp"

namespace kvr {

struct Context;

// Loads settings.input_name and converts it. The console shows what loading and converting
// one after the other would show; nullopt after a fatal load error.
std::optional<ConversionResult> load_and_convert(Context& cx);

}  // namespace kvr
