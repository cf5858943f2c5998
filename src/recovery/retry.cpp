#include "recovery/retry.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>

#include "analysis/bits.hpp"
#include "analysis/hp_cursor.hpp"
#include "core/worker_pool.hpp"
#include "loaders/loader.hpp"
#include "recovery/level_splice.hpp"

namespace kvr {

namespace {

std::int64_t length_of(const DecodedBlock& block) { return static_cast<std::int64_t>(block.data.size()); }

FrontEndSettings front_end_with(void (*change)(FrontEndSettings&)) {
    FrontEndSettings s;
    change(s);
    return s;
}

// How far before the pass and after the first reading the levels are made again: room for
// the pilot search and for a block that the first reading ended early.
constexpr double kLeadSeconds = 0.5;
constexpr double kTailSeconds = 2.0;
// Where a reading stopped, the levels mended either side of it, made again with this much
// of the recording around them, and how many places in one block are mended before it is
// read again whole. A dropout or a burst of noise spoils a few milliseconds: a quarter of
// a second either side holds it, and the front end falls into step within the context.
constexpr double kMendSeconds = 0.25;
constexpr double kContextSeconds = 0.5;
// A weak stretch is made again with this much either side of it, where the levels fall
// into step again.
constexpr double kWeakPadSeconds = 0.05;
constexpr double kWeakContextSeconds = 0.2;
constexpr int kMendRounds = 4;

}  // namespace

// The ways that recover the most blocks of damaged recordings come first: the first that
// reads a block well ends the search. Ways that the demodulator made needless (every block
// they recovered it recovers too: no smoothing, bit lengths 25 % apart) are no longer tried.
// Ending blocks at a 50 % step still pays: a block that runs on into the next block's pilot,
// ended where it should, lets that block be found.
const std::vector<RetryVariant>& retry_variants() {
    static const std::vector<RetryVariant> variants = {
        {"the classic levels", true, {}, nullptr},
        {"front end, hysteresis 0.15", false, front_end_with([](FrontEndSettings& s) { s.hysteresis = 0.15; }), nullptr},
        {"front end, baseline 0.8 ms", false, front_end_with([](FrontEndSettings& s) { s.baseline_ms = 0.8; }), nullptr},
        {"front end, hysteresis 0.5", false, front_end_with([](FrontEndSettings& s) { s.hysteresis = 0.5; }), nullptr},
        {"front end, heavy smoothing", false, front_end_with([](FrontEndSettings& s) { s.smoothing = 4; }), nullptr},
        {"front end, baseline 2.5 ms", false, front_end_with([](FrontEndSettings& s) { s.baseline_ms = 2.5; }), nullptr},
        {"front end, first channel alone", false, front_end_with([](FrontEndSettings& s) { s.channel = 0; }), nullptr},
        {"front end, second channel alone", false, front_end_with([](FrontEndSettings& s) { s.channel = 1; }), nullptr},
        {"bits by their middle value", false, {}, [](Settings& s) { s.middle_value = true; }},
        {"bits by their running means", false, {}, [](Settings& s) { s.alternative_bits = true; }},
        {"blocks ended at a 50 % step", false, {}, [](Settings& s) {
             s.end_given = true;
             s.end_threshold_pct = 50;
         }},
        {"the classic levels, bits by their middle value", true, {}, [](Settings& s) { s.middle_value = true; }},
    };
    return variants;
}

bool block_checks_out(const DecodedBlock& block) { return block.loader->checks_out(block); }

bool looks_like_noise(const DecodedBlock& block) {
    const std::vector<std::uint8_t>& d = block.data;
    return d.size() < 3 || block.last_byte_bits != 8 || std::all_of(d.begin(), d.end(), [](std::uint8_t v) { return v == 0; });
}

bool pilot_read_as_bits(const DecodedBlock& block) {
    const BlockTimings& t = block.timings;
    if (t.pilot_pulse <= 0 || std::abs(t.bit1 - t.pilot_pulse) * 100 > t.pilot_pulse * 15) return false;
    const auto ones = std::count(block.data.begin(), block.data.end(), std::uint8_t{0xFF});
    return static_cast<std::size_t>(ones) * 10 >= block.data.size() * 9;
}

ChecksumRetry::ChecksumRetry(const FrameSource& frames, const Recording& levels, const ClassicLevels& classic,
                             std::vector<FrameSpan> weak, const Settings& settings)
    : frames_(frames),
      levels_(levels),
      classic_(classic),
      weak_(std::move(weak)),
      count_(levels.count),
      rate_(levels.sample_rate),
      settings_(settings) {}

bool ChecksumRetry::needs_retry(const DecodedBlock& block) const { return !block_checks_out(block) || ended_early(block); }

// A block that ended before the length its header announced: the samples its missing bytes
// take at most (every bit a 1), so that a retry reads it whole; 0 for any other block.
std::int64_t ChecksumRetry::still_to_come(const DecodedBlock& block) const {
    if (!ended_early(block)) return 0;
    const double per_byte = 16.0 * std::max(block.timings.bit1, 0) * samples_per_tstate(rate_);
    return static_cast<std::int64_t>(per_byte * (expected_length_ - length_of(block)) * 1.05);
}

// How far from the block's start its readings reach: a block as long as its header
// announced ends where it did (give or take the tail), any other may end far later.
std::int64_t ChecksumRetry::reach_of(const DecodedBlock& block, std::int64_t span) const {
    const bool announced = block.loader->held_to_announced_length && expected_length_ >= 0;
    if (announced && !ended_early(block)) return span;
    return std::max(2 * span, span + still_to_come(block));
}

// A good ROM header announces the length of the data block that follows it.
void ChecksumRetry::remember(const DecodedBlock& block) {
    ++counts_.blocks;
    if (block_checks_out(block)) ++counts_.good;
    expected_length_ = announced_by(block);
}

bool ChecksumRetry::ended_early(const DecodedBlock& block) const {
    return block.loader->held_to_announced_length && expected_length_ >= 0 && length_of(block) < expected_length_;
}

std::optional<BetterReading> ChecksumRetry::improve(const FirstReading& first) {
    outcome_ = {};
    const DecodedBlock& block = first.reading.block;
    const CursorState& start = first.start.at;
    std::optional<Reading> better;
    if (needs_retry(block)) {
        outcome_.retried = true;
        const std::int64_t count = count_;
        const std::int64_t from = std::max<std::int64_t>(0, start.pos - static_cast<std::int64_t>(kLeadSeconds * rate_));
        const std::int64_t span = std::max<std::int64_t>(block.end, start.pos) - start.pos;
        const std::int64_t reach = reach_of(block, span);
        const std::int64_t to =
            std::min<std::int64_t>(count, start.pos + reach + static_cast<std::int64_t>(kTailSeconds * rate_));
        const Span window{first, from, to};
        better = mend(window);
        if (!better) better = read_whole_again(window);
        if (better) ++counts_.recovered;
    }
    remember(better ? better->reading.block : block);
    return better;
}

namespace {

// Makes something for each way in turn, `at_once` ways at a time on other threads while
// `use` takes the one made first (making it takes far longer than reading a block from it);
// stops at the first `use` that returns true. The ways still being made are told to stop
// early then, so that waiting for them costs little.
template <class Make, class Use>
bool ways_ahead(const std::vector<const RetryVariant*>& ways, std::size_t at_once, Make make, Use use) {
    std::atomic<bool> stop{false};
    std::deque<Running<decltype(make(*ways.front(), stop))>> making;
    std::size_t launched = 0;
    auto fill = [&] {
        for (; launched < ways.size() && making.size() < at_once; ++launched)
            making.push_back(run_elsewhere([&make, &stop, v = ways[launched]] { return make(*v, stop); }));
    };
    fill();
    for (std::size_t i = 0; i < ways.size(); ++i) {
        auto made = making.front().get();
        making.pop_front();
        fill();
        if (use(*ways[i], made)) {
            stop = true;
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<ChecksumRetry::Reading> ChecksumRetry::read_whole_again(const Span& w) {
    const WindowFrameSource window(frames_, static_cast<std::uint64_t>(w.from), static_cast<std::uint64_t>(w.to - w.from));
    std::vector<const RetryVariant*> ways;
    for (const RetryVariant& v : retry_variants())
        if (v.front_end.channel < static_cast<int>(frames_.channels())) ways.push_back(&v);
    // Each way's levels are made on every processor already: one way at a time, the next
    // one made while this one is read.
    std::optional<Reading> better;
    ways_ahead(
        ways, 1, [&](const RetryVariant& v, const std::atomic<bool>&) { return levels_for(v, window, w.from, w.to); },
        [&](const RetryVariant& v, const Recording& levels) {
            std::optional<Reading> r = read_again(levels, v, w);
            if (!r || !settles(r->reading.block)) return false;
            adopt(v.name);
            better = std::move(r);
            return true;
        });
    return better;
}

// A block cut short (a dropout, a burst of noise) or read wrongly mostly reads well up to
// where it went wrong: each way in turn makes the levels there alone again, and the block
// is read on from them. The places are first the weak stretches the front end found in the
// block, then where a reading stopped, each further place it stops at mended the same way.
std::optional<ChecksumRetry::Reading> ChecksumRetry::mend(const Span& w) {
    const DecodedBlock& block = w.first.reading.block;
    const std::int32_t stop = ended_early(block) ? block.end : -1;
    const std::vector<FrameSpan> spots = weak_within(w);
    if (stop < 0 && spots.empty()) return std::nullopt;
    std::vector<const RetryVariant*> ways;
    for (const RetryVariant& v : retry_variants()) {
        // Ways that change only the bit rules read the levels as they are; the classic
        // levels read on through a dropout as noise.
        if (v.rules == nullptr && !v.classic_levels && v.front_end.channel < static_cast<int>(frames_.channels()))
            ways.push_back(&v);
    }
    std::optional<Reading> mended;
    int stuck = 0;
    // Each way mends on one processor, and the first often fails: two ways at a time.
    ways_ahead(
        ways, 2, [&](const RetryVariant& v, const std::atomic<bool>& given_up) { return mend_with(v, w, spots, stop, given_up); },
        [&](const RetryVariant& v, MendOutcome& o) {
            if (!o.mended) {
                // Two ways that, mended where the block stopped, stop there again: it went
                // wrong before that place, and the other ways would mend there in vain.
                return o.stuck && ++stuck == 2;
            }
            Mended& m = *o.mended;
            std::string name = v.name;
            if (m.weak > 0) name += ", where the signal was weak";
            if (m.rounds > 0) name += m.rounds == 1 ? ", where the first reading stopped" : ", where the readings stopped";
            adopt(name.c_str());
            mended = std::move(m.reading);
            return true;
        });
    return mended;
}

// The weak stretches that begin within the span, from where its block's search began.
std::vector<FrameSpan> ChecksumRetry::weak_within(const Span& w) const {
    std::vector<FrameSpan> spots;
    const auto from = static_cast<std::uint64_t>(w.first.start.at.pos), to = static_cast<std::uint64_t>(w.to);
    auto it = std::lower_bound(weak_.begin(), weak_.end(), from, [](const FrameSpan& s, std::uint64_t at) { return s.from < at; });
    for (; it != weak_.end() && it->from < to; ++it) spots.push_back(*it);
    return spots;
}

// Samples [a, b) of the span made again by way v, from the frames around them as far as
// `context_seconds` either side.
LevelPatch ChecksumRetry::remade(const RetryVariant& v, const Span& w, std::int32_t a, std::int32_t b,
                                 double context_seconds) const {
    const auto context = static_cast<std::int32_t>(context_seconds * rate_);
    const auto span = static_cast<std::int32_t>(w.to - w.from);
    const std::int32_t first = std::max(0, a - context), last = std::min(span, b + context);
    const WindowFrameSource around(frames_, static_cast<std::uint64_t>(w.from + first), static_cast<std::uint64_t>(last - first));
    return {condition_signal(around, rate_, v.front_end), first, a, b};
}

ChecksumRetry::MendOutcome ChecksumRetry::mend_with(const RetryVariant& v, const Span& w,
                                                    const std::vector<FrameSpan>& spots, std::int32_t stop,
                                                    const std::atomic<bool>& given_up) const {
    const auto mend = static_cast<std::int32_t>(kMendSeconds * rate_);
    const auto pad = static_cast<std::int32_t>(kWeakPadSeconds * rate_);
    const auto context = static_cast<std::int32_t>(kWeakContextSeconds * rate_);
    const auto offset = static_cast<std::int32_t>(w.from);
    std::int32_t at = stop - offset;  // where the last reading stopped, within the span
    // The weak stretches, those near each other made again together.
    const auto span = static_cast<std::int32_t>(w.to - w.from);
    auto start_of = [&](const FrameSpan& s) { return std::clamp(static_cast<std::int32_t>(s.from) - offset - pad, 0, span); };
    auto end_of = [&](const FrameSpan& s) { return std::clamp(static_cast<std::int32_t>(s.to) - offset + pad, 0, span); };
    std::vector<LevelPatch> patches;
    for (std::size_t i = 0; i < spots.size() && !given_up;) {
        const std::int32_t a = start_of(spots[i]);
        std::int32_t b = end_of(spots[i]);
        for (++i; i < spots.size() && start_of(spots[i]) < b + 2 * context; ++i) b = std::max(b, end_of(spots[i]));
        if (a < b) patches.push_back(remade(v, w, a, b, kWeakContextSeconds));
    }
    Recording levels = splice_window(levels_, offset, static_cast<std::int32_t>(w.to), patches);
    int weak = 0;  // weak stretches mended in the levels the rounds go on from
    if (!spots.empty() && !given_up) {
        std::optional<Reading> r = read_again(levels, v, w);
        if (r && settles(r->reading.block))
            return {Mended{std::move(levels), std::move(*r), static_cast<int>(spots.size()), 0}};
        // Read on from where this reading stopped, if it stopped short; otherwise from where
        // the first one did, on the levels as they were.
        if (r && ended_early(r->reading.block)) at = r->reading.block.end - offset, weak = static_cast<int>(spots.size());
        else levels = levels_.slice(offset, static_cast<std::int32_t>(w.to));
    }
    if (stop < 0) return {};
    for (int round = 1; round <= kMendRounds && !given_up; ++round) {
        const std::int32_t a = std::max(0, at - mend), b = std::min(levels.count, at + mend);
        const LevelPatch p = remade(v, w, a, b, kContextSeconds);
        levels = splice_levels(levels, p.levels, p.at, p.a, p.b);
        std::optional<Reading> r = read_again(levels, v, w);
        if (!r) return {};
        if (settles(r->reading.block)) return {Mended{std::move(levels), std::move(*r), weak, round}};
        // Mended, the reading must get past the place it stopped at to be worth going on with.
        const std::int32_t end = r->reading.block.end - offset;
        if (end <= b) return {std::nullopt, end == at};
        at = end;
    }
    return {};
}

Recording ChecksumRetry::levels_for(const RetryVariant& v, const FrameSource& window, std::int64_t from,
                                    std::int64_t to) const {
    const auto first = static_cast<std::int32_t>(from), last = static_cast<std::int32_t>(to);
    if (v.classic_levels) return classic_.window(first, last);
    if (v.front_end == FrontEndSettings{}) return levels_.slice(first, last);
    return condition_signal(window, rate_, v.front_end);
}

std::optional<ChecksumRetry::Reading> ChecksumRetry::read_again(const Recording& levels, const RetryVariant& v,
                                                               const Span& w) const {
    Settings settings = settings_;
    if (v.rules != nullptr) v.rules(settings);
    const FirstReading& first = w.first;
    const EdgeView edges(levels, static_cast<std::int32_t>(w.from));
    Reading r{{}, first.state.clone()};
    // Other levels may show a burst of noise as a short tone first: the search goes on as
    // the driver's would, up to the place where the block's pilot was found.
    const std::int32_t latest = first.reading.pilot.start + static_cast<std::int32_t>(kLeadSeconds * rate_);
    std::vector<std::uint8_t> buffer(kBlockDataSize);
    r.reading = read_block(first.loader, edges, first.start, settings, *r.state, buffer, latest);
    if (!r.reading.pilot.found || r.reading.pilot.start > latest || !r.reading.block.counted) return std::nullopt;
    return r;
}

// A reading that checks out by chance (one in 256 of wrong ones) is most often of another
// length than its header announced: only the announced length settles a block.
bool ChecksumRetry::settles(const DecodedBlock& again) const {
    const bool announced = again.loader->held_to_announced_length && expected_length_ >= 0;
    return block_checks_out(again) && !looks_like_noise(again) && (!announced || length_of(again) == expected_length_);
}

void ChecksumRetry::adopt(const char* name) {
    recovered_with_.emplace_back(name);
    outcome_.recovered_with = recovered_with_.back().c_str();
}

}  // namespace kvr
