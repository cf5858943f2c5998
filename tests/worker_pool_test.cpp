// Work run on the threads that stay: results and failures come back, work waiting for
// other work never waits for a thread, a result dropped unread still waits for its work,
// and items made on several threads come out in order.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/work_in_order.hpp"
#include "core/worker_pool.hpp"

namespace kvr {
namespace {

TEST(WorkerPool, ResultsAndFailuresComeBack) {
    std::vector<Running<int>> results;
    for (int i = 0; i < 50; ++i) results.push_back(run_elsewhere([i] { return i * i; }));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(results[static_cast<std::size_t>(i)].get(), i * i);
    Running<int> failing = run_elsewhere([]() -> int { throw std::runtime_error("no"); });
    EXPECT_THROW(failing.get(), std::runtime_error);
}

// Each level of work waits for work of its own, deeper than there are processors.
int nested(int depth) {
    if (depth == 0) return 1;
    Running<int> a = run_elsewhere([depth] { return nested(depth - 1); });
    Running<int> b = run_elsewhere([depth] { return nested(depth - 1); });
    return a.get() + b.get();
}

TEST(WorkerPool, WorkWaitingForWorkNeverWaitsForAThread) { EXPECT_EQ(nested(6), 64); }

TEST(WorkerPool, DroppedResultsWaitForTheirWork) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> done{0};
        {
            Running<void> slow = run_elsewhere([&done] {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                done = 1;
            });
            Running<void> replaced = run_elsewhere([&done] { done += 0; });
            replaced = std::move(slow);  // waits for the work it held, then holds the slow one
        }
        EXPECT_EQ(done.load(), 1);
    }
}

// Items that take longer the earlier they come are still handed out in order; a failure
// comes back at its own item; dropped with items still unmade, the work ends.
TEST(WorkInOrder, ItemsComeInOrderAndFailuresAtTheirPlace) {
    auto make = [](std::size_t k) {
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (20 - k % 20)));
        if (k == 33) throw std::runtime_error("item 33");
        return k * k;
    };
    WorkInOrder<std::size_t> line(40, 3, make);
    for (std::size_t k = 0; k < 33; ++k) ASSERT_EQ(line.take(), k * k);
    EXPECT_THROW(line.take(), std::runtime_error);
    WorkInOrder<std::size_t> dropped(1000, 2, make);
    EXPECT_EQ(dropped.take(), 0u);
}

TEST(WorkerPool, AChildOfForkRunsWorkOfItsOwn) {
    // The child has none of the parent's waiting threads; work handed to it must still run.
    for (int i = 0; i < 4; ++i) run_elsewhere([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the threads now wait for work
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Running<int> r = run_elsewhere([] { return 7; });
        ::_exit(r.get() == 7 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace kvr
