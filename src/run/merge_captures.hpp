// Several recordings of one tape made into one: the blocks of each recording matched to the
// others' by their order, kind, length, contents and pauses (never by time: recordings begin at
// different places and run at slightly different speeds), and for each block the reading that
// checks out and agrees with the others' kept, or, where none checks out, the bytes voted bit
// by bit, each reading weighed by how sure it was of each bit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "conversion/found_tape.hpp"

namespace kvr {

// One recording, as its conversion found and mended it.
struct Capture {
    std::string name;
    FoundTape tape;
    std::int32_t rate = 0;
};

struct MergeCounts {
    std::int32_t blocks = 0;      // on the merged tape
    std::int32_t recordings = 0;  // that gave at least one of them
    std::int32_t voted = 0;       // repaired by the vote
    std::int32_t conflicts = 0;   // readings that check out but hold other bytes
    std::int32_t bad = 0;         // still bad
    std::int32_t left_out = 0;    // bad readings where the other recordings heard none: noise
};

struct Merged {
    FoundTape tape;
    MergeCounts counts;
    // Why recordings were left out (not of one tape, no blocks); empty when none was.
    std::string refused;
};

// The recordings merged; none when one of them is left out, unless `partial` is given (then
// those that match are merged). Each recording left out is named in `refused`.
Merged merge_captures(const std::vector<Capture>& captures, bool partial = false);

// The two copies of the program one recording holds, one after the other, as two captures;
// just the one when no second copy follows the first.
std::vector<Capture> split_copies(const Capture& capture);

}  // namespace kvr
