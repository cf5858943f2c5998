// The switch values of one conversion, filled from the command line and read by everyone;
// the loaders keep theirs apart.
#pragma once

#include <cstdint>
#include <string>

#include "core/loader_options.hpp"

namespace kvr {

struct Settings {
    bool tap_output = false;
    bool rom_bit_timings = false;
    bool ignore_partial_byte = false;
    bool approximate_bit1 = true;
    std::int32_t pilot_tolerance_pct = 35;
    std::int32_t bit_difference_pct = 40;
    std::int32_t end_threshold_pct = 60;
    bool end_given = false;
    std::int32_t min_pilot_hps = 50;
    std::int32_t standard_tolerance_pct = 20;
    bool force_pilot = false;
    std::int32_t forced_pilot_hps = 0;
    bool alternative_bits = false;
    bool force_sync = false;
    bool middle_value = false;
    // kvrtool convert's alone: the signal no block was read from, and the pulses of the blocks
    // that never checked out, kept in the image as they were recorded.
    bool keep_signal = true;
    bool keep_bad_signal = true;
    LoaderOptions loaders;  // what each loader's own switches set
    std::string input_name;
    std::string output_name;
};

}  // namespace kvr
