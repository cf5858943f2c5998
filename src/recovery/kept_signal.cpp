#include "recovery/kept_signal.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "analysis/measure.hpp"
#include "core/console.hpp"
#include "formats/kvr_image.hpp"
#include "recovery/retry.hpp"

namespace kvr {

namespace {

// The pulse lengths loaders use, in T-states: shorter ones no cassette holds apart, longer
// ones are the slow swing of hum or a pause's drift.
constexpr std::int32_t kShortestPulse = 150, kLongestPulse = 6000;
// A stretch lasts this long at least, with this many pulses.
constexpr double kShortestStretchMs = 5.0;
constexpr std::int64_t kFewestPulses = 16;
// Fewer samples than this tell no length apart from its neighbours'.
constexpr std::int32_t kFewestSamples = 3;
// Steadiness is judged over windows of this many HPs, this far apart: a window may hold
// this many lengths repeated and this many HPs of a length of their own (a sync pulse).
constexpr std::int64_t kWindow = 32, kWindowStep = 8;
constexpr int kMostLengths = 4, kMostLone = 4;

// Two HP lengths within this of each other are one length: a sample, or a twentieth.
std::int32_t tolerance(std::int32_t h) { return std::max(1, h / 20); }

// Whether the kWindow HPs after edge e have the lengths of a loader's timing: a few lengths,
// each repeated with no more spread than two samples (or an eighth) allows, and hardly any
// lone ones. Noise spreads its HPs over every length; hum has none in range at all.
bool steady_lengths(const std::int32_t* e) {
    std::int32_t v[kWindow];
    for (std::int64_t k = 0; k < kWindow; ++k) v[k] = e[k + 1] - e[k];
    std::sort(v, v + kWindow);
    int groups = 0, lone = 0;
    for (std::int64_t a = 0; a < kWindow;) {
        std::int64_t z = a + 1;
        while (z < kWindow && v[z] - v[z - 1] <= tolerance(v[z - 1])) ++z;
        const std::int32_t spread = v[z - 1] - v[a];
        if (spread > std::max(2, v[z - 1] / 8)) return false;  // a smear of lengths, not one
        if (z - a == 1) ++lone;
        else ++groups;
        a = z;
    }
    return groups <= kMostLengths && lone <= kMostLone;
}

// Whether HP k of the HPs [a, z) has a length that another HP near it has too.
constexpr std::int64_t kNeighbours = 16;
bool has_a_match(const std::int32_t* e, std::int64_t a, std::int64_t z, std::int64_t k) {
    const std::int32_t h = e[k + 1] - e[k];
    const std::int32_t near = tolerance(h);
    for (std::int64_t m = std::max(a, k - kNeighbours); m < std::min(z, k + kNeighbours + 1); ++m) {
        if (m == k) continue;
        const std::int32_t d = e[m + 1] - e[m] - h;
        if (d >= -near && d <= near) return true;
    }
    return false;
}

}  // namespace

std::vector<KeptStretch> find_tape_signal(const std::int32_t* first, const std::int32_t* last, std::int32_t rate) {
    std::vector<KeptStretch> out;
    if (last - first < 2 || rate <= 0) return out;
    const double spt = samples_per_tstate(rate);
    auto in_range = [spt](std::int32_t h) {
        const std::int32_t t = to_tstates(h, spt);
        return h >= kFewestSamples && t >= kShortestPulse && t <= kLongestPulse;
    };
    const std::int64_t n = last - first - 1;  // HPs
    std::vector<std::uint8_t> steady;
    for (std::int64_t i = 0; i < n;) {
        if (!in_range(first[i + 1] - first[i])) {
            ++i;
            continue;
        }
        std::int64_t j = i;
        while (j < n && in_range(first[j + 1] - first[j])) ++j;
        // The run's HPs that some window of steady lengths covers, and the stretches they make.
        steady.assign(static_cast<std::size_t>(j - i), 0);
        for (std::int64_t w = i; w + kWindow <= j; w += kWindowStep)
            if (steady_lengths(first + w)) std::fill_n(steady.begin() + (w - i), kWindow, 1);
        if (j - i >= kWindow && steady_lengths(first + j - kWindow)) std::fill(steady.end() - kWindow, steady.end(), 1);
        for (std::int64_t k = i; k < j;) {
            if (!steady[static_cast<std::size_t>(k - i)]) {
                ++k;
                continue;
            }
            std::int64_t a = k, z = k;
            while (z < j && steady[static_cast<std::size_t>(z - i)]) ++z;
            k = z;
            // An edge into or out of a silence is where the level falls away or comes
            // back, and the HP it bounds is the silence's own; it is kept only when it is
            // one of the stretch's lengths.
            while (z - a > 1 && !has_a_match(first, a, z, a)) ++a;
            while (z - a > 1 && !has_a_match(first, a, z, z - 1)) --z;
            const double ms = (first[z] - first[a]) * 1000.0 / rate;
            if (z - a >= kFewestPulses && ms >= kShortestStretchMs) out.push_back({first[a], first[z], z - a});
        }
        i = j;
    }
    return out;
}

std::vector<KeptStretch> KeptSignal::stretches(std::int32_t from, std::int32_t to) {
    if (!keep_stretches_ || to <= from) return {};
    const auto a = std::lower_bound(levels_.edges.begin(), levels_.edges.end(), from);
    const auto b = std::lower_bound(a, levels_.edges.end(), to);
    if (b - a < 2) return {};
    std::vector<KeptStretch> found = find_tape_signal(&*a, &*a + (b - a), levels_.sample_rate);
    for (const KeptStretch& s : found) {
        ++counts_.stretches;
        counts_.pulses += s.pulses;
    }
    return found;
}

void print_kept_summary(Console& console, const KeptSignal::Counts& n) {
    console.print("Kept as recorded: %d %s of signal no loader read (%lld pulses), %d bad %s\n", n.stretches,
                  n.stretches == 1 ? "stretch" : "stretches", static_cast<long long>(n.pulses), n.bad_blocks,
                  n.bad_blocks == 1 ? "block" : "blocks");
}

bool KeptSignal::keeps_pulses_of(const DecodedBlock& block) {
    if (!keep_bad_blocks_ || block_checks_out(block)) return false;
    ++counts_.bad_blocks;
    return true;
}

void KeptSignal::pulses(std::int32_t from, std::int32_t to, PulseTaker& taker) const {
    const double spt = samples_per_tstate(levels_.sample_rate);
    auto e = std::lower_bound(levels_.edges.begin(), levels_.edges.end(), from);
    if (e == levels_.edges.end()) return;
    const std::int32_t start = *e;
    // Each edge's time from the first, rounded up to a T-state, and each pulse the
    // difference of two: played back, every edge falls on the sample it was read at,
    // where pulses rounded one by one would drift by a sample over a few hundred.
    auto tstates_to = [start, spt](std::int32_t edge) {
        return static_cast<std::int64_t>(std::ceil(static_cast<double>(edge - start) / spt - 1e-6));
    };
    std::vector<std::uint16_t> piece;
    piece.reserve(kMostKeptPulses);
    for (std::int64_t done = 0; e + 1 != levels_.edges.end() && e[1] <= to; ++e) {
        const std::int64_t at = tstates_to(e[1]);
        piece.push_back(image::field16(std::max<std::int64_t>(1, at - done)));
        done = at;
        if (piece.size() == kMostKeptPulses) {
            taker.take(piece);
            piece.clear();
        }
    }
    if (!piece.empty()) taker.take(piece);
}

}  // namespace kvr
