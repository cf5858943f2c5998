#include "report_page/bit_judging.hpp"

#include <algorithm>
#include <cstdio>

#include "analysis/measure.hpp"
#include "formats/kvr_image.hpp"

namespace kvr {

namespace {


double tstates(double samples, double spt) { return spt > 0.0 ? samples / spt : 0.0; }

}  // namespace

BitRefs judging_refs(const BlockFacts& f, const Recording& levels, const Settings& s) {
    const EdgeView view(levels);
    HpCursor c(view, {std::max(0, f.data_start), 0, 0});
    if (!f.learns_bit_lengths) return fixed_bit_refs(f.fixed_bit0, f.fixed_bit1, c.samples_per_tstate());
    return measure_bit_refs(c, s);
}

std::vector<Mark> bit_thresholds(const BlockFacts& f, const BitRefs& refs, const Settings& s, double spt) {
    std::vector<Mark> marks;
    if (refs.bit0 <= 0 || refs.bit1 <= 0) return marks;
    // A pair's mean is taken for the nearer length, or compared with the middle value.
    const double split = s.middle_value ? refs.middle : (static_cast<double>(refs.bit0) + refs.bit1) / 2.0;
    marks.push_back({"0 | 1", tstates(split, spt)});
    if (!s.end_given) {
        marks.push_back({"block end", tstates(static_cast<std::int32_t>(refs.bit1 * f.end_factor), spt)});
    }
    for (const Mark& m : f.timings) {
        if (m.label != "pilot" && m.label != "leader") continue;
        // Within the tolerance: the shorter is at least (100 - n) % of the longer.
        const double t = 1.0 - s.pilot_tolerance_pct / 100.0;
        if (t <= 0.0) break;
        marks.push_back({m.label + " tolerance", m.tstates * t});
        marks.push_back({m.label + " tolerance", m.tstates / t});
        break;
    }
    return marks;
}

std::optional<SuspectBit> first_suspect_bit(const BlockFacts& f, const Recording& levels,
                                            const BitRefs& refs, const Settings& s) {
    if (refs.bit0 <= 0 || refs.bit1 <= 0) return std::nullopt;
    const EdgeView view(levels);
    HpCursor c(view, {std::max(0, f.data_start), 0, 0});
    BitRefs judged = refs;
    std::uint8_t unused[1] = {0};
    BitReader reader{c, judged, s, unused, {}};
    std::size_t trailer = 0;
    for (std::int32_t bit = 0; c.pos < f.end && !c.at_end(); ++bit) {
        if (trailer < f.trailer_after_bits.size() && bit == f.trailer_after_bits[trailer]) {
            c.skip(image::kTrailerLength);
            ++trailer;
        }
        const std::int32_t start = c.pos;
        if (start >= f.end || !reader.read_pair()) break;
        const std::int32_t mean = mean_down(c.prev + c.cur, 0);
        if (percent_diff(mean, refs.bit0) <= kSuspectPct || percent_diff(mean, refs.bit1) <= kSuspectPct) continue;
        SuspectBit b;
        b.found = true;
        b.bit = bit;
        b.start = start;
        b.end = c.pos;
        const double spt = c.samples_per_tstate();
        b.first_hp = to_tstates(c.prev, spt);
        b.second_hp = to_tstates(c.cur, spt);
        char why[160];
        std::snprintf(why, sizeof why, "its HPs of %d and %d T average %d T, more than %d %% from both %d and %d T",
                      b.first_hp, b.second_hp, to_tstates(mean, spt), kSuspectPct, to_tstates(refs.bit0, spt),
                      to_tstates(refs.bit1, spt));
        b.why = why;
        return b;
    }
    return std::nullopt;
}

}  // namespace kvr
