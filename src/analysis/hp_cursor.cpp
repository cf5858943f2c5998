#include "analysis/hp_cursor.hpp"

#include <algorithm>

#include "analysis/measure.hpp"
#include "analysis/pair_spans.hpp"

namespace kvr {

HpCursor::HpCursor(const EdgeView& view, CursorState at)
    : pos(at.pos),
      cur(at.cur),
      prev(at.prev),
      view_(view),
      edges_(view.edges()),
      count_(view.count()),
      rate_(view.sample_rate()),
      samples_per_tstate_(view.samples_per_tstate()) {
    take(view.known());
    next_ = std::min(at.edge, edge_count_);
}

void HpCursor::take(EdgeView::Known known) {
    edge_count_ = known.edges;
    if (known.complete)
        known_until_ = INT32_MAX;
    else
        known_until_ = known.edges > 0 ? edges_[known.edges - 1] : 0;
}

void HpCursor::take_more() { take(view_.wait_for_more(edge_count_)); }

void HpCursor::wait_past(std::int32_t at) {
    while (at >= known_until_) take_more();
}

void HpCursor::wait_for_edges(std::size_t n) {
    while (edge_count_ <= n && known_until_ != INT32_MAX) take_more();
}

std::size_t HpCursor::search_edge_after(std::int32_t at) {
    // The analysis moves on HP by HP and gives back a few at a time, so the answer is
    // nearly always within a step or two of the last one; a jump is found by bisection.
    constexpr std::size_t kNear = 4;
    std::size_t i = next_;
    for (std::size_t step = 0; step < kNear; ++step) {
        const bool past = i < edge_count_ && edges_[i] <= at;
        const bool before = i > 0 && edges_[i - 1] > at;
        if (!past && !before) return next_ = i;
        i = past ? i + 1 : i - 1;
    }
    return next_ = static_cast<std::size_t>(std::upper_bound(edges_, edges_ + edge_count_, at) - edges_);
}

void HpCursor::skip(int n) {
    std::int32_t last = cur;
    for (int i = 0; i < n; ++i) last = measure();
    if (n != 1) cur = last;
}

void HpCursor::skip_pairs_within(std::int32_t min_sum, std::int32_t max_sum) {
    if (pos <= 0 || pos >= count_) return;
    const std::size_t i = next_edge_after(pos);
    if (i == 0 || edges_[i - 1] != pos) return;  // only from an edge are the HPs whole
    // Pair k runs from edge k to edge k + 2; the last one skipped must end on an edge.
    const std::size_t first = i - 1;
    // A pair that differs comes within a pilot tone's length (a few thousand pairs) or soon
    // after: those are passed pair by pair. Only a search that runs longer builds the summary
    // of the whole recording, which would cost more than many such searches (a retry reads
    // every block it tries again with a cursor of its own).
    constexpr std::size_t kShortSearch = 8192;
    std::size_t stop = first;
    wait_for_edges(first + kShortSearch + 2);
    while (stop + 2 < edge_count_ && stop < first + kShortSearch) {
        const std::int32_t sum = edges_[stop + 2] - edges_[stop];
        if (sum < min_sum || sum > max_sum) break;
        stop += 2;
    }
    if (stop + 2 < edge_count_ && stop >= first + kShortSearch) {
        wait_for_edges(SIZE_MAX - 1);  // the summary is of the whole recording
        stop = view_.pair_spans().first_outside(stop, min_sum, max_sum);
    }
    if (stop <= first) return;
    const std::size_t last = stop - 2;  // pairs first, first + 2, ..., last
    hp_start = edges_[last + 1];
    cur = edges_[last + 1] - edges_[last];
    prev = edges_[last + 2] - edges_[last + 1];
    pos = edges_[last + 2];
    next_ = last + 3;
}

}  // namespace kvr
