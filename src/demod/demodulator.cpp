#include "demod/demodulator.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "demod/channel.hpp"
#include "demod/signal.hpp"

namespace kvr::demod {

namespace {

constexpr double kTstatesPerSecond = 3.5e6;
// The ROM scheme's 0 bit to its pilot: where the equaliser's band is set before the data
// has been read.
constexpr double kBitToPilot = 855.0 / 2168.0;
// Bits are read at a rate that gives the shortest half-period at least this many samples.
constexpr double kFewestSamples = 6.0;
// The data after a pilot is first read from this many seconds of signal after it, and from
// twice as many while it reaches within the margin of the stretch's end.
constexpr double kFirstStretch = 8.0, kStretchMargin = 0.2;

// The tone's last stretch short of its last `spare` edges, which may be the sync's and the
// data's, as a tone of its own: fitted on its own, so that wow over a long pilot does not
// bend the line it is measured by.
Tone near_end(const Tone& tone, std::size_t hps, std::size_t spare) {
    const std::size_t n = tone.edges.size() > spare + 2 ? tone.edges.size() - spare : tone.edges.size();
    const std::size_t from = n > hps + 1 ? n - 1 - hps : 0;
    const Tone::Local l = tone.local(from, n);
    Tone t;
    t.first_edge = l.edge;
    t.period = l.period;
    t.hps = n - 1 - from;
    t.polarity = tone.level(from);
    t.edges.assign(tone.edges.begin() + static_cast<std::ptrdiff_t>(from), tone.edges.begin() + static_cast<std::ptrdiff_t>(n));
    return t;
}

Tone shifted(Tone t, double by) {
    t.first_edge -= by;
    for (double& e : t.edges) e -= by;
    return t;
}

void scale_positions(FoundData& f, double by) {
    Tone& t = f.tone;
    t.first_edge /= by;
    t.period /= by;
    for (double& e : t.edges) e /= by;
    DataReading& d = f.data;
    d.pilot_end /= by, d.sync_middle /= by, d.start /= by, d.short_hp /= by;
    for (DecidedBit& b : d.bits) b.start /= by, b.middle /= by, b.end /= by;
}

void shift_positions(FoundData& f, double by) {
    f.tone = shifted(f.tone, -by);
    DataReading& d = f.data;
    d.pilot_end += by, d.sync_middle += by, d.start += by;
    for (DecidedBit& b : d.bits) b.start += by, b.middle += by, b.end += by;
}

// Reads the block after one tone, from the signal's stretch [from, to).
std::optional<FoundData> read_after(std::span<const float> x, const Tone& tone, std::size_t from, std::size_t to,
                                    double rate) {
    const double P = tone.period;
    const Tone last = near_end(tone, 48, 24);
    const double measured_to = last.end();
    const Channel raw = measure_channel(x, last, last.first_edge, measured_to);
    if (raw.response.empty()) return std::nullopt;
    const std::vector<float> taps = equaliser(raw, kBitToPilot * P);
    const Signal y = filter(x.subspan(from, to - from), taps);
    const Tone here = shifted(last, static_cast<double>(from));
    const Channel after = measure_channel(y, here, here.first_edge, measured_to - static_cast<double>(from));
    if (after.response.empty()) return std::nullopt;
    const PrefixSums s(y);
    BitSearch search;
    search.rate = rate;
    search.noise = after.noise;
    search.amplitude = std::abs(after.response.front());
    std::optional<DataReading> data = read_data(s, shifted(tone, static_cast<double>(from)), search);
    if (!data) return std::nullopt;
    FoundData f{tone, std::move(*data)};
    shift_positions(f, static_cast<double>(from));
    f.tone = tone;
    return f;
}

// The tones of a signal: sought with a light smoothing, which keeps the edges of short
// half-periods, and with a heavy one, which finds the ROM scheme's pilots far deeper in
// noise. Of tones found both ways, the longer is kept.
std::vector<Tone> all_tones(std::span<const float> x, double per_tstate) {
    std::vector<Tone> found = find_tones(x, {1000.0 * per_tstate, 3500.0 * per_tstate, 500.0 * per_tstate, 200});
    std::vector<Tone> deep = find_tones(x, {1900.0 * per_tstate, 3500.0 * per_tstate, 1100.0 * per_tstate, 200});
    for (Tone& t : deep) {
        bool better = true;
        for (auto it = found.begin(); it != found.end();) {
            const bool overlap = it->first_edge < t.end() && t.first_edge < it->end();
            if (overlap && it->hps >= t.hps) better = false;
            it = overlap && better ? found.erase(it) : it + 1;
        }
        if (better) found.push_back(std::move(t));
    }
    std::sort(found.begin(), found.end(), [](const Tone& a, const Tone& b) { return a.first_edge < b.first_edge; });
    return found;
}

// A pilot's edges, as a tone's, up to the edge that ends it. Noise moves each edge the tone
// was followed by a little, and a loader may take one half-period cut short for the pilot's
// end: the edges are laid evenly between every 16th, and where noise put one of those out of
// step, or the tone as first found ended short of the data's start, over the longer stretch.
template <typename Put>
void put_pilot(const FoundData& f, Put& put) {
    constexpr std::size_t kStride = 16;
    const double P = f.tone.period, end = f.data.pilot_end - 0.25 * P;
    if (f.tone.edges.empty() || !(P > 0.0)) return;
    double last = f.tone.edges.front();
    put(last);
    // The edges strictly between the last one laid and e, e's whole periods apart.
    auto lay_between = [&](double e, double m) {
        for (double k = 1.0; k < m; k += 1.0) put(last + k * (e - last) / m);
    };
    for (std::size_t i = kStride; i < f.tone.edges.size() && f.tone.edges[i] < end; i += kStride) {
        const double e = f.tone.edges[i], m = std::round((e - last) / P);
        if (m < 1.0 || std::fabs(e - last - m * P) > 0.3 * P) continue;
        lay_between(e, m);
        put(e);
        last = e;
    }
    lay_between(f.data.pilot_end, std::round((f.data.pilot_end - last) / P));  // the caller puts the end
}

}  // namespace

Demodulation demodulate(std::span<const float> x, double rate) {
    Demodulation out;
    if (x.empty() || !(rate > 0.0)) return out;
    const double per_tstate = rate / kTstatesPerSecond;
    const double bit0 = 855.0 * per_tstate;
    const int factor = bit0 >= kFewestSamples ? 1 : static_cast<int>(std::min(8.0, std::ceil(kFewestSamples / bit0)));
    const Signal up = upsample(x, factor);
    const double r = rate * factor, pt = per_tstate * factor;
    const std::vector<Tone> tones = all_tones(up, pt);
    double covered = 0.0;  // the end of the last block read: tones within it are data
    for (std::size_t i = 0; i < tones.size(); ++i) {
        const Tone& t = tones[i];
        if (t.first_edge < covered) continue;
        const auto from = static_cast<std::size_t>(std::max(0.0, t.first_edge - 4.0 * t.period));
        // The data runs at most to the next pilot like this one; it is read from a stretch
        // that grows while the data reaches its end.
        std::size_t to = up.size();
        for (std::size_t k = i + 1; k < tones.size(); ++k)
            if (std::fabs(tones[k].period - t.period) < 0.05 * t.period && tones[k].first_edge > t.end()) {
                to = static_cast<std::size_t>(tones[k].first_edge);
                break;
            }
        std::size_t stretch = static_cast<std::size_t>(t.end() - static_cast<double>(from) + kFirstStretch * r);
        std::optional<FoundData> f;
        for (;;) {
            const std::size_t until = std::min(to, from + stretch);
            f = read_after(up, t, from, until, r);
            if (!f || until >= to || f->data.end() < static_cast<double>(until) - kStretchMargin * r) break;
            stretch *= 2;
        }
        if (!f) continue;
        covered = f->data.end();
        scale_positions(*f, factor);
        out.blocks.push_back(std::move(*f));
    }
    return out;
}

Recording decided_levels(const Demodulation& d, const Recording& around, std::int32_t finer) {
    Recording out;
    out.count = around.count * finer;
    out.sample_rate = around.sample_rate * finer;
    out.first_low = around.first_low;
    std::vector<std::int32_t> decided;
    auto put = [&](double t) {
        const auto e = static_cast<std::int32_t>(std::lround(t * finer));
        if (e <= 0 || e >= out.count) return;
        if (!decided.empty() && e <= decided.back()) return;
        decided.push_back(e);
    };
    std::size_t k = 0;  // the next edge of `around`
    const std::vector<std::int32_t> none;
    for (const FoundData& f : d.blocks) {
        const double from = f.tone.first_edge;
        const double to = f.data.end() + 8.0 * f.data.short_hp;  // a long level ends the data
        while (k < around.edges.size() && around.edges[k] < from) put(around.edges[k++]);
        put_pilot(f, put);
        put(f.data.pilot_end);
        put(f.data.sync_middle);
        put(f.data.start);
        for (const DecidedBit& b : f.data.bits) put(b.middle), put(b.end);
        while (k < around.edges.size() && around.edges[k] < to) ++k;
    }
    while (k < around.edges.size()) put(around.edges[k++]);
    out.edges.assign(decided.begin(), decided.end());
    return out;
}

}  // namespace kvr::demod
