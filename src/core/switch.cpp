#include "core/switch.hpp"

namespace kvr {

namespace {

// The switches of the conversion itself; each loader brings its own.
const Switch kConversionSwitches[] = {
    {"/tap", false, [](Settings& s, std::int32_t) { s.tap_output = true; }},
    {"/rom", false, [](Settings& s, std::int32_t) { s.rom_bit_timings = true; }},
    {"/ignore", false, [](Settings& s, std::int32_t) { s.ignore_partial_byte = true; }},
    {"/noaprox", false, [](Settings& s, std::int32_t) { s.approximate_bit1 = false; }},
    {"/maxp", true, [](Settings& s, std::int32_t n) { s.pilot_tolerance_pct = n; }},
    {"/diff", true, [](Settings& s, std::int32_t n) { s.bit_difference_pct = n; }},
    {"/end", true,
     [](Settings& s, std::int32_t n) {
         s.end_threshold_pct = n;
         s.end_given = true;
     }},
    {"/pilot", true, [](Settings& s, std::int32_t n) { s.min_pilot_hps = n; }},
    {"/std", true, [](Settings& s, std::int32_t n) { s.standard_tolerance_pct = n; }},
    {"/force", true,
     [](Settings& s, std::int32_t n) {
         s.forced_pilot_hps = n;
         s.force_pilot = true;
     }},
    {"/alter", false, [](Settings& s, std::int32_t) { s.alternative_bits = true; }},
    {"/sync", false, [](Settings& s, std::int32_t) { s.force_sync = true; }},
    {"/middle", false, [](Settings& s, std::int32_t) { s.middle_value = true; }},
};

}  // namespace

std::span<const Switch> conversion_switches() { return kConversionSwitches; }

}  // namespace kvr
