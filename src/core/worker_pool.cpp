#include "core/worker_pool.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace kvr {

namespace {

class WorkerPool {
public:
    void submit(std::function<void()> job) {
        std::unique_lock<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        // Every job waiting has a thread waiting for it, or gets one of its own.
        if (jobs_.size() > waiting_) {
            lock.unlock();
            std::thread([this] { work(); }).detach();
        } else {
            lock.unlock();
            wake_.notify_one();
        }
    }

    WorkerPool* before_fork = nullptr;  // kept, never used again

private:
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (jobs_.empty()) {
                ++waiting_;
                wake_.wait(lock, [this] { return !jobs_.empty(); });
                --waiting_;
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::size_t waiting_ = 0;
};

WorkerPool* g_pool = nullptr;

// A child of fork has none of its parent's threads: it starts a pool of its own. The old one
// is left as it was (its lock may have been held by a thread that is gone).
extern "C" void start_afresh_after_fork() {
    WorkerPool* const old = g_pool;
    g_pool = new WorkerPool;
    g_pool->before_fork = old;
}

WorkerPool& pool() {
    // Never destroyed: its threads wait for work until the process ends.
    static const bool started = [] {
        g_pool = new WorkerPool;
        ::pthread_atfork(nullptr, nullptr, start_afresh_after_fork);
        return true;
    }();
    (void)started;
    return *g_pool;
}

}  // namespace

void run_on_worker(std::function<void()> job) { pool().submit(std::move(job)); }

}  // namespace kvr
