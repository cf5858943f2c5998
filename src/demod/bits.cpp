#include "demod/bits.hpp"

#include <algorithm>
#include <cmath>

namespace kvr::demod {

namespace {

// The sync of a ROM-scheme block: two half-periods, the first 667 T-states long of 1402.
constexpr double kSyncSplit = 667.0 / 1402.0;

// Positive for a 1: a bit starting at t, its first half-period at level q, a 0's half-period T.
double bit_statistic(const PrefixSums& s, double t, double T, int q) {
    return q * (s.sum(t + T, t + 2.0 * T) - s.sum(t + 2.0 * T, t + 3.0 * T));
}

// How well n bits read from d fit, with the timing held fixed: each bit is decided as the
// tracker decides it, and the whole of it, both its half-periods, is weighed against the
// signal. About twice the amplitude where d and T are right, less the further they are off;
// a bit length that is wrong but decides bits the short statistic likes (two thirds of the
// right one reads a run of 0 bits as 0s and 1s) still fits badly over whole bits.
struct BitsFit {
    double fit = 0.0, span = 0.0;  // the fit, and the samples the n bits take
};
BitsFit bits_fit(const PrefixSums& s, double d, double T, int q, int n) {
    double t = d, total = 0.0;
    for (int k = 0; k < n; ++k) {
        const double h = (bit_statistic(s, t, T, q) > 0.0 ? 2.0 : 1.0) * T;
        total += q * (s.sum(t, t + h) - s.sum(t + h, t + 2.0 * h));
        t += 2.0 * h;
    }
    return {total / (t - d) * 2.0, t - d};
}

// The sync's two half-periods between the pilot's last edge e and the data at d, at levels
// -v and v: about the amplitude when they are there.
double sync_fit(const PrefixSums& s, double e, double d, int v) {
    const double m = e + kSyncSplit * (d - e);
    return v * (s.sum(m, d) - s.sum(e, m)) / (d - e);
}

// Where near `at` the level turns from v to -v: the step's correlation, best within reach.
double best_edge(const PrefixSums& s, double at, double reach, double w, int v) {
    double best = at, score = -1e300;
    for (double x = at - reach; x <= at + reach; x += 0.25) {
        const double c = v * (s.sum(x - w, x) - s.sum(x, x + w));
        if (c > score) score = c, best = x;
    }
    return best;
}

struct Start {
    double pilot_end = 0.0, data = 0.0, T = 0.0, score = -1e300;
    int polarity = 1;
};

// Starts are sought over a few bits, where a bit length somewhat off still fits, then the
// best few are settled over more.
constexpr int kCoarseBits = 10;
constexpr int kFineBits = 32;
constexpr std::size_t kKept = 8;

// The pilot's last two half-periods before its last edge e, the last at level v: about the
// amplitude when e is where the pilot ends, far less within the data.
double pilot_fit(const PrefixSums& s, double e, double P, int v) {
    return v * (s.sum(e - P, e) - s.sum(e - 2.0 * P, e - P)) / (2.0 * P);
}

double start_fit(const PrefixSums& s, const Start& c, double d, double T, int bits, double P) {
    // Each part weighs as the samples it covers: the sync and the pilot's last half-periods
    // are few samples, whose noise would otherwise outweigh all the bits'.
    const BitsFit b = bits_fit(s, d, T, c.polarity, bits);
    const double sync = d - c.pilot_end;
    return (0.5 * b.fit * b.span + sync_fit(s, c.pilot_end, d, -c.polarity) * sync + pilot_fit(s, c.pilot_end, P, -c.polarity) * 2.0 * P) /
           (b.span + sync + 2.0 * P);
}

// The best start among the pilot's last few edges, the sync lengths and the bit lengths.
Start find_start(const PrefixSums& s, const Tone& tone, const BitSearch& search) {
    // The tone may have been followed a few edges into the sync and the data.
    const std::size_t n = tone.edges.size();
    const std::size_t base = n > 84 ? n - 84 : 0;
    const Tone::Local local = tone.local(base, n > 20 ? n - 20 : n);
    const double P = local.period;
    Start best;
    if (!(P > 0.0)) return best;
    std::vector<Start> kept;
    auto keep = [&kept](const Start& c) {
        if (kept.size() < kKept) {
            kept.push_back(c);
        } else {
            auto worst = std::min_element(kept.begin(), kept.end(), [](const Start& a, const Start& b) { return a.score < b.score; });
            if (c.score > worst->score) *worst = c;
        }
    };
    const auto edge_at = [&](std::size_t j) {
        const double predicted = local.edge + static_cast<double>(j - base) * P;
        return best_edge(s, predicted, 0.3 * P, 0.3 * P, tone.level(j - 1));
    };
    // The pilot's own level, where the tone is surely still the pilot. A pilot's last edge
    // has its last two half-periods behind it at about that level; an edge within the data
    // has far less, though the bits after it may fit better than those after the true end
    // (where the treble is lost and not wholly made up, long half-periods read louder, so a
    // start within a header's first zero bytes, with more 1 bits after it, scores higher).
    std::vector<double> inside;
    for (std::size_t j = base + 1; j < std::min(base + 21, n > 40 ? n - 40 : 0); ++j)
        inside.push_back(pilot_fit(s, edge_at(j), P, tone.level(j - 1)));
    double pilot_level = 0.0;
    if (!inside.empty()) {
        std::nth_element(inside.begin(), inside.begin() + static_cast<std::ptrdiff_t>(inside.size() / 2), inside.end());
        pilot_level = inside[inside.size() / 2];
    }
    std::vector<std::pair<Start, double>> per_edge;  // the best start after each edge, its pilot's fit
    for (std::size_t j = std::max<std::size_t>(n, 24) - 24; j <= n + 1; ++j) {
        const int v = tone.level(j - 1);  // the last pilot half-period's level
        const double e = edge_at(j);
        const double behind = pilot_fit(s, e, P, v);  // the pilot's last two half-periods
        const double step = std::max(0.5, 0.6 * P / 40.0);
        // Only the best start after each edge is kept: the starts near the best differ
        // little, and would crowd out the other edges, one of which may be the pilot's end.
        Start here;
        for (double u = 0.4 * P; u <= 1.0 * P; u += step) {
            const double d = e + u;
            const double sync = sync_fit(s, e, d, v);
            if (sync <= 0.0) continue;
            double top = -1e300, top_T = 0.0;
            for (double r = search.fewest_ratio; r <= search.most_ratio; r += 0.01) {
                const double score = bits_fit(s, d, r * P, -v, kCoarseBits).fit;
                if (score > top) top = score, top_T = r * P;
            }
            const double score = top + 0.5 * sync + 0.5 * behind;
            if (score > here.score) here = {e, d, top_T, score, -v};
        }
        if (here.score > -1e300) per_edge.push_back({here, behind});
    }
    // Only edges with the pilot at half its level or more behind them can end it (all of
    // them where none has, or the tone is too short to measure its level: then it tells nothing).
    const auto ends = [&](const std::pair<Start, double>& c) { return c.second >= 0.5 * pilot_level; };
    const bool any_ends = !inside.empty() && std::any_of(per_edge.begin(), per_edge.end(), ends);
    for (const auto& c : per_edge)
        if (!any_ends || ends(c)) keep(c.first);
    for (const Start& c : kept) {
        for (double d = c.data - 0.75; d <= c.data + 0.75; d += 0.1)
            for (double T = c.T * 0.98; T <= c.T * 1.02; T += c.T * 0.001) {
                const double score = start_fit(s, c, d, T, kFineBits, P);
                if (score > best.score) best = {c.pilot_end, d, T, score, c.polarity};
            }
    }
    return best;
}

// The noise of a sum over T samples, measured on the pilot: sums of T samples in the middle
// of its last half-periods differ only by their noise. Noise the equaliser has coloured sums
// up otherwise than white noise would, so it is measured as the decisions weigh it.
double window_noise(const PrefixSums& s, const Tone& tone, double T) {
    const std::size_t n = tone.edges.size();
    if (n < 48) return 0.0;
    const std::size_t from = n > 72 ? n - 72 : 0, to = n - 24;
    const Tone::Local local = tone.local(from, to);
    double sum = 0.0, sq = 0.0;
    std::size_t count = 0;
    for (std::size_t j = from; j + 1 < to; ++j) {
        const double e = local.edge + static_cast<double>(j - from) * local.period;
        const double a = e + 0.5 * (local.period - T);
        const double v = tone.level(j) * s.sum(a, a + T);
        sum += v, sq += v * v, ++count;
    }
    const double mean = sum / static_cast<double>(count);
    return std::sqrt(std::max(0.0, sq / static_cast<double>(count) - mean * mean));
}

// The bit clock and the level, kept in step with the edges the decisions imply.
class Tracker {
public:
    Tracker(const PrefixSums& s, const Start& start, const BitSearch& search, double sum_noise)
        : s_(s), last_(start.data), T_(start.T), T0_(start.T), q_(start.polarity),
          amplitude_(std::max(search.amplitude, 1e-6)), reference_(amplitude_),
          sum_noise_(std::max(sum_noise, 1e-6)), rate_(search.rate) {}

