// The half-periods of a stretch of levels by length, and the centres of their clusters:
// the pilot, the two bit lengths, whatever else the stretch holds often enough.
#pragma once

#include <cstdint>

#include "input/recording.hpp"
#include "report_page/tape_facts.hpp"

namespace kvr {

// The HPs that start in [from, to), in bins of whole samples up to `longest_tstates`.
HpHistogram hp_histogram(const Recording& levels, std::int32_t rate, std::int32_t from, std::int32_t to,
                         double longest_tstates);

}  // namespace kvr
