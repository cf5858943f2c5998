// A recording's edges as the analysis reads them, never changed by it. Every reading of a
// stretch goes through a view: the view knows where the stretch lies in the whole recording,
// waits for edges that a load step is still reading, and keeps what all readings of the same
// edges share (the summary of HP pairs, made the first time a long search needs it).
#pragma once

#include <cstdint>
#include <memory>

#include "input/recording.hpp"

namespace kvr {

class PairSpans;

class EdgeView {
public:
    // The recording must outlive the view. Its sample 0 is sample `origin` of the whole
    // recording: the positions a reading takes and gives are the whole recording's.
    explicit EdgeView(const Recording& recording, std::int32_t origin = 0);
    EdgeView(const EdgeView&) = delete;
    EdgeView& operator=(const EdgeView&) = delete;
    ~EdgeView();

    const std::int32_t* edges() const { return edges_; }
    std::int32_t count() const { return recording_.count; }
    std::int32_t sample_rate() const { return recording_.sample_rate; }
    std::int32_t origin() const { return origin_; }
    double samples_per_tstate() const { return samples_per_tstate_; }

    // The edges that are there, as far as the view last learnt, and whether no more will come.
    struct Known {
        std::size_t edges = 0;
        bool complete = true;
    };
    Known known() const { return known_; }
    // Waits until more than `have` edges are there, or no more will come.
    Known wait_for_more(std::size_t have) const;
    // The summary of all pairs; waits for the whole recording.
    const PairSpans& pair_spans() const;

private:
    const Recording& recording_;
    std::int32_t origin_;
    const std::int32_t* edges_;
    double samples_per_tstate_;
    // What is known of a recording still being read; views are read on one thread.
    mutable Known known_;
    mutable std::unique_ptr<PairSpans> spans_;
};

}  // namespace kvr
