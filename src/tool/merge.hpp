// kvrtool convert with several recordings and one -o: the recordings merged into one image.
#pragma once

#include "conversion/context.hpp"
#include "run/convert_file.hpp"
#include "tool/convert_options.hpp"

namespace kvr {

// Merges the recordings of the request into request.output; returns the exit status.
int run_merge(Context& cx, const ConvertRequest& request, const ConversionOptions& options);

}  // namespace kvr
