// The facts of a recording as the JSON that the report page's script draws from. Each
// block stands on a line of its own.
#pragma once

#include <string>

#include "report_page/tape_facts.hpp"

namespace kvr {

std::string page_data_json(const RecordingFacts& facts);

}  // namespace kvr
