// Items made by other threads, each of which takes the next item as soon as it is done with
// one, and handed out in order. Waiting for the item before to be handed out would leave a
// thread idle whenever items take unequal times.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/worker_pool.hpp"

namespace kvr {

template <class T>
class WorkInOrder {
public:
    // Makes items 0 to count - 1 with make(k) on `threads` threads. A thread keeps at most
    // two items per thread ahead of the one handed out last, so that few made items wait.
    WorkInOrder(std::size_t count, unsigned threads, std::function<T(std::size_t)> make)
        : made_(count), make_(std::move(make)), lead_(2 * std::size_t{threads}) {
        for (unsigned t = 0; t < threads; ++t) threads_.push_back(run_elsewhere([this] { work(); }));
    }
    WorkInOrder(const WorkInOrder&) = delete;
    WorkInOrder& operator=(const WorkInOrder&) = delete;
    ~WorkInOrder() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        threads_.clear();  // waits for every thread's item in hand
    }

    // The next item in order, once it is made; what making it threw, if it did. At most
    // `count` times.
    T take() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return made_[taken_].has_value(); });
        Made m = std::move(*made_[taken_]);
        made_[taken_++].reset();
        lock.unlock();
        changed_.notify_all();
        if (m.failed) std::rethrow_exception(m.failed);
        return std::move(*m.item);
    }

private:
    struct Made {
        std::optional<T> item;
        std::exception_ptr failed;
    };

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stop_ || next_ == made_.size() || next_ < taken_ + lead_; });
            if (stop_ || next_ == made_.size()) return;
            const std::size_t k = next_++;
            lock.unlock();
            Made m;
            try {
                m.item.emplace(make_(k));
            } catch (...) {
                m.failed = std::current_exception();
            }
            lock.lock();
            made_[k].emplace(std::move(m));
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<Made>> made_;
    std::size_t next_ = 0, taken_ = 0;  // the next item to make, and to hand out
    bool stop_ = false;
    const std::function<T(std::size_t)> make_;
    const std::size_t lead_;
    std::vector<Running<void>> threads_;  // last: stopped first
};

}  // namespace kvr
