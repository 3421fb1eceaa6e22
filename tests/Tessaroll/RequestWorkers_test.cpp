// The worker threads that run requests off the listeners: how many run, which thread takes
// the next request, the queue beyond them, the order of one session's requests, and when
// threads end.

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Tessaroll/RequestWorkers.h"

using namespace std::chrono_literals;

namespace {

// Runs one job and waits for it to end; the id of the thread that ran it.
std::thread::id runAndWait(RequestWorkers& workers) {
    std::promise<std::thread::id> ran;
    EXPECT_TRUE(workers.run([&ran] { ran.set_value(std::this_thread::get_id()); }));
    std::thread::id id = ran.get_future().get();
    EXPECT_TRUE(workers.waitIdle(5s));
    return id;
}

bool eventually(const std::function<bool()>& done) {
    for (auto until = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(1ms))
        if (done()) return true;
    return false;
}

}  // namespace

TEST(RequestWorkersTest, AnIdleThreadTakesTheNextRequest) {
    RequestWorkers workers(4, 8);
    const std::thread::id first = runAndWait(workers);
    EXPECT_NE(first, std::this_thread::get_id());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(runAndWait(workers), first);
    EXPECT_EQ(workers.threads(), 1);
}

// Jobs that block until released, each noting when it started.
class Blockers {
public:
    std::function<void()> job(int mark) {
        return [this, mark] {
            {
                std::lock_guard guard(lock_);
                started_.push_back(mark);
                threads_.insert(std::this_thread::get_id());
            }
            released_.wait();
        };
    }
    std::vector<int> started() {
        std::lock_guard guard(lock_);
        return started_;
    }
    std::size_t threads() {
        std::lock_guard guard(lock_);
        return threads_.size();
    }
    void release() { release_.set_value(); }

private:
    std::promise<void> release_;
    std::shared_future<void> released_ = release_.get_future().share();
    std::mutex lock_;
    std::vector<int> started_;
    std::set<std::thread::id> threads_;
};

TEST(RequestWorkersTest, BeyondTheLimitJobsWaitInTheirOrderAndBeyondTheQueueTheyAreRefused) {
    RequestWorkers workers(3, 2);
    Blockers blockers;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(workers.run(blockers.job(i)));
    EXPECT_TRUE(eventually([&] { return blockers.started().size() == 3; }));
    // Two more wait for a thread; the one after them finds the queue full.
    std::promise<void> fourthRan;
    ASSERT_TRUE(workers.run([&] { fourthRan.set_value(); }));
    ASSERT_TRUE(workers.run(blockers.job(4)));
    bool refusedRan = false;
    EXPECT_FALSE(workers.run([&] { refusedRan = true; }));
    EXPECT_FALSE(workers.waitIdle(10ms));
    EXPECT_EQ(blockers.started().size(), 3u);  // the queued ones wait for a thread

    blockers.release();
    fourthRan.get_future().get();
    EXPECT_TRUE(workers.waitIdle(5s));
    EXPECT_EQ(blockers.started().size(), 4u);
    EXPECT_EQ(blockers.started().back(), 4);
    EXPECT_EQ(blockers.threads(), 3u);
    EXPECT_FALSE(refusedRan);
    EXPECT_TRUE(workers.run([] {}));  // room again
    EXPECT_TRUE(workers.waitIdle(5s));
}

// A session's requests run one after another in their order, and those waiting for their
// turn hold no thread: another session's request runs meanwhile.
TEST(RequestWorkersTest, OneKeysJobsRunInOrderWithoutHoldingThreads) {
    RequestWorkers workers(2, 16);
    Blockers first;
    ASSERT_TRUE(workers.run(first.job(0), "page\nsession-a"));
    ASSERT_TRUE(eventually([&] { return first.started().size() == 1; }));
    for (int i = 1; i <= 5; ++i) ASSERT_TRUE(workers.run(first.job(i), "page\nsession-a"));
    std::promise<void> otherRan;
    ASSERT_TRUE(workers.run([&] { otherRan.set_value(); }, "page\nsession-b"));
    EXPECT_EQ(otherRan.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.started(), std::vector<int>{0});  // the rest wait behind the first

    // The same key under another origin is another session.
    std::promise<void> otherOriginRan;
    ASSERT_TRUE(workers.run([&] { otherOriginRan.set_value(); }, "other page\nsession-a"));
    EXPECT_EQ(otherOriginRan.get_future().wait_for(5s), std::future_status::ready);

    first.release();
    EXPECT_TRUE(workers.waitIdle(5s));
    EXPECT_EQ(first.started(), (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(RequestWorkersTest, IdleThreadsEnd) {
    RequestWorkers workers(4, 8, 20ms);
    runAndWait(workers);
    EXPECT_TRUE(eventually([&] { return workers.threads() == 0; }));
    // A request after that starts a thread again.
    runAndWait(workers);
    EXPECT_EQ(workers.threads(), 1);
}

// What a job captured is gone once the job counts as done: a connection's state is freed
// right after its answer.
TEST(RequestWorkersTest, AJobsCaptureIsReleasedBeforeItCountsAsDone) {
    RequestWorkers workers(2, 8);
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    ASSERT_TRUE(workers.run([held = std::move(held)] {}));
    ASSERT_TRUE(workers.waitIdle(5s));
    EXPECT_TRUE(watch.expired());
}
