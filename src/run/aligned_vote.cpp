#include "run/aligned_vote.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/byte_bits.hpp"

namespace kvr {

namespace {

using Bits = std::vector<std::uint8_t>;  // one bit in each element

// The alignment may stray this many bits from the straight line between the two readings'
// ends: the bits a burst of noise adds or a dropout takes, more than the readings' lengths
// differ by at that place.
constexpr std::ptrdiff_t kBand = 32;
// A reading this far apart from the one the others are aligned to (in changed, gained and
// lost bits, as a share of its bits) is of something else.
constexpr double kMostApart = 0.1;
// Places where the readings differ this close together are one place: a slip within a run of
// equal bits may be aligned anywhere along the run.
constexpr std::size_t kJoin = 4;
// The confidence of a reading at a place is its mean over the place and this many bits either side.
constexpr std::size_t kAround = 2;
// At most this many doubtful places are tried every way (and 2 to this power ways).
constexpr std::size_t kMostDoubtful = 8;
// A vote may hold this many bits past the block's end: a reading that ran on into what followed.
constexpr std::size_t kRunOn = 16;

Bits bits_of(const VoteReading& r) {
    Bits out(std::min(r.bits, r.bytes.size() * 8));
    const std::span<const std::uint8_t> bytes = r.bytes;
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = static_cast<std::uint8_t>(bit_of(bytes, k));
    return out;
}

struct Aligned {
    const VoteReading* reading = nullptr;
    Bits bits;
    std::size_t skipped = 0;  // the reading's bits before these: read before the block began
    // at[i]: where the bits the reading holds for bit i of the backbone begin (those it gained
    // before it first); at[n] where what it holds past the backbone's end begins, at[n + 1] its end.
    std::vector<std::size_t> at;
    double weight = 1.0;  // what its confidences are worth: see `weighed`
};

// The reading aligned to the backbone bit by bit, with the fewest bits changed, gained and
// lost; none when it is too far apart to be a reading of the same block.
std::optional<std::vector<std::size_t>> align(const Bits& b, const Bits& r) {
    const auto n = static_cast<std::ptrdiff_t>(b.size()), m = static_cast<std::ptrdiff_t>(r.size());
    // Each bit gained or lost is one apart: readings of lengths that far apart are not aligned.
    if (n == 0 || static_cast<double>(std::abs(m - n)) > kMostApart * static_cast<double>(std::max(n, m)) + 2)
        return std::nullopt;
    // Row i (the backbone's first i bits read) holds the cells j = centre(i) - kBand ... + kBand:
    // the band follows the straight line between the two ends, whatever their lengths.
    const auto centre = [&](std::ptrdiff_t i) { return i * m / n; };
    constexpr std::ptrdiff_t width = 2 * kBand + 1;
    const auto cell = [&](std::ptrdiff_t i, std::ptrdiff_t j) -> std::ptrdiff_t {
        const std::ptrdiff_t c = j - centre(i) + kBand;
        return c >= 0 && c < width ? c : -1;
    };
    constexpr std::int32_t kFar = std::numeric_limits<std::int32_t>::max() / 2;
    enum : std::uint8_t { kBoth, kLost, kGained };  // the step into a cell
    std::vector<std::uint8_t> step(static_cast<std::size_t>((n + 1) * width));
    std::vector<std::int32_t> prev(static_cast<std::size_t>(width), kFar), cur(prev.size());
    const auto at_prev = [&](std::ptrdiff_t i, std::ptrdiff_t j) {
        const std::ptrdiff_t c = i >= 0 && j >= 0 ? cell(i, j) : -1;
        return c < 0 ? kFar : prev[static_cast<std::size_t>(c)];
    };
    for (std::ptrdiff_t i = 0; i <= n; ++i) {
        std::fill(cur.begin(), cur.end(), kFar);
        for (std::ptrdiff_t c = 0; c < width; ++c) {
            const std::ptrdiff_t j = centre(i) - kBand + c;
            if (j < 0 || j > m) continue;
            std::int32_t best = i == 0 && j == 0 ? 0 : kFar;
            std::uint8_t how = kBoth;
            if (i > 0 && j > 0) {
                const std::int32_t both = at_prev(i - 1, j - 1);
                if (both < kFar) best = both + (b[static_cast<std::size_t>(i - 1)] != r[static_cast<std::size_t>(j - 1)]);
            }
            if (i > 0 && at_prev(i - 1, j) + 1 < best) best = at_prev(i - 1, j) + 1, how = kLost;
            if (c > 0 && cur[static_cast<std::size_t>(c - 1)] + 1 < best) best = cur[static_cast<std::size_t>(c - 1)] + 1, how = kGained;
            cur[static_cast<std::size_t>(c)] = best;
            step[static_cast<std::size_t>(i * width + c)] = how;
        }
        std::swap(prev, cur);
    }
    const std::ptrdiff_t end = cell(n, m);
    const std::int32_t apart = end < 0 ? kFar : prev[static_cast<std::size_t>(end)];
    if (apart >= kFar || apart > kMostApart * static_cast<double>(std::max(n, m)) + 2) return std::nullopt;
    // Back from the end: at[i] is where the path first reaches row i.
    std::vector<std::size_t> at(static_cast<std::size_t>(n + 2), 0);
    at[static_cast<std::size_t>(n + 1)] = static_cast<std::size_t>(m);
    std::ptrdiff_t i = n, j = m;
    while (i > 0 || j > 0) {
        const std::uint8_t how = step[static_cast<std::size_t>(i * width + cell(i, j))];
        if (how == kGained) {
            --j;
            continue;
        }
        at[static_cast<std::size_t>(i)] = static_cast<std::size_t>(j);
        if (how == kBoth) --j;
        --i;
    }
    return at;
}

// The bits a reading holds before the backbone's first, more than the alignment's band can
// take up: a pilot read on as bits where noise hid its end. Found where one of the backbone's
// first runs of bits lies in the reading, at the first such run found there once only.
constexpr std::size_t kRunBits = 32, kRuns = 16, kRunStep = 64, kMostRunIn = 4096;
std::size_t run_in(const Bits& backbone, const Bits& r) {
    for (std::size_t k = 0; k < kRuns; ++k) {
        const std::size_t a = k * kRunStep;
        if (a + kRunBits > backbone.size()) break;
        const auto run = backbone.begin() + static_cast<std::ptrdiff_t>(a);
        std::optional<std::size_t> found;
        bool once = true;
        for (std::size_t p = a; p + kRunBits <= r.size() && p <= a + kMostRunIn && once; ++p) {
            if (!std::equal(run, run + static_cast<std::ptrdiff_t>(kRunBits), r.begin() + static_cast<std::ptrdiff_t>(p))) continue;
            once = !found;
            found = p;
        }
        if (found && once) return *found - a > static_cast<std::size_t>(kBand) / 2 ? *found - a : 0;
    }
    return 0;
}

float confidence_of(const VoteReading& r, std::size_t k, float plain) {
    return k < r.confidence.size() ? r.confidence[k] : plain;
}

// A place where the readings differ: bits [from, to) of the backbone, and what each reading
// holds there, the versions most strongly backed first.
struct Version {
    Bits bits;
    double backing = 0.0;
};
struct Place {
    std::size_t from = 0, to = 0;
    std::vector<Version> versions;
};

Bits version_of(const Aligned& a, std::size_t from, std::size_t to) {
    return Bits(a.bits.begin() + static_cast<std::ptrdiff_t>(a.at[from]), a.bits.begin() + static_cast<std::ptrdiff_t>(a.at[to]));
}

// How sure a reading was where it holds [from, to) of the backbone.
double sureness(const Aligned& a, std::size_t from, std::size_t to, float plain) {
    const std::size_t x = a.at[from] >= kAround ? a.at[from] - kAround : 0;
    const std::size_t y = std::min(a.bits.size(), a.at[to] + kAround);
    if (y <= x) return plain;
    double sum = 0.0;
    for (std::size_t k = x; k < y; ++k) sum += confidence_of(*a.reading, k + a.skipped, plain);
    return sum / static_cast<double>(y - x);
}

// Whether a reading holds bit i of the backbone (i < n) as it is, or nothing past its end (i == n).
bool agrees(const Aligned& a, const Bits& backbone, std::size_t i) {
    const std::size_t held = a.at[i + 1] - a.at[i];
    if (i == backbone.size()) return held == 0;
    return held == 1 && a.bits[a.at[i]] == backbone[i];
}

// The readings aligned bit by bit to a backbone: at first the reading nearest the block's
// length, then the bits they back most strongly.
struct Alignment {
    Bits backbone;
    std::vector<Aligned> all;
};

std::vector<Place> places(const Alignment& aligned, float plain) {
    const Bits& backbone = aligned.backbone;
    const std::vector<Aligned>& all = aligned.all;
    const std::size_t n = backbone.size();
    std::vector<Place> out;
    for (std::size_t i = 0; i <= n; ++i) {
        const bool differ = std::any_of(all.begin(), all.end(), [&](const Aligned& a) { return !agrees(a, backbone, i); });
        if (!differ) continue;
        if (!out.empty() && i < out.back().to + kJoin) out.back().to = i + 1;
        else out.push_back({i, i + 1, {}});
    }
    for (Place& p : out) {
        for (const Aligned& a : all) {
            Bits v = version_of(a, p.from, p.to);
            const double backing = a.weight * sureness(a, p.from, p.to, plain);
            auto same = std::find_if(p.versions.begin(), p.versions.end(), [&](const Version& x) { return x.bits == v; });
            if (same == p.versions.end()) p.versions.push_back({std::move(v), backing});
            else same->backing += backing;
        }
        std::stable_sort(p.versions.begin(), p.versions.end(),
                         [](const Version& x, const Version& y) { return x.backing > y.backing; });
    }
    return out;
}

// The backbone with each place's chosen version in it.
Bits composed(const Bits& backbone, const std::vector<Place>& at, const std::vector<std::size_t>& choice) {
    Bits bits;
    bits.reserve(backbone.size() + kRunOn);
    std::size_t k = 0;
    for (std::size_t p = 0; p < at.size(); ++p) {
        bits.insert(bits.end(), backbone.begin() + static_cast<std::ptrdiff_t>(k), backbone.begin() + static_cast<std::ptrdiff_t>(at[p].from));
        const Bits& v = at[p].versions[choice[p]].bits;
        bits.insert(bits.end(), v.begin(), v.end());
        k = std::min(at[p].to, backbone.size());
    }
    bits.insert(bits.end(), backbone.begin() + static_cast<std::ptrdiff_t>(k), backbone.end());
    return bits;
}

// The bits as `length` bytes; none when they do not hold that many or run on too far past them.
std::optional<std::vector<std::uint8_t>> as_bytes(const Bits& bits, std::size_t length) {
    if (bits.size() < length * 8 || bits.size() >= length * 8 + kRunOn) return std::nullopt;
    return packed_bits(bits, 0, length);
}

// The backbone with each place's chosen version in it, as `length` bytes.
std::optional<std::vector<std::uint8_t>> compose(const Bits& backbone, const std::vector<Place>& at,
                                                 const std::vector<std::size_t>& choice, std::size_t length) {
    return as_bytes(composed(backbone, at, choice), length);
}

// The reading the others are aligned to: the one nearest the block's length, the surest of those.
std::size_t backbone_of(const std::vector<VoteReading>& readings, std::size_t length, float plain) {
    std::size_t best = 0;
    double best_sum = -1.0;
    std::size_t best_off = std::numeric_limits<std::size_t>::max();
    for (std::size_t r = 0; r < readings.size(); ++r) {
        const std::size_t size = std::min(readings[r].bits, readings[r].bytes.size() * 8);
        const std::size_t off = size > length * 8 ? size - length * 8 : length * 8 - size;
        double sum = 0.0;
        for (std::size_t k = 0; k < size; ++k) sum += confidence_of(readings[r], k, plain);
        if (off < best_off || (off == best_off && sum > best_sum)) best = r, best_off = off, best_sum = sum;
    }
    return best;
}

// Each reading aligned to the backbone, those too far apart left out.
Alignment aligned_to(Bits backbone, const std::vector<VoteReading>& readings) {
    Alignment out{std::move(backbone), {}};
    for (const VoteReading& r : readings) {
        if (r.bits == 0) continue;
        Bits bits = bits_of(r);
        const std::size_t skipped = run_in(out.backbone, bits);
        bits.erase(bits.begin(), bits.begin() + static_cast<std::ptrdiff_t>(skipped));
        std::optional<std::vector<std::size_t>> at = align(out.backbone, bits);
        if (at) out.all.push_back({&r, std::move(bits), skipped, std::move(*at)});
    }
    return out;
}

// What each reading's confidences are worth, from how often it differs from the backbone: a
// reading's confidence at a bit stands for the odds that the bit is right, but a recording
// whose noise was misjudged (a treble cut coloured it) is surer than its bits are. So each
// reading's confidences are scaled to give on the whole the odds its bits have of agreeing
// with the backbone.
void weighed(Alignment& aligned, float plain) {
    const std::size_t n = aligned.backbone.size();
    for (Aligned& a : aligned.all) {
        std::size_t apart = 0;
        for (std::size_t i = 0; i <= n; ++i) apart += !agrees(a, aligned.backbone, i);
        const double p = (static_cast<double>(apart) + 0.5) / static_cast<double>(n + 1);
        double sum = 0.0;
        for (std::size_t k = 0; k < a.bits.size(); ++k) sum += std::fabs(confidence_of(*a.reading, k + a.skipped, plain));
        const double mean = a.bits.empty() ? 0.0 : sum / static_cast<double>(a.bits.size());
        a.weight = mean > 0.0 && p < 0.5 ? std::log((1.0 - p) / p) / mean : 0.0;  // at even odds, worth nothing
    }
}

// A backbone that lost or gained bits where the others did not is outvoted there, but the
// others were aligned to its slips and weighed against it place by place. So the readings are
// aligned again to the bits they backed, weighed by how well they agree with them, for a few
// rounds, unless a reading then no longer aligns.
constexpr int kRounds = 3;
Alignment aligned_all(const std::vector<VoteReading>& readings, std::size_t length, float plain) {
    Alignment out = aligned_to(bits_of(readings[backbone_of(readings, length, plain)]), readings);
    for (int round = 0; round < kRounds && out.all.size() >= 2; ++round) {
        const std::vector<Place> where = places(out, plain);
        if (where.empty()) break;
        Alignment again = aligned_to(composed(out.backbone, where, std::vector<std::size_t>(where.size(), 0)), readings);
        if (again.all.size() < out.all.size()) break;
        weighed(again, plain);
        out = std::move(again);
    }
    return out;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> backed_bits(const std::vector<VoteReading>& readings, std::size_t length, float plain) {
    if (readings.size() < 2) return std::nullopt;
    const Alignment all = aligned_all(readings, length, plain);
    if (all.all.size() < 2) return std::nullopt;
    const std::vector<Place> where = places(all, plain);
    return composed(all.backbone, where, std::vector<std::size_t>(where.size(), 0));
}

std::optional<std::vector<std::uint8_t>> aligned_majority(const std::vector<VoteReading>& readings, std::size_t length,
                                                          float plain) {
    if (length == 0) return std::nullopt;
    const std::optional<std::vector<std::uint8_t>> bits = backed_bits(readings, length, plain);
    return bits ? as_bytes(*bits, length) : std::nullopt;
}

std::optional<std::vector<std::uint8_t>> aligned_vote(const std::vector<VoteReading>& readings, std::size_t length,
                                                      const std::function<bool(const std::vector<std::uint8_t>&)>& checks,
                                                      float plain) {
    if (readings.size() < 2 || length == 0) return std::nullopt;
    const Alignment all = aligned_all(readings, length, plain);
    if (all.all.size() < 2) return std::nullopt;
    const std::vector<Place> where = places(all, plain);
    std::vector<std::size_t> choice(where.size(), 0);
    if (std::optional<std::vector<std::uint8_t>> voted = compose(all.backbone, where, choice, length);
        voted && checks(*voted))
        return voted;
    // The places the readings back two versions of most nearly alike are tried both ways.
    std::vector<std::size_t> doubtful;
    for (std::size_t p = 0; p < where.size(); ++p)
        if (where[p].versions.size() > 1) doubtful.push_back(p);
    const auto margin = [&](std::size_t p) { return where[p].versions[0].backing - where[p].versions[1].backing; };
    std::stable_sort(doubtful.begin(), doubtful.end(), [&](std::size_t a, std::size_t b) { return margin(a) < margin(b); });
    if (doubtful.size() > kMostDoubtful) doubtful.resize(kMostDoubtful);
    std::optional<std::vector<std::uint8_t>> found;
    for (std::uint32_t way = 1; way < (1u << doubtful.size()); ++way) {
        for (std::size_t k = 0; k < doubtful.size(); ++k) choice[doubtful[k]] = (way >> k) & 1;
        std::optional<std::vector<std::uint8_t>> bytes = compose(all.backbone, where, choice, length);
        if (!bytes || !checks(*bytes)) continue;
        if (found && *found != *bytes) return std::nullopt;  // two ways check out: neither can be trusted
        found = std::move(bytes);
    }
    return found;
}

}  // namespace kvr
