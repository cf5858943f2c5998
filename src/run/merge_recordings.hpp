// kvrtool convert of several recordings of one tape into one image: each recording converted
// as it would be alone (its lines reported, nothing written), then the tapes merged and the
// merged tape written with a line on where each block came from.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run/convert_file.hpp"
#include "run/merge_captures.hpp"

namespace kvr {

struct Context;

struct MergeRequest {
    std::vector<std::string> inputs;
    bool copies = false;   // a recording that holds the program twice is two captures
    bool partial = false;  // recordings that cannot be merged are passed over
    ConversionObserver* observer = nullptr;  // sees the merged tape as it is written
};

struct MergeOutcome {
    std::optional<ConversionResult> written;  // none when nothing was written
    MergeCounts counts;
};

// Converts every recording of the request with the context's settings (the input name is
// set for each) and writes the merged tape to the output the settings name. Whatever keeps
// a recording out of the merge (unreadable, no blocks, another tape) is reported naming it;
// then nothing is written unless the request says `partial`.
MergeOutcome merge_recordings(Context& cx, const MergeRequest& request, const ConversionOptions& options);

}  // namespace kvr
