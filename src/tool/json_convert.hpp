// kvrtool convert --json: one object per recording with every block and the summary, and
// for several recordings the list of them with the totals.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run/tape_summary.hpp"

namespace kvr {

// One recording converted, as the JSON output tells of it.
struct ConvertedRecording {
    std::string input, output;
    bool tap = false;
    int status = 0;           // the exit status of its conversion
    bool converted = false;   // it was loaded and read (whether blocks were found or not)
    const TapeSummary* summary = nullptr;
};

// The recording's object, its blocks one to a line.
std::string recording_json(const ConvertedRecording& recording);
// The summary object of totals.
std::string totals_json(const TapeTotals& totals);
// The object of several recordings: their objects and the totals.
std::string recordings_json(const std::vector<std::string>& objects, const TapeTotals& totals, int not_converted);

}  // namespace kvr