    // Reads on until the data ends: the bits up to the last that were read well, or to where
    // the bits as a whole give way to noise if that is later, with those read on through a
    // weak stretch between them.
    std::vector<DecidedBit> run(std::size_t most_bits, std::vector<DecidedBit>& past) {
        std::vector<DecidedBit> bits;
        std::size_t last_strong = 0;  // bits up to the end of the last strong run
        std::size_t strong_run = 0, weak_run = 0;
        const double end = static_cast<double>(s_.size());
        while (bits.size() < most_bits && last_ + 4.0 * T_ < end) {
            bool strong = false;
            bits.push_back(next(strong));
            if (strong) {
                ++strong_run;
                // A few strong bits in a row are signal; one alone may be noise.
                if (strong_run >= kStrongRun || (strong_run == bits.size())) {
                    last_strong = bits.size();
                    weak_run = 0;
                }
            } else {
                strong_run = 0;
                if (++weak_run > weak_allowance()) break;
            }
            if (std::fabs(T_ / T0_ - 1.0) > 0.15) break;  // no longer the bits it began with
        }
        const std::size_t data_ends = std::min(bits.size(), std::max(last_strong, data_end()));
        const std::size_t whole = whole_bytes(data_ends, bits.size());
        if (whole < data_ends)
            past.assign(bits.begin() + static_cast<std::ptrdiff_t>(whole), bits.begin() + static_cast<std::ptrdiff_t>(data_ends));
        bits.resize(whole);
        return bits;
    }

private:
    static constexpr std::size_t kStrongRun = 4;

