#include "input/edge_builder.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <future>
#include <new>
#include <vector>
#include <thread>

#include "input/pcm_chunks.hpp"

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

}  // namespace

template <class Edges>
void find_edges(const std::int8_t* p, std::size_t n, std::int64_t base, bool& low, Edges& edges) {
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

template void find_edges(const std::int8_t*, std::size_t, std::int64_t, bool&, EdgeVector&);
template void find_edges(const std::int8_t*, std::size_t, std::int64_t, bool&, std::vector<std::int32_t>&);

EdgeBuilder::EdgeBuilder(Recording& out) : out_(out), max_edges_(edge_ceiling()) { out_.clear(); }

bool EdgeBuilder::expect(std::int64_t total) {
    if (total <= 0 || !out_.edges.empty()) return true;
    try {
        out_.edges.reserve(std::min(static_cast<std::size_t>(total), max_edges_));
    } catch (const std::bad_alloc&) {
        // Without the room set aside the edges still grow as they come.
    }
    return true;
}

void EdgeBuilder::clear() {
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

bool EdgeBuilder::join(bool first_low, const std::vector<std::int32_t>& piece_edges, std::int64_t length) {
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

bool EdgeBuilder::pcm(Bytes file, std::uint64_t offset, std::size_t frames, const PcmFormat& format,
                      const PcmFetcher* fetcher) {
    const std::size_t frame = static_cast<std::size_t>(format.frame_bytes());
    if (frames * frame < kParallelBytes) return SampleSink::pcm(file, offset, frames, format, fetcher);
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    if (threads == 1) return SampleSink::pcm(file, offset, frames, format, fetcher);
    if (pos_ + static_cast<std::int64_t>(frames) > INT32_MAX) return false;

    // Each piece finds its own edges, numbered from the recording's start, and the level
    // of its first sample; joining them adds an edge where two pieces meet at different levels.
    struct Piece {
        bool first_low = false;
        std::vector<std::int32_t> edges;
    };
    const std::size_t piece_frames = std::max<std::size_t>(1, kPieceBytes / frame);
    const std::int64_t base = pos_;
    auto read_piece = [&](std::size_t first, std::size_t count) {
        Piece piece;
        piece.edges.reserve(count / 8);  // about as many as a tape at full speed has
        std::int64_t at = base + static_cast<std::int64_t>(first);
        bool low = false, started = false;
        convert_pcm_chunks(file, offset + first * frame, count, format, fetcher,
                           [&](const std::int8_t* p, std::size_t n) {
                               if (!started) {
                                   piece.first_low = low = p[0] < 0;
                                   started = true;
                               }
                               find_edges(p, n, at, low, piece.edges);
                               at += static_cast<std::int64_t>(n);
                           });
        return piece;
    };
    try {
        for (std::size_t round = 0; round < frames; round += piece_frames * threads) {
            std::vector<std::future<Piece>> others;
            std::vector<std::size_t> lengths;
            for (unsigned t = 0; t < threads; ++t) {
                const std::size_t first = round + t * piece_frames;
                if (first >= frames) break;
                lengths.push_back(std::min(piece_frames, frames - first));
                if (t > 0) others.push_back(std::async(std::launch::async, read_piece, first, lengths.back()));
            }
            const Piece mine = read_piece(round, lengths[0]);
            if (!join(mine.first_low, mine.edges, static_cast<std::int64_t>(lengths[0]))) return false;
            for (std::size_t t = 1; t < lengths.size(); ++t) {
                const Piece piece = others[t - 1].get();
                if (!join(piece.first_low, piece.edges, static_cast<std::int64_t>(lengths[t]))) return false;
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace kvr
