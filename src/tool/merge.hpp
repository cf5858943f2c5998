// kvrtool convert of several recordings of one tape (or of one that holds it twice, with
// --copies) into one image.
#pragma once

#include "run/convert_file.hpp"
#include "tool/convert_options.hpp"

namespace kvr {

struct Context;

// The merge the request asks for, with its report on the context's console; the exit status.
int run_merge(Context& cx, ConvertRequest& request, const ConversionOptions& options);

}  // namespace kvr