    // Blocks are whole bytes. A few bits past a byte's end are what ringing after the last
    // edge looks like; a byte short by a few bits is one whose last bits were read weakly,
    // and they count unless they look like noise. Bits that make no whole byte either way
    // are left off: a part of a byte never checks out, the whole bytes before it may.
    std::size_t whole_bytes(std::size_t end, std::size_t read) const {
        const std::size_t over = end % 8;
        if (over == 0) return end;
        if (over <= 3) return end - over;
        std::size_t up = end;
        while (up % 8 != 0 && up < read && evidence_[up] >= 1.2) ++up;
        return up % 8 == 0 ? up : end - over;
    }
    // Where the block's bits give way to noise, judged over all of them: where the sum of each
    // bit's evidence less a level midway between noise alone and the block's own bits is
    // largest. Deep in noise the last few strong bits in a row may end well before the block.
    std::size_t data_end() const {
        constexpr std::size_t kOpening = 64;
        constexpr double kNoiseAlone = 0.8;
        const std::size_t n = evidence_.size();
        if (n < kOpening) return 0;
        std::vector<double> opening(evidence_.begin(), evidence_.begin() + kOpening);
        std::nth_element(opening.begin(), opening.begin() + kOpening / 2, opening.end());
        const double own = opening[kOpening / 2];
        if (own < 2.0 * kNoiseAlone) return 0;  // too weak to tell from noise
        const double level = 0.5 * (own + kNoiseAlone);
        double sum = 0.0, best = 0.0;
        std::size_t end = 0;
        for (std::size_t i = 0; i < n; ++i) {
            sum += evidence_[i] - level;
            if (sum > best) best = sum, end = i + 1;
        }
        return end;
    }
    // Bits within this much time of weak signal are read on through: a dropout.
    std::size_t weak_allowance() const { return static_cast<std::size_t>(0.1 * rate_ / (3.0 * T_)) + 8; }

    DecidedBit next(bool& strong) {
        const double t = last_;
        const double D = bit_statistic(s_, t, T_, q_);
        const int value = D > 0.0 ? 1 : 0;
        const double units = value ? 2.0 : 1.0;
        // The decision's size against the noise of a decision: about 0.8 for noise alone.
        const double noise = sum_noise_ * std::sqrt(2.0 * T_ / T0_);
        const double evidence = std::fabs(D) / noise;
        strong = evidence >= 2.5;
        evidence_.push_back(evidence);
        // Weak bits keep the clock as it was.
        const double gain = strong ? std::min(1.0, evidence / 6.0) : 0.0;
        DecidedBit b;
        b.start = t;
        b.value = value;
        // The log-likelihood ratio of two means +-2 A T under the decision's noise, A the level
        // followed. Its floor is low: at a tenth of the level the data began at, bits read in
        // a dropout at a hundredth were ten times too sure, too sure to be mended or outvoted.
        const double mean = 2.0 * std::max(amplitude_, 0.02 * reference_) * T_;
        b.confidence = static_cast<float>(2.0 * mean * D / (noise * noise));
        b.middle = edge(units, q_, gain);
        level(t, b.middle, q_);
        b.end = edge(units, -q_, gain);
        level(b.middle, b.end, -q_);
        return b;
    }

