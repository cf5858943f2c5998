// Work for other threads, run by threads that stay from one piece of work to the next:
// starting a thread for every piece of a long recording, and ending it, costs more than
// many a piece (its stack is given back and faulted in again each time).
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <type_traits>
#include <utility>

namespace kvr {

// Runs `job` on a waiting thread, or on a new one when none waits, so that work that
// waits for other work never waits for a thread.
void run_on_worker(std::function<void()> job);

// The result of work run elsewhere. Like the future of std::async, it waits for the work
// when dropped, so work may use what its caller holds on its stack.
template <class R>
class Running {
public:
    Running() = default;
    explicit Running(std::future<R> f) : f_(std::move(f)) {}
    Running(Running&&) noexcept = default;
    Running& operator=(Running&& other) noexcept {
        wait();
        f_ = std::move(other.f_);
        return *this;
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running() { wait(); }

    R get() { return f_.get(); }
    // The work has ended: get() will not wait.
    bool ready() const { return f_.valid() && f_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

private:
    void wait() {
        if (f_.valid()) f_.wait();
    }
    std::future<R> f_;
};

template <class F>
Running<std::invoke_result_t<F&>> run_elsewhere(F f) {
    using R = std::invoke_result_t<F&>;
    auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
    Running<R> result(task->get_future());
    run_on_worker([task] { (*task)(); });
    return result;
}

}  // namespace kvr
