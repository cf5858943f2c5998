// kvrtool convert's conversion: a signal front end between the reader and the analysis,
// and checksum-guided retries of every block that does not check out.
#pragma once

#include "conversion/driver.hpp"
#include "input/readers.hpp"

namespace kvr {

struct Context;

// Converts the recording loaded into the context from `file` (its bytes as read), printing
// kelvarin's report and then a summary. With `terminal`, a recording of over a minute shows
// its progress on standard error.
ConversionResult run_recovering_conversion(Context& cx, Bytes file, bool terminal,
                                           const PcmFetcher* fetcher = nullptr);

}  // namespace kvr