    // The next edge, `units` short half-periods after the last, from level v to -v.
    //
    // The bit length moves by a small share of each edge's error: a tape's speed changes over
    // hundreds of bits (wow of a tenth at half a hertz moves it by about a fortieth of a
    // percent a bit), while noise moves single edges. With a larger share, a few edges noise
    // had moved, or the edges around a slip, walked the bit length down a tenth within a
    // hundred bits and the block was lost from there on. The error is measured against the
    // level followed, but not against less than half the level the data began at: after a
    // slip the level followed falls, and the errors it scaled up walked the clock off too.
    double edge(double units, int v, double gain) {
        const double predicted = last_ + units * T_;
        const double w = 0.5 * T_;
        const double error = std::clamp(v * (s_.sum(predicted - w, predicted) + s_.sum(predicted, predicted + w)) /
                                            (2.0 * std::max(amplitude_, 0.5 * reference_)),
                                        -0.4 * T_, 0.4 * T_);
        last_ = predicted + 0.3 * gain * error;
        T_ += 0.005 * gain * error / units;
        return last_;
    }

    // Follows the level from the inside of a half-period at level v.
    void level(double from, double to, int v) {
        const double margin = 0.25 * (to - from);
        const double inside = to - from - 2.0 * margin;
        if (inside <= 0.0) return;
        const double a = v * s_.sum(from + margin, to - margin) / inside;
        // About a millisecond.
        const double k = std::min(1.0, (to - from) / (0.001 * rate_));
        amplitude_ = std::max(1e-6, amplitude_ + k * (a - amplitude_));
    }

    const PrefixSums& s_;
    double last_;  // the last edge
    double T_, T0_;
    int q_;
    double amplitude_;
    double reference_;  // the amplitude where the data began
    double sum_noise_;  // the noise of a sum over T0 samples
    std::vector<double> evidence_;  // of each bit read
    double rate_;
};

// Noise may have ended the tone's crossings early: it is followed on through the signal, its
// edges put where the signal turns, and it ends where the half-periods as a whole stop holding
// the level they should: where the sum of each one's level (against the amplitude) less half
// the amplitude is largest, a change point over every half-period followed. A test of each
// half-period alone ends a long pilot deep in noise early at its first two weak ones in a
// row, and the data is then sought within the pilot.
Tone followed_on(const PrefixSums& s, Tone tone, double amplitude) {
    const std::size_t n = tone.edges.size();
    if (n < 32 || !(amplitude > 0.0)) return tone;
    const Tone::Local local = tone.local(n - 32, n);
    const double P = local.period;
    // Half-periods far past the change point (this much of the sum lost) end the following.
    constexpr double kGivenUp = 6.0;
    constexpr std::size_t kRetaken = 8;
    double sum = 0.0, best = 0.0;
    std::size_t kept = tone.edges.size();
    // Each edge is sought near where the edges so far put it, and moves that place and the
    // half-period a little: noise that moves one edge does not move the next.
    double at = tone.edges.back(), period = P;
    while (sum > best - kGivenUp && at + period < static_cast<double>(s.size())) {
        const int v = tone.level(tone.edges.size() - 1);  // the half-period after the last edge
        const double held = v * s.sum(at, at + period) / (amplitude * period);
        const double predicted = at + period;
        // The finder puts edges where it expects them when it misses crossings, and its last
        // ones may have drifted off the tone: the first few edges are sought wider, whatever
        // the level held, so that the tone is taken up again where it really lies.
        const bool first = tone.edges.size() < n + kRetaken;
        const double e = held > 0.5 || first ? best_edge(s, predicted, (first ? 0.3 : 0.15) * period, 0.3 * period, v) : predicted;
        tone.edges.push_back(e);
        at = predicted + 0.2 * (e - predicted);
        period += 0.01 * (e - predicted);
        sum += std::clamp(held, -1.5, 1.5) - 0.5;
        if (sum > best) best = sum, kept = tone.edges.size();
    }
    tone.edges.resize(kept);
    tone.hps = tone.edges.size() - 1;
    return tone;
}

}  // namespace

std::optional<DataReading> read_data(const PrefixSums& s, const Tone& found, const BitSearch& search) {
    const Tone tone = followed_on(s, found, search.amplitude);
    const Start start = find_start(s, tone, search);
    if (!(start.score > -1e300)) return std::nullopt;
    DataReading r;
    r.pilot_end = start.pilot_end;
    r.start = start.data;
    r.polarity = start.polarity;
    r.short_hp = start.T;
    r.sync_middle = best_edge(s, start.pilot_end + kSyncSplit * (start.data - start.pilot_end),
                              0.2 * (start.data - start.pilot_end), 0.2 * (start.data - start.pilot_end), start.polarity);
    Tracker tracker(s, start, search, window_noise(s, tone, start.T));
    r.bits = tracker.run(search.most_bits, r.past);
    if (r.bits.empty()) return std::nullopt;
    return r;
}

}  // namespace kvr::demod
