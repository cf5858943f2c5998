// The recording as the analysis sees it: the sample positions where the level changes.
// Every question the analysis asks is where the level changes next, so the edges are all
// that is kept; memory follows the signal, not the number of samples.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "input/sample_vector.hpp"

namespace kvr {

class EdgeFeed;

// Room for the edges of a whole recording can be set aside in advance: pages that are
// never written take no memory, and the edges never move as they grow.
using EdgeVector = std::vector<std::int32_t, SampleAllocator<std::int32_t>>;

// Appends the edges [first, last), each less `shift`: a stretch copied in one go.
template <class It>
void append_shifted(EdgeVector& out, It first, It last, std::int32_t shift) {
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(last - first));
    std::transform(first, last, out.begin() + static_cast<std::ptrdiff_t>(at), [shift](std::int32_t e) { return e - shift; });
}

struct Recording {
    EdgeVector edges;  // ascending; each is the first sample of a new level
    std::int32_t count = 0;           // samples in all
    std::int32_t sample_rate = 0;
    bool first_low = false;           // the level of sample 0
    // While the recording is still being read, its edges come from here instead (the
    // count and rate are known from the file's header).
    const EdgeFeed* feed = nullptr;

    // The level of sample `at` (0 <= at < count).
    bool low_at(std::int32_t at) const;
    // Samples [from, to) as a recording of their own: sample `from` becomes sample 0.
    Recording slice(std::int32_t from, std::int32_t to) const;
    void clear() { *this = Recording{}; }
};

}  // namespace kvr
