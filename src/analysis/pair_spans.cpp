#include "analysis/pair_spans.hpp"

#include <algorithm>
#include <limits>

namespace kvr {

PairSpans::PairSpans(const std::int32_t* edges, std::size_t count)
    : edges_(edges), pairs_(count >= 2 ? count - 2 : 0), leaves_(1) {
    const std::size_t used = (pairs_ + kBlock - 1) / kBlock;
    while (leaves_ < used) leaves_ *= 2;
    for (int p = 0; p < 2; ++p) {
        min_[p].assign(2 * leaves_, std::numeric_limits<std::int32_t>::max());
        max_[p].assign(2 * leaves_, std::numeric_limits<std::int32_t>::min());
    }
    for (std::size_t first = 0; first < pairs_; first += kBlock) fill_leaf(first);
    for (std::size_t node = leaves_ - 1; node >= 1; --node) {
        for (int p = 0; p < 2; ++p) {
            min_[p][node] = std::min(min_[p][2 * node], min_[p][2 * node + 1]);
            max_[p][node] = std::max(max_[p][2 * node], max_[p][2 * node + 1]);
        }
    }
}

void PairSpans::fill_leaf(std::size_t first) {
    const std::size_t leaf = leaves_ + first / kBlock, n = std::min(kBlock, pairs_ - first);
    // The spans first, then the extremes in lanes: loops without branches that take many
    // pairs at a time. A leaf starts at an even pair, so the even lanes hold the even pairs.
    constexpr std::size_t kLanes = 8;
    std::int32_t spans[kBlock];
    for (std::size_t j = 0; j < n; ++j) spans[j] = span(first + j);
    std::int32_t lo[kLanes], hi[kLanes];
    std::fill(lo, lo + kLanes, std::numeric_limits<std::int32_t>::max());
    std::fill(hi, hi + kLanes, std::numeric_limits<std::int32_t>::min());
    const std::size_t whole = n / kLanes * kLanes;
    for (std::size_t j = 0; j < whole; j += kLanes)
        for (std::size_t l = 0; l < kLanes; ++l) {
            lo[l] = std::min(lo[l], spans[j + l]);
            hi[l] = std::max(hi[l], spans[j + l]);
        }
    for (std::size_t j = whole; j < n; ++j) {
        lo[j % kLanes] = std::min(lo[j % kLanes], spans[j]);
        hi[j % kLanes] = std::max(hi[j % kLanes], spans[j]);
    }
    for (std::size_t p = 0; p < 2; ++p) {
        std::int32_t a = lo[p], b = hi[p];
        for (std::size_t l = p + 2; l < kLanes; l += 2) a = std::min(a, lo[l]), b = std::max(b, hi[l]);
        min_[p][leaf] = a;
        max_[p][leaf] = b;
    }
}

std::size_t PairSpans::first_leaf(std::size_t from, int parity, std::int32_t lo, std::int32_t hi) const {
    if (from >= leaves_) return leaves_;
    // Climb from the leaf while the subtrees to the right hold nothing, then descend into
    // the first that does.
    std::size_t node = leaves_ + from;
    if (outside(node, parity, lo, hi)) return from;
    for (;;) {
        while (node % 2 == 1) {  // a right child: its right neighbours lie further up
            node /= 2;
            if (node <= 1) return leaves_;
        }
        ++node;  // the right sibling
        if (outside(node, parity, lo, hi)) break;
    }
    while (node < leaves_) node = outside(2 * node, parity, lo, hi) ? 2 * node : 2 * node + 1;
    return node - leaves_;
}

std::size_t PairSpans::first_outside(std::size_t first, std::int32_t lo, std::int32_t hi) const {
    const int parity = static_cast<int>(first % 2);
    // The end: the first pair of this parity that is not whole.
    const std::size_t end = pairs_ + ((pairs_ % 2 == first % 2) ? 0 : 1);
    if (first >= pairs_) return first;
    auto scan = [&](std::size_t k, std::size_t to) {
        for (; k < to && k < pairs_; k += 2)
            if (span(k) < lo || span(k) > hi) return k;
        return std::min(k, end);
    };
    const std::size_t block_end = (first / kBlock + 1) * kBlock;
    std::size_t k = scan(first, block_end);
    if (k < block_end || k >= pairs_) return k;
    const std::size_t leaf = first_leaf(first / kBlock + 1, parity, lo, hi);
    if (leaf >= leaves_) return end;
    const std::size_t start = leaf * kBlock + ((leaf * kBlock) % 2 == first % 2 ? 0 : 1);
    return scan(start, start + kBlock);
}

}  // namespace kvr
