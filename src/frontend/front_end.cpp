#include "frontend/front_end.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "core/work_in_order.hpp"
#include "frontend/block_math.hpp"
#include "frontend/channel_mix.hpp"
#include "frontend/trigger.hpp"
#include "kernels/kernels.hpp"
#include "input/sample_vector.hpp"

namespace kvr {

namespace {

constexpr std::size_t kPiece = kConditionPiece;
static_assert(kPiece % kJudgeWindow == 0, "every piece judges the same windows");

// Each pass of 1, 2, 1 is symmetric, so edges stay where they are.
void smooth(FrameChannel& a, int passes) {
    for (int pass = 0; pass < passes; ++pass) kernels::smooth_pass(a.data(), a.size());
}

// Per block of a piece: the buffers of the slower measurements, kept with the piece's
// other room. They are cut from one stretch of memory, which comes in large pages: in
// pages of the usual size, faulting the megabytes in took longer than conditioning the
// first piece.
struct BlockScratch {
    std::vector<std::byte, SampleAllocator<std::byte>> room;
    std::span<double> sums;
    std::span<float> top, bottom, high, low, edge_base, magnitude, amplitude, weaker, near, prefix, suffix, threshold;
    std::span<std::uint8_t> quiet;
    std::vector<FrameSpan> dropouts;  // blocks of the piece

