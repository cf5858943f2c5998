// The front end's conditioning stage: a piece's signal smoothed and its baseline taken
// away, with the threshold and the quiet mark of each block that the level decision needs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "frontend/front_end.hpp"
#include "frontend/trigger.hpp"
#include "input/sample_vector.hpp"

namespace kvr {

// What stays the same from piece to piece of one recording.
struct Conditioning {
    const FrontEndSettings& settings;
    std::int32_t rate;
    std::size_t half;   // frames: half the window whose midrange is the baseline
    std::size_t reach;  // frames: how far the amplitude for the floor is taken
    int passes;         // of the smoothing
};

// Per block of a piece: the buffers of the slower measurements, kept with the piece's other
// room. They are cut from one stretch of memory, which comes in large pages: the buffers
// are megabytes long, and faulting them in a page of the usual size at a time costs more
// than conditioning a piece.
struct BlockScratch {
    std::vector<std::byte, SampleAllocator<std::byte>> room;
    std::span<double> sums;
    std::span<float> top, bottom, high, low, edge_base, magnitude, amplitude, weaker, near, prefix, suffix, threshold;
    std::span<std::uint8_t> quiet;
    std::vector<FrameSpan> dropouts;  // blocks of the piece

    // Room for a piece of this many blocks; what the room held before is of no use.
    void size_for(std::size_t blocks);
    // What the level decision reads of them.
    Conditioned conditioned() const { return {threshold, quiet}; }
};

// The passes of 1, 2, 1 over a piece's signal (each symmetric, so edges stay where they are),
// then the extremes of each block of it, all as if each were taken over the whole signal in
// turn. They are taken as the signal is mixed, a stretch at a time, so that every pass over a
// stretch finds it in the cache: a piece is megabytes long, and pass after pass over all of it
// would read it from memory.
class Smoothing {
public:
    Smoothing(int passes, float* top, float* bottom)
        : done_(static_cast<std::size_t>(std::max(passes, 0)), 1), kept_(done_.size(), 0.0f), top_(top), bottom_(bottom) {}
    // Frames [0, ready) of the n of x are mixed: each pass goes on as far as they allow, and
    // all of them to the end once ready reaches n.
    void advance(float* x, std::size_t n, std::size_t ready);

private:
    std::vector<std::size_t> done_;  // each pass's frames [0, done) are final; frame 0 stays as it is
    std::vector<float> kept_;        // each pass's input at done - 1
    std::size_t blocks_ = 0;         // the blocks whose extremes are taken
    float *top_, *bottom_;
};

// Turns a piece's signal `x`, smoothed and measured into `k` (sized for it), into the signal
// less its baseline, in place; the rest of what the level decision needs, and the dropouts,
// are left in `k`.
void condition_piece(FrameChannel& x, const Conditioning& c, BlockScratch& k);

}  // namespace kvr
