// The page of a tape merged of several recordings: its blocks laid out as the merged image
// plays them, each with what its page shows of it in the recording it was taken from.
#pragma once

#include <vector>

#include "report_page/tape_facts.hpp"

namespace kvr {

// `merged` are the merged tape's blocks as written (each naming its source, its places in
// samples of that recording); `recordings` the completed facts of every recording, by name.
RecordingFacts merged_facts(std::vector<BlockFacts> merged, const std::vector<RecordingFacts>& recordings);

}  // namespace kvr