    // Room for a piece of this many blocks; what the room held before is of no use.
    void size_for(std::size_t blocks) {
        const std::size_t doubles = blocks + 1, floats = 12 * blocks + 1;
        const std::size_t bytes = doubles * sizeof(double) + floats * sizeof(float) + blocks;
        if (room.size() < bytes) {
            room.clear();
            room.resize(bytes);
        }
        std::byte* at = room.data();
        sums = cut<double>(at, doubles);  // first: the widest values stay aligned
        for (std::span<float>* part :
             {&top, &bottom, &high, &low, &magnitude, &amplitude, &weaker, &near, &prefix, &suffix, &threshold})
            *part = cut<float>(at, blocks);
        edge_base = cut<float>(at, blocks + 1);
        quiet = cut<std::uint8_t>(at, blocks);
    }
    // What the level decision reads of them.
    Conditioned conditioned() const { return {threshold, quiet}; }

private:
    template <class T>
    static std::span<T> cut(std::byte*& at, std::size_t count) {
        const std::span<T> part(reinterpret_cast<T*>(at), count);
        at += count * sizeof(T);
        return part;
    }
};

// Far weaker than the signal nearby, before or after, for a long stretch: a silence, whose
// noise and hum make no edges (looking at both sides keeps a silence that begins or ends
// here quiet). A short weak stretch is a dropout, read on at its own level; its blocks
// are noted in `dropouts`.
void keep_long_runs(std::span<std::uint8_t> quiet, std::size_t shortest, std::vector<FrameSpan>& dropouts) {
    dropouts.clear();
    const auto begin = quiet.begin(), stop = quiet.end();
    for (std::size_t b = 0; b < quiet.size();) {
        if (!quiet[b]) {
            b = static_cast<std::size_t>(std::find(begin + static_cast<std::ptrdiff_t>(b), stop, std::uint8_t{1}) - begin);
            continue;
        }
        std::size_t end = b;
        while (end < quiet.size() && quiet[end]) ++end;
        // A run that reaches the piece's margin is long: the margin is far longer than a dropout.
        if (end - b < shortest && b > 0 && end < quiet.size()) {
            std::fill(quiet.begin() + static_cast<std::ptrdiff_t>(b), quiet.begin() + static_cast<std::ptrdiff_t>(end), 0);
            dropouts.push_back({b, end});
        }
        b = end;
    }
}

// Turns the piece's signal `x` into the signal less its baseline, in place; the rest of
// what the level decision needs is left in `k.c`.
void condition_piece(FrameChannel& x, std::int32_t rate, std::size_t half, std::size_t reach,
                     const FrontEndSettings& s, BlockScratch& k) {
    const std::size_t n = x.size(), blocks = (n + kBlock - 1) / kBlock;
    const std::size_t h = std::max<std::size_t>(1, (half + kBlock / 2) / kBlock);
    k.size_for(blocks);
    kernels::block_extremes(x.data(), n, k.top.data(), k.bottom.data());
    // The baseline: midway between the highest and the lowest value nearby, which for a
    // square wave is the level between its two states, following hum and wander.
    sliding_extremes(k.top, h, false, k.high, k.prefix, k.suffix);
    sliding_extremes(k.bottom, h, true, k.low, k.prefix, k.suffix);
    // The baseline where each block starts: midway between the middles of the blocks on
    // either side (the first and the last block stand for their missing neighbour).
    const float* high = k.high.data();
    const float* low = k.low.data();
    float* base = k.edge_base.data();
    const float first = high[0] + low[0], last = high[blocks - 1] + low[blocks - 1];
    base[0] = 0.25f * (first + first);
    for (std::size_t b = 1; b < blocks; ++b) base[b] = 0.25f * ((high[b - 1] + low[b - 1]) + (high[b] + low[b]));
    base[blocks] = 0.25f * (last + last);
    kernels::remove_baseline(x.data(), n, k.edge_base.data(), k.magnitude.data());
    // Running sums over the blocks: the amplitude around each block, and on its weaker side.
    k.sums[0] = 0.0;
    for (std::size_t b = 0; b < blocks; ++b) k.sums[b + 1] = k.sums[b] + k.magnitude[b];
    block_means(k.sums.data(), blocks, h, k.amplitude.data(), k.weaker.data());
    sliding_extremes(k.amplitude, reach / kBlock + 1, false, k.near, k.prefix, k.suffix);
    const float hysteresis = static_cast<float>(s.hysteresis), floor = static_cast<float>(s.floor);
    const float squelch = static_cast<float>(s.squelch);
    const float *weaker = k.weaker.data(), *near = k.near.data();
    float* threshold = k.threshold.data();
    std::uint8_t* quiet = k.quiet.data();
    for (std::size_t b = 0; b < blocks; ++b) {
        // As std::max({...}) takes them: the first of equals, in this order.
        const float a = hysteresis * weaker[b], f = floor * near[b];
        const float m = a < f ? f : a;
        threshold[b] = m < 1e-6f ? 1e-6f : m;
    }
    for (std::size_t b = 0; b < blocks; ++b) quiet[b] = weaker[b] < squelch * near[b];
    keep_long_runs(k.quiet, static_cast<std::size_t>(s.quiet_ms * rate / 1000.0) / kBlock + 1, k.dropouts);
}

// The room one piece is read and conditioned in, kept from piece to piece (and from one
// conditioning to the next: a retry conditions a stretch again for each of its ways of
// reading) so that buffers of several megabytes are neither cleared nor faulted in again.
struct Workspace {
    Channels channels;     // one channel read whole, or one judging window of every channel
    std::vector<std::uint8_t> raw;  // 16-bit frames read from the file, a stretch at a time
    FrameChannel signal;   // the piece's frames as one signal
    BlockScratch blocks;
};

class WorkspacePool {
public:
    std::unique_ptr<Workspace> take() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (free_.empty()) return std::make_unique<Workspace>();
        std::unique_ptr<Workspace> w = std::move(free_.back());
        free_.pop_back();
        return w;
    }
    void give(std::unique_ptr<Workspace> w) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (free_.size() < kKept) free_.push_back(std::move(w));
    }

private:
    static constexpr std::size_t kKept = 4;  // as many as pieces are conditioned at once, and one more
    std::mutex mutex_;
    std::vector<std::unique_ptr<Workspace>> free_;
};

// A piece decided on its own: its edges, and the state the decision was in where the
// piece's own frames begin and end. The decision starts in the margin before them, where
// it nearly always falls into step with the decision of the piece before; when it has
// not, the piece is decided again from that decision's state.
struct Piece {
    std::uint64_t from = 0;
    TriggerState entry, exit;
    bool first_low = false;  // the level of frame 0, for the piece that begins there
    std::vector<std::int32_t> edges;
    FrontEndSummary share;  // the channels' use within the piece's own frames
};

