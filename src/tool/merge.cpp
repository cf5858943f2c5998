#include "tool/merge.hpp"

namespace kvr {

int run_merge(Context& cx, const ConvertRequest&, const ConversionOptions&) {
    cx.console.fail("kvrtool: merging several recordings is not available yet\n");
    return 2;
}

}  // namespace kvr
