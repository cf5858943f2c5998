#include "input/edge_builder.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/worker_pool.hpp"
#include "input/edge_feed.hpp"
#include "input/pcm_chunks.hpp"
#include "input/pcm_levels.hpp"

namespace kvr {

namespace {

// The edges may take at most half the machine's memory; a recording that needs more (a
// few bytes of VOC repeat blocks can describe billions of edges) is refused as too big
// instead of pushing the machine into swap.
std::size_t edge_ceiling() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::size_t{1} << 28;
    return static_cast<std::size_t>(pages) / 2 / sizeof(std::int32_t) * static_cast<std::size_t>(page);
}

// Runs of PCM at least this long are read in pieces on several threads.
constexpr std::size_t kParallelBytes = std::size_t{8} << 20;
constexpr std::size_t kPieceBytes = std::size_t{4} << 20;
constexpr std::size_t kChunkBytes = std::size_t{256} << 10;

// Reads pieces of a run of PCM frames, a chunk at a time through room that stays in the
// cache, into edges numbered from the recording's start.
class PieceReader {
public:
    PieceReader(Bytes file, const PcmFormat& format, const PcmFetcher* fetcher, std::size_t chunk_frames,
                std::size_t most_frames)
        : file_(file), format_(format), fetcher_(fetcher), frame_(static_cast<std::size_t>(format.frame_bytes())),
          chunk_(std::min(chunk_frames, most_frames)) {
        raw_.resize(fetcher != nullptr ? chunk_ * frame_ : 0);
        words_.resize((chunk_ + 63) / 64);
        edges_.resize(most_frames);  // a piece has at most an edge per frame
    }

    // The `frames` frames at byte `offset`, the first of which is sample `start`.
    void read(std::uint64_t offset, std::size_t frames, std::int64_t start) {
        std::int32_t* out = edges_.data();
        for (std::size_t done = 0; done < frames;) {
            const std::size_t n = std::min(frames - done, chunk_);
            const std::uint8_t* src = file_.data() + offset;
            if (fetcher_ != nullptr) {
                // A file cut short under us reads as silence; the load step reports it.
                const std::size_t got = fetcher_->read(offset, n * frame_, raw_.data());
                if (got < n * frame_) std::memset(raw_.data() + got, 0, n * frame_ - got);
                src = raw_.data();
            }
            pcm_low_bits(src, n, format_, words_.data());
            if (done == 0) low_ = first_low_ = (words_[0] & 1) != 0;
            out = edges_from_bits(words_.data(), n, start + static_cast<std::int64_t>(done), low_, out);
            offset += n * frame_;
            done += n;
        }
        count_ = static_cast<std::size_t>(out - edges_.data());
    }

    bool first_low() const { return first_low_; }
    std::span<const std::int32_t> edges() const { return {edges_.data(), count_}; }

private:
    Bytes file_;
    PcmFormat format_;
    const PcmFetcher* fetcher_;
    std::size_t frame_;
    std::size_t chunk_;  // frames read at a time
    std::vector<std::uint8_t> raw_;
    std::vector<std::uint64_t> words_;
    EdgeVector edges_;
    std::size_t count_ = 0;
    bool first_low_ = false, low_ = false;
};

// Lets pieces taken in order by several threads be joined in that order.
class Turns {
public:
    // Runs `fn` once the turns of pieces 0 to k - 1 have ended, then ends piece k's.
    template <class Fn>
    void take(std::size_t k, Fn fn) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return ended_ == k; });
        fn();
        ++ended_;
        lock.unlock();
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t ended_ = 0;
};

// The edges of n samples that begin at sample `base`, appended to `edges`; `low` is the
// level before the first of them and after the last.
void find_edges(const std::int8_t* p, std::size_t n, std::int64_t base, bool& low, EdgeVector& edges) {
    constexpr std::uint64_t kSigns = 0x8080808080808080ULL;
    std::size_t i = 0;
    while (i < n) {
        // Eight samples at a time: a sign bit that differs from the level marks an edge.
        const std::uint64_t level = low ? kSigns : 0;
        bool found = false;
        while (std::endian::native == std::endian::little && n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            const std::uint64_t changed = (word & kSigns) ^ level;
            if (changed != 0) {
                i += static_cast<std::size_t>(std::countr_zero(changed) / 8);
                found = true;
                break;
            }
            i += 8;
        }
        if (!found) {
            while (i < n && (p[i] < 0) == low) ++i;
            if (i == n) break;
        }
        edges.push_back(static_cast<std::int32_t>(base + static_cast<std::int64_t>(i)));
        low = !low;
    }
}

}  // namespace

EdgeBuilder::EdgeBuilder(Recording& out) : out_(out), max_edges_(edge_ceiling()) { out_.clear(); }

bool EdgeBuilder::expect(std::int64_t total) {
    expected_ = total;
    if (total <= 0 || !out_.edges.empty()) return true;
    try {
        out_.edges.reserve(std::min(static_cast<std::size_t>(total), max_edges_));
    } catch (const std::bad_alloc&) {
        // Without the room set aside the edges still grow as they come.
    }
    return true;
}