// Adds a piece's share of the channels' use, and its weak stretches, to the recording's.
void add_share(FrontEndSummary& total, const FrontEndSummary& piece) {
    for (std::size_t c = 0; c < total.share_used.size() && c < piece.share_used.size(); ++c) {
        total.share_used[c] += piece.share_used[c];
        total.share_inverted[c] += piece.share_inverted[c];
    }
    total.weak.insert(total.weak.end(), piece.weak.begin(), piece.weak.end());
}

WorkspacePool& workspaces() {
    static WorkspacePool pool;
    return pool;
}

// Everything that stays the same from piece to piece of one recording.
struct PieceMaker {
    const FrameSource& source;
    const FrontEndSettings& settings;
    std::int32_t rate;
    std::uint64_t n;
    std::vector<double> scale;
    std::size_t half, reach, margin;
    int passes;
    std::size_t piece = kPiece;  // frames of each piece but the last

    // Reads, conditions and decides the piece of frames from `from`; from the state
    // `start` where given, otherwise from a fresh decision at the start of its margin.
    Piece make(std::uint64_t from, const TriggerState* start) {
        const std::uint64_t to = std::min<std::uint64_t>(n, from + piece);
        const std::uint64_t first = from >= margin ? from - margin : 0;
        const std::uint64_t last = std::min<std::uint64_t>(n, to + margin);
        std::unique_ptr<Workspace> w = workspaces().take();
        Piece p;
        p.from = from;
        p.share.share_used.assign(source.channels(), 0.0);
        p.share.share_inverted.assign(source.channels(), 0.0);
        FrameChannel& signal = mix(*w, first, static_cast<std::size_t>(last - first), static_cast<std::size_t>(from - first),
                                   static_cast<std::size_t>(to - first), p.share);
        smooth(signal, passes);
        condition_piece(signal, rate, half, reach, settings, w->blocks);
        for (const FrameSpan& d : w->blocks.dropouts) {
            const std::uint64_t at = first + d.from * kBlock;
            if (at >= from && at < to) p.share.weak.push_back({at, std::min(last, first + d.to * kBlock)});
        }
        const Conditioned c = w->blocks.conditioned();
        if (start != nullptr) p.entry = *start;
        else decide(signal.data(), signal.size(), c, first, first, from, p.entry, p.edges);
        if (first == 0 && !signal.empty()) p.first_low = !(signal[0] >= 0);
        p.edges.clear();
        p.exit = p.entry;
        decide(signal.data(), signal.size(), c, first, from, to, p.exit, p.edges);
        workspaces().give(std::move(w));
        return p;
    }

    // The piece's frames as one signal: the chosen channel alone, or the channels combined
    // window by window, each window read into room that stays in the cache.
    FrameChannel& mix(Workspace& w, std::uint64_t first, std::size_t count, std::size_t own_from, std::size_t own_to,
                      FrontEndSummary& share) const {
        if (settings.channel >= 0 && static_cast<std::size_t>(settings.channel) < source.channels()) {
            source.read(first, count, w.channels);
            const auto chosen = static_cast<std::size_t>(settings.channel);
            w.signal.swap(w.channels[chosen]);
            share.share_used[chosen] = static_cast<double>(own_to - own_from);
            return w.signal;
        }
        w.signal.resize(count);
        if (source.channels() <= 2 && mix16(w, first, count, own_from, own_to, share)) return w.signal;
        for (std::size_t at = 0; at < count; at += kJudgeWindow) {
            source.read(first + at, std::min(kJudgeWindow, count - at), w.channels);
            combine_window(w.channels, scale, w.signal.data() + at, at >= own_from && at < own_to, share);
        }
        return w.signal;
    }

