#include "report_page/block_details.hpp"

#include <algorithm>

#include "analysis/measure.hpp"
#include "report_page/bit_judging.hpp"
#include "report_page/hp_histogram.hpp"
#include "report_page/wave_window.hpp"

namespace kvr {

namespace {

// The histogram reaches past the longest length of interest, and at least past the ROM pilot.
constexpr double kLeastLongest = 2600.0, kRoom = 1.6;
// The zoomed waveform: this many 1-bit pairs either side of the suspect pair, in at most
// so many points.
constexpr std::int64_t kBitsAround = 8;
constexpr std::size_t kWavePoints = 1200;

// Tones and bits set the scale; a sync HP stretched by a dropout would squeeze the rest
// into a corner, so syncs and the decoder's lines beyond the scale are drawn at its edge.
double longest_of(const BlockFacts& f) {
    double longest = kLeastLongest;
    for (const Mark& m : f.timings)
        if (m.label.rfind("sync", 0) != 0) longest = std::max(longest, kRoom * m.tstates);
    return std::min(longest, 65536.0);
}

}  // namespace

void add_block_details(BlockFacts& f, const FrameSource& frames, const Recording& levels, std::int32_t rate,
                       const Settings& s, bool with_wave) {
    const double spt = samples_per_tstate(rate);
    const BitRefs refs = judging_refs(f, levels, s);
    f.thresholds = bit_thresholds(f, refs, s, spt);
    f.histogram = hp_histogram(levels, rate, f.pilot_start, f.end, longest_of(f));
    if (f.checks_out && !f.retried) return;

    // Where the read went wrong; a block without a suspect pair is shown where it ended.
    SuspectBit suspect = first_suspect_bit(f, levels, refs, s).value_or(SuspectBit{});
    if (!suspect.found) {
        suspect.start = suspect.end = f.end;
        suspect.why = "every pair fits a bit length; the read ended here";
    }
    if (with_wave) {
        const std::int64_t bit1 = refs.bit1 > 0 ? refs.bit1 : std::max(1, rate / 1000);
        const std::int64_t reach = std::max<std::int64_t>(64, 2 * kBitsAround * bit1);
        const std::int64_t centre = (std::int64_t{suspect.start} + suspect.end) / 2;
        suspect.wave = wave_window(frames, levels, centre, reach, kWavePoints);
    }
    f.suspect = std::move(suspect);
}

}  // namespace kvr