void EdgeBuilder::clear() {
    if (feeding_) feed_->keep(std::move(out_.edges));  // the analysis may still be reading them
    feeding_ = false;
    out_.clear();
    pos_ = 0;
    low_ = false;
}

bool EdgeBuilder::continue_at(bool low) {
    if (pos_ == 0) {
        low_ = out_.first_low = low;
        return true;
    }
    if (low != low_) {
        if (out_.edges.size() >= max_edges_) return false;
        out_.edges.push_back(static_cast<std::int32_t>(pos_));
    }
    low_ = low;
    return true;
}

bool EdgeBuilder::samples(const std::int8_t* p, std::size_t n) {
    if (n == 0) return true;
    if (pos_ + static_cast<std::int64_t>(n) > INT32_MAX) return false;
    try {
        if (!continue_at(p[0] < 0)) return false;
        find_edges(p, n, pos_, low_, out_.edges);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (out_.edges.size() > max_edges_) return false;
    pos_ += static_cast<std::int64_t>(n);
    out_.count = static_cast<std::int32_t>(pos_);
    return true;
}

bool EdgeBuilder::run(bool low, std::uint64_t n) {
    if (n == 0) return true;
    if (n > INT32_MAX || pos_ + static_cast<std::int64_t>(n) > INT32_MAX) return false;
    try {
        if (!continue_at(low)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    pos_ += static_cast<std::int64_t>(n);
    out_.count = static_cast<std::int32_t>(pos_);
    return true;
}

bool EdgeBuilder::join(bool first_low, std::span<const std::int32_t> piece_edges, std::int64_t length) {
    if (length == 0) return true;
    try {
        if (!continue_at(first_low)) return false;
        if (out_.edges.size() + piece_edges.size() > max_edges_) return false;
        out_.edges.insert(out_.edges.end(), piece_edges.begin(), piece_edges.end());
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (piece_edges.size() % 2 == 1) first_low = !first_low;
    low_ = first_low;
    pos_ += length;
    out_.count = static_cast<std::int32_t>(pos_);
    return true;
}

void EdgeBuilder::open_feed(std::size_t frames) {
    // Edges can be handed on while they are read when they never move: the whole recording
    // is this run, and room for all of its edges is set aside.
    if (feed_ == nullptr || pos_ != 0 || static_cast<std::int64_t>(frames) != expected_ ||
        out_.edges.capacity() < frames)
        return;
    feed_->open(out_.edges.data());
    feeding_ = true;
}

bool EdgeBuilder::pcm(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                      const PcmFetcher* fetcher) {
    const std::size_t frame = static_cast<std::size_t>(format.frame_bytes());
    if (frames * frame < kParallelBytes) return SampleSink::pcm(file, offset, frames, format, fetcher);
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    if (pos_ + static_cast<std::int64_t>(frames) > INT32_MAX) return false;

    // Each piece finds its own edges, numbered from the recording's start, and the level
    // of its first sample; joining them adds an edge where two pieces meet at different levels.
    // Chunks are a few hundred kilobytes whatever the frames' size: each thread has one.
    const std::size_t chunk_frames = std::clamp<std::size_t>(kChunkBytes / frame / 64 * 64, 64, kChunkFrames);
    const std::size_t piece_frames = std::max(chunk_frames, kPieceBytes / frame);
    const std::int64_t base = pos_;
    open_feed(frames);
    // The threads take pieces in turn; each joins its piece once the one before is joined,
    // and goes on to its next piece without waiting for the others.
    const std::size_t pieces = (frames + piece_frames - 1) / piece_frames;
    std::atomic<std::size_t> next{0};
    Turns turns;
    bool failed = false;  // changed only in turn
    auto work = [&](PieceReader& reader) {
        for (std::size_t k; (k = next.fetch_add(1)) < pieces;) {
            const std::size_t first = k * piece_frames, length = std::min(piece_frames, frames - first);
            reader.read(offset + first * frame, length, base + static_cast<std::int64_t>(first));
            turns.take(k, [&] {
                failed = failed || !join(reader.first_low(), reader.edges(), static_cast<std::int64_t>(length));
                if (feeding_ && !failed) feed_->publish(out_.edges.size());
            });
        }
    };
    // Every thread keeps its room from one piece to the next.
    std::vector<PieceReader> readers;
    try {
        readers.reserve(threads);
        for (unsigned t = 0; t < threads; ++t)
            readers.emplace_back(file, format, fetcher, chunk_frames, std::min(piece_frames, frames));
    } catch (const std::bad_alloc&) {
        return false;
    }
    {
        std::vector<Running<void>> others;
        for (unsigned t = 1; t < threads; ++t) others.push_back(run_elsewhere([&work, &reader = readers[t]] { work(reader); }));
        work(readers[0]);
    }  // waits for the others
    return !failed;
}

}  // namespace kvr
