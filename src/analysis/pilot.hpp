// Pilot tones and sync pulses: the tone search that opens every pilot, the standard
// detector of a pilot of one tone, and the sync pair after it.
#pragma once

#include <cstdint>

#include "analysis/hp_cursor.hpp"
#include "core/settings.hpp"

namespace kvr {

// What a pilot detector found. Lengths are in samples, the syncs in T-states.
struct PilotResult {
    bool found = false;       // a tone long enough to start a block
    std::int32_t start = 0;   // the first sample of the tone
    std::int32_t count = 0;   // the HPs counted in it
    double sum = 0.0;         // the sum of their lengths
    std::int32_t sync1 = 0;   // set by the step after the pilot
    std::int32_t sync2 = 0;
};

// Two lengths whose percent_diff is within the tolerance.
bool similar(std::int32_t a, std::int32_t b, std::int32_t tolerance_pct);

// Finds the first two neighbouring HPs that are similar: the tone starts with the first of
// them, at `start`. False when the recording ends before such a pair.
bool tone_search(HpCursor& c, std::int32_t tolerance_pct, std::int32_t& start);

// Counts HPs while they stay similar to the reference in c.cur; the HP that ends the tone
// is counted too and left in c.prev.
void count_tone(HpCursor& c, std::int32_t tolerance_pct, std::int32_t& count, double& sum);

// A tone of one length; the two HPs that open it and the one that ends it are not counted,
// and the one that ends it, the first sync HP, is left in c.prev.
PilotResult standard_pilot(HpCursor& c, const Settings& s);

// The second sync HP, and both sync HPs in T-states.
void measure_sync_pair(HpCursor& c, PilotResult& pilot);

}  // namespace kvr
