// The conversion of a loaded recording into a KVR image or a TAP file.
#pragma once

#include <cstdint>

namespace kvr {

struct Context;

struct ConversionResult {
    bool ok = false;          // the output was written (or, with no block found, left alone)
    std::int32_t blocks = 0;  // the blocks found
};

// Converts the whole sample buffer into the output named in the settings (or the output
// already open in the context); errors are reported on the console.
ConversionResult run_conversion(Context& cx);

}  // namespace kvr
