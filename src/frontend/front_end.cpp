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
#include "frontend/conditioning.hpp"
#include "frontend/signal_mix.hpp"
#include "frontend/trigger.hpp"

namespace kvr {

namespace {

constexpr std::size_t kPiece = kConditionPiece;
static_assert(kPiece % kJudgeWindow == 0, "every piece judges the same windows");

// The room one piece is read and conditioned in, kept from piece to piece (and from one
// conditioning to the next: a retry conditions a stretch again for each of its ways of
// reading) so that buffers of several megabytes are neither cleared nor faulted in again.
struct Workspace {
    MixRoom mix;
    FrameChannel signal;  // the piece's frames as one signal
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

// A piece's frames: its own, [from, to), within its margins, [first, last).
struct PieceFrames {
    std::uint64_t first, from, to, last;

    std::size_t count() const { return static_cast<std::size_t>(last - first); }
    FrameSpan own() const { return {from - first, to - first}; }
};

// Everything that stays the same from piece to piece of one recording.
struct PieceMaker {
    const SignalMix& mix;
    Conditioning conditioning;
    std::size_t channels;
    std::uint64_t n;
    std::size_t margin;
    std::size_t piece = kPiece;  // frames of each piece but the last

    PieceFrames frames_of(std::uint64_t from) const {
        const std::uint64_t to = std::min<std::uint64_t>(n, from + piece);
        return {from >= margin ? from - margin : 0, from, to, std::min<std::uint64_t>(n, to + margin)};
    }

    // The piece of frames from `from`, through the stages in turn: read, judge and combine;
    // condition; decide the levels, from the state `start` where given, otherwise from a
    // fresh decision at the start of its margin.
    Piece make(std::uint64_t from, const TriggerState* start) const {
        const PieceFrames f = frames_of(from);
        std::unique_ptr<Workspace> w = workspaces().take();
        Piece p;
        p.from = from;
        p.share.share_used.assign(channels, 0.0);
        p.share.share_inverted.assign(channels, 0.0);
        w->blocks.size_for((f.count() + kBlock - 1) / kBlock);
        Smoothing smoothing(conditioning.passes, w->blocks.top.data(), w->blocks.bottom.data());
        mix.mix(f.first, f.count(), f.own(), w->signal, p.share, w->mix,
                [&](std::size_t ready) { smoothing.advance(w->signal.data(), f.count(), ready); });
        condition_piece(w->signal, conditioning, w->blocks);
        note_dropouts(f, w->blocks.dropouts, p.share);
        decide_piece(f, w->signal, w->blocks.conditioned(), start, p);
        workspaces().give(std::move(w));
        return p;
    }

    // The dropouts that begin among the piece's own frames, as weak stretches.
    static void note_dropouts(const PieceFrames& f, const std::vector<FrameSpan>& blocks, FrontEndSummary& share) {
        for (const FrameSpan& d : blocks) {
            const std::uint64_t at = f.first + d.from * kBlock;
            if (at >= f.from && at < f.to) share.weak.push_back({at, std::min(f.last, f.first + d.to * kBlock)});
        }
    }

    // The levels of the piece's own frames as edges, and the decision's state where they
    // begin and end.
    static void decide_piece(const PieceFrames& f, const FrameChannel& signal, const Conditioned& c,
                             const TriggerState* start, Piece& p) {
        if (start != nullptr) p.entry = *start;
        else decide(signal.data(), signal.size(), c, f.first, f.first, f.from, p.entry, p.edges);
        if (f.first == 0 && !signal.empty()) p.first_low = !(signal[0] >= 0);
        p.edges.clear();
        p.exit = p.entry;
        decide(signal.data(), signal.size(), c, f.first, f.from, f.to, p.exit, p.edges);
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
    // The windows in frames, each at most a piece long whatever the rate, so that the margin
    // read around each piece stays within a few pieces.
    constexpr double kLongest = static_cast<double>(kPiece);
    const auto half = static_cast<std::size_t>(std::clamp(std::round(rate * settings.baseline_ms / 2000.0), 1.0, kLongest));
    const auto reach = static_cast<std::size_t>(std::clamp(rate * settings.floor_reach_s, 0.0, kLongest));
    // Hiss is smoothed over about the same time at every rate: one pass at 22050 Hz, up to
    // the passes of 705.6 kHz, so that a rate no recording has costs no more per frame.
    const int passes = settings.smoothing >= 0 ? settings.smoothing
                                               : static_cast<int>(std::clamp(std::lround(rate / 22050.0), 1L, 32L));
    const std::unique_ptr<SignalMix> mix = signal_mix(source, settings);
    PieceMaker maker{*mix,
                     {settings, rate, half, reach, passes},
                     channels,
                     n,
                     // Every window and peak a piece needs lies within this margin, a whole
                     // number of judging windows.
                     (reach + 4 * half + 8 * kBlock + 64 + kJudgeWindow) / kJudgeWindow * kJudgeWindow};

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