    // The same straight from the file's bytes, when they are 16-bit frames: read a stretch
    // of several windows at a time. False, with nothing done, for any other kind of frame.
    bool mix16(Workspace& w, std::uint64_t first, std::size_t count, std::size_t own_from, std::size_t own_to,
               FrontEndSummary& share) const {
        constexpr std::size_t kStretch = 8 * kJudgeWindow;
        const std::size_t frame = 2 * source.channels();
        for (std::size_t at = 0; at < count; at += kStretch) {
            const std::size_t length = std::min(kStretch, count - at);
            const std::uint8_t* frames = source.pcm16(first + at, length, w.raw);
            if (frames == nullptr) return false;
            for (std::size_t k = 0; k < length; k += kJudgeWindow)
                combine_window16(frames + k * frame, source.channels(), std::min(kJudgeWindow, length - k), scale,
                                 w.signal.data() + at + k, at + k >= own_from && at + k < own_to, share);
        }
        return true;
    }
};

}  // namespace

Recording condition_signal(const FrameSource& source, std::int32_t rate, const FrontEndSettings& settings,
                           FrontEndSummary* summary) {
    const std::uint64_t n = std::min<std::uint64_t>(source.frames(), INT32_MAX);
    Recording out;
    out.count = static_cast<std::int32_t>(n);
    out.sample_rate = rate;
    try {
        out.edges.reserve(static_cast<std::size_t>(n));  // address space only, never moved
    } catch (const std::bad_alloc&) {
    }
    const std::size_t channels = source.channels();
    FrontEndSummary total;
    total.channels = static_cast<int>(channels);
    total.share_used.assign(channels, 0.0);
    total.share_inverted.assign(channels, 0.0);
    if (n == 0 || channels == 0) {
        if (summary != nullptr) *summary = total;
        return out;
    }
    const bool one_channel = settings.channel >= 0 && static_cast<std::size_t>(settings.channel) < channels;
    const auto half = static_cast<std::size_t>(std::max(1.0, std::round(rate * settings.baseline_ms / 2000.0)));
    const auto reach = static_cast<std::size_t>(std::max(0.0, rate * settings.floor_reach_s));
    // Hiss is smoothed over about the same time at every rate: one pass at 22050 Hz.
    const int passes = settings.smoothing >= 0 ? settings.smoothing : std::max(1, static_cast<int>(std::lround(rate / 22050.0)));
    PieceMaker maker{source,
                     settings,
                     rate,
                     n,
                     (one_channel || channels == 1) ? std::vector<double>{} : channel_scales(source),
                     half,
                     reach,
                     // Every window and peak a piece needs lies within this margin, a whole
                     // number of judging windows.
                     (reach + 4 * half + 8 * kBlock + 64 + kJudgeWindow) / kJudgeWindow * kJudgeWindow,
                     passes};

    // The pieces are read, conditioned and decided on other threads, each on its own, and
    // joined here in order. A retry's stretch of one or two pieces is cut in two even ones,
    // as long as each is far longer than its margins; a shorter one is made on this thread.
    const unsigned processors = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    if (n <= 2 * kPiece && processors > 1)
        maker.piece = n >= 8 * maker.margin ? (n / 2 + kJudgeWindow - 1) / kJudgeWindow * kJudgeWindow : n;
    const std::size_t count = static_cast<std::size_t>((n + maker.piece - 1) / maker.piece);
    auto make = [&maker](std::size_t k) { return maker.make(k * maker.piece, nullptr); };
    std::optional<WorkInOrder<Piece>> line;
    if (count > 1) line.emplace(count, processors, make);
    TriggerState state;
    for (std::size_t k = 0; k < count; ++k) {
        Piece piece = line ? line->take() : make(k);
        if (piece.from == 0) out.first_low = piece.first_low;
        if (!(piece.entry == state)) piece = maker.make(piece.from, &state);
        add_share(total, piece.share);
        out.edges.insert(out.edges.end(), piece.edges.begin(), piece.edges.end());
        state = piece.exit;
    }
    if (summary != nullptr) {
        for (auto& v : total.share_used) v /= static_cast<double>(n);
        for (auto& v : total.share_inverted) v /= static_cast<double>(n);
        *summary = std::move(total);
    }
    return out;
}

}  // namespace kvr
