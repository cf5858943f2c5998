#include "recovery/classic_levels.hpp"

#include <algorithm>

#include "input/edge_builder.hpp"

namespace kvr {

namespace {

// [from, to) within [0, count), so that a window never reads past the recording.
void clamp_window(std::int32_t& from, std::int32_t& to, std::uint64_t count) {
    const auto last = static_cast<std::int64_t>(std::min<std::uint64_t>(count, INT32_MAX));
    from = static_cast<std::int32_t>(std::clamp<std::int64_t>(from, 0, last));
    to = static_cast<std::int32_t>(std::clamp<std::int64_t>(to, from, last));
}

}  // namespace

Recording PcmLevels::window(std::int32_t from, std::int32_t to) const {
    clamp_window(from, to, run_.frames);
    Recording levels;
    EdgeBuilder edges(levels);
    const std::uint64_t frame = run_.format.frame_bytes();
    const auto frames = static_cast<std::size_t>(to - from);
    if (!edges.expect(static_cast<std::int64_t>(frames)) ||
        !edges.pcm(file_, run_.offset + static_cast<std::uint64_t>(from) * frame, frames, run_.format, fetcher_))
        levels.clear();  // no room for the window's edges: a retry from these levels finds nothing
    levels.sample_rate = rate_;
    return levels;
}

Recording SampleLevels::window(std::int32_t from, std::int32_t to) const {
    clamp_window(from, to, samples_.size());
    Recording levels;
    EdgeBuilder edges(levels);
    const auto n = static_cast<std::size_t>(to - from);
    if (!edges.expect(static_cast<std::int64_t>(n)) || !edges.samples(samples_.data() + from, n)) levels.clear();
    levels.sample_rate = rate_;
    return levels;
}

}  // namespace kvr
