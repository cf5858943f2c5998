#include "frontend/conditioning.hpp"

#include <algorithm>

#include "frontend/block_math.hpp"
#include "kernels/kernels.hpp"

namespace kvr {

namespace {

template <class T>
std::span<T> cut(std::byte*& at, std::size_t count) {
    const std::span<T> part(reinterpret_cast<T*>(at), count);
    at += count * sizeof(T);
    return part;
}

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

// The baseline where each block starts: midway between the middles of the blocks on either
// side (the first and the last block stand for their missing neighbour).
void edge_baselines(const float* high, const float* low, std::size_t blocks, float* base) {
    const float first = high[0] + low[0], last = high[blocks - 1] + low[blocks - 1];
    base[0] = 0.25f * (first + first);
    for (std::size_t b = 1; b < blocks; ++b) base[b] = 0.25f * ((high[b - 1] + low[b - 1]) + (high[b] + low[b]));
    base[blocks] = 0.25f * (last + last);
}

// Each block's threshold, and whether it is quiet: the hysteresis follows the weaker side's
// amplitude, never below the floor of the amplitude nearby in time.
void thresholds(const FrontEndSettings& s, std::int32_t rate, BlockScratch& k) {
    const float hysteresis = static_cast<float>(s.hysteresis), floor = static_cast<float>(s.floor);
    const float squelch = static_cast<float>(s.squelch);
    const float *weaker = k.weaker.data(), *near = k.near.data();
    float* threshold = k.threshold.data();
    std::uint8_t* quiet = k.quiet.data();
    const std::size_t blocks = k.threshold.size();
    for (std::size_t b = 0; b < blocks; ++b) {
        // As std::max({...}) takes them: the first of equals, in this order.
        const float a = hysteresis * weaker[b], f = floor * near[b];
        const float m = a < f ? f : a;
        threshold[b] = m < 1e-6f ? 1e-6f : m;
    }
    for (std::size_t b = 0; b < blocks; ++b) quiet[b] = weaker[b] < squelch * near[b];
    keep_long_runs(k.quiet, static_cast<std::size_t>(s.quiet_ms * rate / 1000.0) / kBlock + 1, k.dropouts);
}

}  // namespace

// Each pass runs a frame behind the one before it, as far as the values it reads are final;
// the value a pass reads left of where it goes on is the one from before it overwrote it, kept
// aside.
void Smoothing::advance(float* x, std::size_t n, std::size_t ready) {
    for (std::size_t p = 0; p < done_.size(); ++p) {
        // Up to the frame before the last that is ready; at the end, the last stays as it is.
        const std::size_t to = ready >= n ? n : (ready > 0 ? ready - 1 : 0);
        if (to > done_[p]) {
            const std::size_t from = done_[p];
            const float output = x[from - 1];
            if (from > 1) x[from - 1] = kept_[p];
            const float input_at_end = x[to - 1];
            kernels::smooth_pass(x + from - 1, to - from + 1 + (to < n ? 1 : 0));
            x[from - 1] = output;
            kept_[p] = input_at_end;
            done_[p] = to;
        }
        ready = done_[p];
    }
    const std::size_t whole = ready >= n ? (n + kBlock - 1) / kBlock : ready / kBlock;
    if (whole > blocks_) {
        const std::size_t from = blocks_ * kBlock;
        kernels::block_extremes(x + from, std::min(n, whole * kBlock) - from, top_ + blocks_, bottom_ + blocks_);
        blocks_ = whole;
    }
}

void BlockScratch::size_for(std::size_t blocks) {
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

void condition_piece(FrameChannel& x, const Conditioning& c, BlockScratch& k) {
    const std::size_t n = x.size(), blocks = (n + kBlock - 1) / kBlock;
    const std::size_t h = std::max<std::size_t>(1, (c.half + kBlock / 2) / kBlock);
    // The baseline: midway between the highest and the lowest value nearby, which for a
    // square wave is the level between its two states, following hum and wander.
    sliding_extremes(k.top, h, false, k.high, k.prefix, k.suffix);
    sliding_extremes(k.bottom, h, true, k.low, k.prefix, k.suffix);
    edge_baselines(k.high.data(), k.low.data(), blocks, k.edge_base.data());
    kernels::remove_baseline(x.data(), n, k.edge_base.data(), k.magnitude.data());
    // Running sums over the blocks: the amplitude around each block, and on its weaker side.
    k.sums[0] = 0.0;
    for (std::size_t b = 0; b < blocks; ++b) k.sums[b + 1] = k.sums[b] + k.magnitude[b];
    block_means(k.sums.data(), blocks, h, k.amplitude.data(), k.weaker.data());
    sliding_extremes(k.amplitude, c.reach / kBlock + 1, false, k.near, k.prefix, k.suffix);
    thresholds(c.settings, c.rate, k);
}

}  // namespace kvr
