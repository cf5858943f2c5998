#include "input/edge_feed.hpp"

#include <utility>

namespace kvr {

void EdgeFeed::open(const std::int32_t* edges) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        edges_ = edges;
        opened_ = true;
        kept_.reserve(2);  // so that keeping edges later needs no memory
    }
    changed_.notify_all();
}

void EdgeFeed::publish(std::size_t ready) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        progress_.ready = ready;
    }
    changed_.notify_all();
}

void EdgeFeed::close() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        progress_.closed = true;
    }
    changed_.notify_all();
}

void EdgeFeed::keep(std::vector<std::int32_t, SampleAllocator<std::int32_t>>&& edges) {
    const std::lock_guard<std::mutex> lock(mutex_);
    kept_.push_back(std::move(edges));
}

bool EdgeFeed::wait_open() const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return opened_ || progress_.closed; });
    return opened_;
}

EdgeFeed::Progress EdgeFeed::progress() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return progress_;
}

EdgeFeed::Progress EdgeFeed::wait_for_more(std::size_t have) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return progress_.ready > have || progress_.closed; });
    return progress_;
}

}  // namespace kvr
