#include "analysis/edge_view.hpp"

#include "analysis/pair_spans.hpp"
#include "input/edge_feed.hpp"

namespace kvr {

EdgeView::EdgeView(const Recording& recording, std::int32_t origin)
    : recording_(recording),
      origin_(origin),
      edges_(recording.feed != nullptr ? recording.feed->edges() : recording.edges.data()) {}

EdgeView::~EdgeView() = default;

EdgeView::Known EdgeView::known() const {
    if (recording_.feed == nullptr) return {recording_.edges.size(), true};
    const EdgeFeed::Progress now = recording_.feed->progress();
    return {now.ready, now.closed};
}

EdgeView::Known EdgeView::wait_for_more(std::size_t have) const {
    if (recording_.feed == nullptr) return known();
    const EdgeFeed::Progress now = recording_.feed->wait_for_more(have);
    return {now.ready, now.closed};
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
