#include "demod/tones.hpp"

#include <algorithm>
#include <cmath>

#include "demod/signal.hpp"

namespace kvr::demod {

namespace {

// Runs shorter than this are noise; gaps longer than this many half-periods end a tone.
constexpr std::size_t kShortestRun = 12;
constexpr double kLongestGap = 64.0;

// The signal's crossings of zero, found with a hysteresis of a part of its local loudness so
// that what is left of the noise near an edge makes one crossing, not several.
std::vector<double> crossings(std::span<const float> z) {
    std::vector<double> out;
    const std::size_t n = z.size();
    if (n < 2) return out;
    constexpr std::size_t kWindow = 4096;
    int level = z[0] >= 0.0f ? 1 : -1;
    double last_zero = 0.0;  // the latest crossing of zero since the level was last decided
    std::size_t window_end = 0;
    float threshold = 0.0f;
    for (std::size_t i = 1; i < n; ++i) {
        if (i >= window_end) {
            // The loudness of the stretch ahead.
            window_end = std::min(n, i + kWindow);
            double sq = 0.0;
            for (std::size_t k = i; k < window_end; ++k) sq += static_cast<double>(z[k]) * z[k];
            threshold = static_cast<float>(0.3 * std::sqrt(sq / static_cast<double>(window_end - i)));
        }
        if ((z[i - 1] < 0.0f) != (z[i] < 0.0f)) {
            const double a = z[i - 1], b = z[i];
            last_zero = static_cast<double>(i - 1) + a / (a - b);
        }
        if (level > 0 && z[i] < -threshold) {
            level = -1;
            out.push_back(last_zero);
        } else if (level < 0 && z[i] > threshold) {
            level = 1;
            out.push_back(last_zero);
        }
    }
    return out;
}

// The straight line through the crossings [first, first + count): t = a + j * p.
struct Line {
    double a = 0.0, p = 0.0, spread = 0.0;
};
Line fit_line(const std::vector<double>& c, std::size_t first, std::size_t count) {
    double sj = 0, st = 0, sjj = 0, sjt = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const double t = c[first + j], jj = static_cast<double>(j);
        sj += jj, st += t, sjj += jj * jj, sjt += jj * t;
    }
    const double n = static_cast<double>(count);
    Line l;
    const double d = n * sjj - sj * sj;
    l.p = d > 0.0 ? (n * sjt - sj * st) / d : 0.0;
    l.a = (st - l.p * sj) / n;
    double e = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
        const double r = c[first + j] - (l.a + l.p * static_cast<double>(j));
        e += r * r;
    }
    l.spread = std::sqrt(e / n);
    return l;
}

Tone::Local fit_local(const std::vector<double>& e, std::size_t from, std::size_t to) {
    const Line l = fit_line(e, from, to - from);
    return {l.a, l.p};
}

// A run of edges at one spacing.
struct Run {
    std::vector<double> edges;
    double period = 0.0;
};

bool near(double hp, double mean) { return std::fabs(hp - mean) <= mean / 3.0; }

// A tone begins with this many half-periods each within a third of the mean so far.
constexpr std::size_t kOpening = 16;
// Once begun, it is followed edge by edge on its grid: of the crossings near where the next
// edge should be, the nearest is taken, those between are noise, and where none is near, the
// edge is put where it should be. Too many of either within the last few edges end it.
constexpr std::size_t kLookBack = 16;
constexpr std::size_t kMostMissed = 8, kMostStray = 10;
// How far from where it should be a crossing is taken for the edge, as a part of the
// half-period: noise moves a crossing far less, and the data's half-periods after a pilot
// (four fifths of its length for a ROM 1 bit) lie beyond.
constexpr double kReach = 0.15;

