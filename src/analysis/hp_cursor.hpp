// The recording seen half-period by half-period. The cursor keeps the position and the
// last two HPs, which the analysers and decoders of one reading move on in turn; a reading
// starts a cursor of its own on a view of the edges and gives back where it stopped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/edge_view.hpp"

namespace kvr {

// Where a reading stands: the next sample to measure and the last two HPs, and where in
// the edges the cursor looked last (a hint: a reading that starts with it finds its first
// edge at once; any value is safe).
struct CursorState {
    std::int32_t pos = 0;
    std::int32_t cur = 0;
    std::int32_t prev = 0;
    std::size_t edge = 0;
};

class HpCursor {
public:
    // The view must outlive the cursor. Positions are the view's own (its sample 0 first).
    explicit HpCursor(const EdgeView& view, CursorState at = {});

    CursorState state() const { return {pos, cur, prev, next_}; }

    // The length in samples of the HP at pos, 0 at the end of the recording; pos moves past it.
    // Every analyser calls it for every HP, so it is inline.
    std::int32_t measure() {
        const std::int32_t start = pos < 0 ? 0 : pos;
        hp_start = start;
        if (start >= count_) return 0;
        const std::size_t i = next_edge_after(start);
        pos = i < edge_count_ ? edges_[i] : count_;
        return pos - start;
    }
    // Measures n HPs. Afterwards cur holds the last of them, except after a skip of one,
    // which leaves cur as it was.
    void skip(int n);
    // Measures pairs of HPs, as two measures each would, for as long as the two HPs of a
    // pair add up to at least `min_sum` and at most `max_sum` samples and the pair ends
    // before the last sample; cur and prev then hold the last of them. Stops before the
    // first pair that does not; may stop earlier, near the end of the recording, and only
    // when pos lies on an edge does it measure any. The time this takes grows with the
    // logarithm of the distance, not with the distance.
    void skip_pairs_within(std::int32_t min_sum, std::int32_t max_sum);

    bool at_end() const { return pos >= count_; }
    std::int32_t count() const { return count_; }
    std::int32_t sample_rate() const { return rate_; }
    double samples_per_tstate() const { return samples_per_tstate_; }

    std::int32_t pos = 0;       // the next sample to measure
    std::int32_t cur = 0;       // the most recent HP, or the reference HP of a tone
    std::int32_t prev = 0;      // the HP before it
    std::int32_t hp_start = 0;  // where the most recent measurement began

private:
    // The index of the first edge after sample `at`. After a measure, pos lies on edge
    // next_, so the next measure wants the edge after it: that step is tested first.
    std::size_t next_edge_after(std::int32_t at) {
        if (at >= known_until_) [[unlikely]]
            wait_past(at);
        const std::size_t i = next_ + 1;
        if (next_ < edge_count_ && edges_[next_] <= at && (i == edge_count_ || edges_[i] > at)) return next_ = i;
        return search_edge_after(at);
    }
    // The same for any other position: a jump or a give-back.
    std::size_t search_edge_after(std::int32_t at);

    // While the recording is still being read: waits until an edge after sample `at` is
    // there, or the reading has ended.
    void wait_past(std::int32_t at);
    // Waits until more than n edges are there, or the reading has ended.
    void wait_for_edges(std::size_t n);
    // Takes what the view has, once it has more than the cursor knows, or is complete.
    void take_more();
    void take(EdgeView::Known known);

    const EdgeView& view_;
    const std::int32_t* edges_;
    std::size_t edge_count_ = 0;
    std::size_t next_ = 0;  // where the last search ended: the next one starts near it
    std::int32_t count_;
    std::int32_t rate_;
    double samples_per_tstate_;
    // The first position whose next edge may not be there yet: every earlier one has it.
    std::int32_t known_until_ = INT32_MAX;
};

}  // namespace kvr
