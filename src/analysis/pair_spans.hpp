// The spans of all pairs of HPs of a recording, summarised so that the first pair whose
// span leaves a range is found in logarithmic time. Pair k runs from edge k to edge k + 2.
#pragma once

#include <cstdint>
#include <vector>

namespace kvr {

class PairSpans {
public:
    PairSpans(const std::int32_t* edges, std::size_t count);

    // The first pair k >= first, of the same parity as first, whose span is below `lo` or
    // above `hi`; or, when there is none, the first of that parity that is not a whole
    // pair (k + 2 past the last edge).
    std::size_t first_outside(std::size_t first, std::int32_t lo, std::int32_t hi) const;

private:
    static constexpr std::size_t kBlock = 64;  // pairs summarised by one leaf

    std::int32_t span(std::size_t k) const { return edges_[k + 2] - edges_[k]; }
    // The leaf of pairs [first, first + kBlock): the extremes of each parity's spans.
    void fill_leaf(std::size_t first);
    // The first leaf at or after `from` holding a pair of this parity outside the range,
    // or the number of leaves.
    std::size_t first_leaf(std::size_t from, int parity, std::int32_t lo, std::int32_t hi) const;
    bool outside(std::size_t node, int parity, std::int32_t lo, std::int32_t hi) const {
        return min_[parity][node] < lo || max_[parity][node] > hi;
    }

    const std::int32_t* edges_;
    std::size_t pairs_;   // whole pairs
    std::size_t leaves_;  // a power of two, at least one
    // A tree per parity of the pairs: node 1 is the root, leaves from leaves_ on.
    std::vector<std::int32_t> min_[2], max_[2];
};

}  // namespace kvr
