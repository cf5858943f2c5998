#include "input/recording.hpp"

#include <algorithm>

namespace kvr {

namespace {

// The number of edges at or before sample `at`: the level there has flipped that often.
std::size_t flips_up_to(const EdgeVector& edges, std::int32_t at) {
    return static_cast<std::size_t>(std::upper_bound(edges.begin(), edges.end(), at) - edges.begin());
}

}  // namespace

bool Recording::low_at(std::int32_t at) const { return first_low != (flips_up_to(edges, at) % 2 == 1); }

Recording Recording::slice(std::int32_t from, std::int32_t to) const {
    Recording part;
    part.sample_rate = sample_rate;
    from = std::clamp(from, 0, count);
    to = std::clamp(to, from, count);
    part.count = to - from;
    if (part.count == 0) return part;
    part.first_low = low_at(from);
    const auto first = std::upper_bound(edges.begin(), edges.end(), from);
    const auto last = std::lower_bound(first, edges.end(), to);
    append_shifted(part.edges, first, last, from);
    return part;
}

}  // namespace kvr
