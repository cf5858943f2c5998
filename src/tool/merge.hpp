// kvrtool convert of several recordings of one tape (or of one that holds it twice, with
// --copies) into one image.
#pragma once

#include "run/convert_file.hpp"
#include "tool/convert_options.hpp"

namespace kvr {

struct Context;

// Merges the recordings of the request into request.output, with its report on the
// context's console; returns the exit status. The observer, given one, sees the merged tape.
int run_merge(Context& cx, const ConvertRequest& request, const ConversionOptions& options,
              ConversionObserver* observer = nullptr);

}  // namespace kvr
