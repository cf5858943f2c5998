#include "analysis/edge_view.hpp"

#include "analysis/measure.hpp"
#include "analysis/pair_spans.hpp"
#include "input/edge_feed.hpp"

namespace kvr {

EdgeView::EdgeView(const Recording& recording, std::int32_t origin)
    : recording_(recording),
      origin_(origin),
      edges_(recording.feed != nullptr ? recording.feed->edges() : recording.edges.data()),
      samples_per_tstate_(kvr::samples_per_tstate(recording.sample_rate)) {
    if (recording.feed == nullptr) {
        known_ = {recording.edges.size(), true};
    } else {
        const EdgeFeed::Progress now = recording.feed->progress();
        known_ = {now.ready, now.closed};
    }
}

EdgeView::~EdgeView() = default;

EdgeView::Known EdgeView::wait_for_more(std::size_t have) const {
    if (recording_.feed == nullptr || known_.complete) return known_;
    const EdgeFeed::Progress now = recording_.feed->wait_for_more(have);
    known_ = {now.ready, now.closed};
    return known_;
}

const PairSpans& EdgeView::pair_spans() const {
    if (!spans_) {
        Known k = known();
        while (!k.complete) k = wait_for_more(k.edges);
        spans_ = std::make_unique<PairSpans>(edges_, k.edges);
    }
    return *spans_;
}

}  // namespace kvr
