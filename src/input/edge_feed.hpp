// Edges handed from a load step that is still reading to an analysis that runs meanwhile.
// The loader opens the feed on storage that never moves, says after each stretch how many
// edges are final, and closes it when it stops, whether it finished or failed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "input/sample_vector.hpp"

namespace kvr {

class EdgeFeed {
public:
    // The loader's side.
    void open(const std::int32_t* edges);
    void publish(std::size_t ready);
    void close();
    // Keeps edges the loader gives up on alive for as long as the feed, so that a failed load
    // never frees what the analysis may still be reading.
    void keep(std::vector<std::int32_t, SampleAllocator<std::int32_t>>&& edges);

    // The analysis's side. Waits until the feed is open or closed; true when it was opened.
    bool wait_open() const;
    const std::int32_t* edges() const { return edges_; }

    struct Progress {
        std::size_t ready = 0;  // the edges that are final
        bool closed = false;    // no more will come
    };
    Progress progress() const;
    // Waits until more than `have` edges are final, or no more will come.
    Progress wait_for_more(std::size_t have) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    const std::int32_t* edges_ = nullptr;  // set once, before the feed is opened
    bool opened_ = false;
    Progress progress_;
    std::vector<std::vector<std::int32_t, SampleAllocator<std::int32_t>>> kept_;
};

}  // namespace kvr
