#include "analysis/pilot.hpp"

#include "analysis/measure.hpp"

namespace kvr {

bool similar(std::int32_t a, std::int32_t b, std::int32_t tolerance_pct) {
    return percent_diff_at_most(a, b, tolerance_pct);
}

namespace {

// An HP of 0 is the end of the recording, not signal, so a pair holding one never opens a tone.
bool opens_tone(const HpCursor& c, std::int32_t tolerance_pct) {
    return c.cur != 0 && c.prev != 0 && similar(c.cur, c.prev, tolerance_pct);
}

}  // namespace

bool tone_search(HpCursor& c, std::int32_t tolerance_pct, std::int32_t& start) {
    do {
        c.prev = c.cur;
        c.cur = c.measure();
    } while (!opens_tone(c, tolerance_pct) && !c.at_end());
    start = saturate(std::int64_t{c.pos} - c.cur - c.prev);
    return opens_tone(c, tolerance_pct);
}

void count_tone(HpCursor& c, std::int32_t tolerance_pct, std::int32_t& count, double& sum) {
    // Counted in locals: the count's reference might name a field of the cursor, so through
    // the references every HP would store both and load the cursor and the sum again.
    std::int32_t n = count;
    double total = sum;
    do {
        c.prev = c.measure();
        ++n;
        total += c.prev;
    } while (similar(c.prev, c.cur, tolerance_pct) && !c.at_end());
    count = n;
    sum = total;
}

PilotResult standard_pilot(HpCursor& c, const Settings& s) {
    PilotResult p;
    if (!tone_search(c, s.pilot_tolerance_pct, p.start)) return p;
    c.cur = mean_down(c.cur, c.prev);  // the reference; the opening pair is not counted
    count_tone(c, s.pilot_tolerance_pct, p.count, p.sum);
    --p.count;
    p.sum -= c.prev;
    p.found = p.count >= s.min_pilot_hps;
    return p;
}

void measure_sync_pair(HpCursor& c, PilotResult& pilot) {
    c.cur = c.measure();
    pilot.sync1 = to_tstates(c.prev, c.samples_per_tstate());
    pilot.sync2 = to_tstates(c.cur, c.samples_per_tstate());
}

}  // namespace kvr
