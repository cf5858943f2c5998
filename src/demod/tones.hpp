// Pilot tones found in a signal by weighing it, not by its signs: the signal is smoothed over
// a good part of a pilot's half-period, so that noise far above what single samples can
// bear leaves its crossings where the tone's edges are, and a long run of crossings at one
// spacing is fitted with a straight line, which gives the tone's half-period to a small
// fraction of a sample.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kvr::demod {

struct Tone {
    double first_edge = 0.0;  // where its first edge lies, in samples of the signal
    double period = 0.0;      // its half-period in samples
    std::size_t hps = 0;      // how many half-periods it runs
    int polarity = 1;         // the level after its first edge: +1 or -1
    double spread = 0.0;      // how far its edges lie from the line, in samples (root mean square)
    std::vector<double> edges;  // the edges as found, hps + 1 of them

    double edge(std::size_t j) const { return first_edge + static_cast<double>(j) * period; }
    double end() const { return edge(hps); }
    // The level of half-period j (from 0).
    int level(std::size_t j) const { return j % 2 == 0 ? polarity : -polarity; }
    // The straight line through the found edges [from, to): where edge `from` lies by it,
    // and the half-period. Wow and flutter bend a long tone, so a stretch is fitted on its own.
    struct Local {
        double edge = 0.0, period = 0.0;
    };
    Local local(std::size_t from, std::size_t to) const;
};

struct ToneSearch {
    double shortest = 0.0, longest = 0.0;  // the half-periods looked for, in samples
    double smoothing = 0.0;                // the width the signal is smoothed over, in samples
    std::size_t fewest = 200;              // the half-periods a tone must run
};

// The tones of x, in order.
std::vector<Tone> find_tones(std::span<const float> x, const ToneSearch& search);

}  // namespace kvr::demod