// Follows the tone from crossing i on; its edges, in order.
Run follow(const std::vector<double>& c, std::size_t& i) {
    Run r;
    r.edges = {c[i]};
    double mean = c[i + 1] - c[i];
    std::size_t j = i;
    while (r.edges.size() <= kOpening && j + 1 < c.size() && near(c[j + 1] - c[j], mean)) {
        r.edges.push_back(c[++j]);
        mean += (c[j] - c[j - 1] - mean) / static_cast<double>(r.edges.size() - 1);
    }
    if (r.edges.size() <= kOpening) {
        i = j > i ? j : i + 1;
        return {};
    }
    std::vector<int> missed, stray;  // per edge after the opening
    std::size_t found = r.edges.size();  // edges up to the last one found, not put
    for (;;) {
        const double last = r.edges.back(), predicted = last + mean;
        std::size_t k = j + 1, best = 0;
        int strays = 0;
        for (; k < c.size() && c[k] < predicted + kReach * mean; ++k) {
            if (c[k] < predicted - kReach * mean) {
                if (c[k] > last + 0.2 * mean) ++strays;
                continue;
            }
            if (best == 0 || std::fabs(c[k] - predicted) < std::fabs(c[best] - predicted)) best = k;
        }
        if (k >= c.size() && best == 0) break;
        missed.push_back(best == 0 ? 1 : 0);
        stray.push_back(strays);
        if (best != 0) {
            r.edges.push_back(c[best]);
            mean += (c[best] - last - mean) / 64.0;
            j = best;
            found = r.edges.size();
        } else {
            r.edges.push_back(predicted);
            while (j + 1 < c.size() && c[j + 1] < predicted + kReach * mean) ++j;
        }
        const std::size_t from = missed.size() > kLookBack ? missed.size() - kLookBack : 0;
        std::size_t m = 0, st = 0;
        for (std::size_t q = from; q < missed.size(); ++q) m += static_cast<std::size_t>(missed[q]), st += static_cast<std::size_t>(stray[q]);
        if (m > kMostMissed || st > kMostStray) break;
    }
    r.edges.resize(found);
    r.period = (r.edges.back() - r.edges.front()) / static_cast<double>(r.edges.size() - 1);
    i = j > i ? j : i + 1;
    return r;
}

// Runs of crossings at one spacing, however short.
std::vector<Run> runs_of(const std::vector<double>& c, const ToneSearch& s) {
    std::vector<Run> runs;
    std::size_t i = 0;
    while (i + 1 < c.size()) {
        const double first = c[i + 1] - c[i];
        if (first < s.shortest || first > s.longest) {
            ++i;
            continue;
        }
        Run r = follow(c, i);
        if (r.edges.size() > kShortestRun) runs.push_back(std::move(r));
    }
    return runs;
}

// Noise breaks a tone's crossings into runs; runs of one spacing whose edges keep the same
// step across the gap between them are one tone, with the edges of the gap put where the
// step says.
std::vector<double> joined_edges(const std::vector<Run>& runs, std::size_t& k) {
    std::vector<double> edges = runs[k].edges;
    while (k + 1 < runs.size()) {
        const Run& next = runs[k + 1];
        const std::size_t tail = std::min<std::size_t>(edges.size(), 32);
        const double p = fit_line(edges, edges.size() - tail, tail).p;
        if (std::fabs(next.period - p) > 0.05 * p) break;
        const double gap = next.edges.front() - edges.back();
        const double steps = std::round(gap / p);
        if (steps < 1.0 || steps > kLongestGap || std::fabs(gap - steps * p) > 0.3 * p) break;
        for (int m = 1; m < static_cast<int>(steps); ++m) edges.push_back(edges.back() + p);
        edges.insert(edges.end(), next.edges.begin(), next.edges.end());
        ++k;
    }
    return edges;
}

void tones_of(const std::vector<double>& c, std::span<const float> z, const ToneSearch& s, std::vector<Tone>& out) {
    const std::vector<Run> runs = runs_of(c, s);
    for (std::size_t k = 0; k < runs.size(); ++k) {
        std::vector<double> edges = joined_edges(runs, k);
        const std::size_t hps = edges.size() - 1;
        if (hps < s.fewest) continue;
        const Line l = fit_line(edges, 0, edges.size());
        Tone t;
        t.first_edge = l.a;
        t.period = l.p;
        t.hps = hps;
        t.spread = l.spread;
        t.edges = std::move(edges);
        const auto probe = static_cast<std::size_t>(std::clamp(t.edges[0] + 0.5 * l.p, 0.0, static_cast<double>(z.size() - 1)));
        t.polarity = z[probe] >= 0.0f ? 1 : -1;
        if (t.period >= s.shortest && t.period <= s.longest) out.push_back(std::move(t));
    }
}

}  // namespace

Tone::Local Tone::local(std::size_t from, std::size_t to) const {
    to = std::min(to, edges.size());
    if (to < from + 2) return {edge(from), period};
    return fit_local(edges, from, to);
}

std::vector<Tone> find_tones(std::span<const float> x, const ToneSearch& search) {
    std::vector<Tone> tones;
    if (x.empty() || !(search.shortest > 0.0) || search.longest < search.shortest) return tones;
    // Smoothed over part of the shortest half-period looked for: the tone's edges keep their
    // places, and noise is weighed down by the square root of the width.
    const auto width = static_cast<std::size_t>(std::max(0.0, std::floor(0.5 * search.smoothing))) * 2 + 1;
    const Signal level = remove_local_mean(x, static_cast<std::size_t>(8.0 * search.longest));
    std::vector<float> box(width, 1.0f / static_cast<float>(width));
    const Signal z = filter(level, box);
    tones_of(crossings(z), z, search, tones);
    return tones;
}

}  // namespace kvr::demod
