// The worker threads that run requests off the listeners: how many run, which thread takes
// the next request, and when threads end.

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

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
    RequestWorkers workers(4);
    const std::thread::id first = runAndWait(workers);
    EXPECT_NE(first, std::this_thread::get_id());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(runAndWait(workers), first);
    EXPECT_EQ(workers.threads(), 1);
}

TEST(RequestWorkersTest, AtMostTheLimitRunAtOnce) {
    RequestWorkers workers(3);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> running{0};
    std::set<std::thread::id> threads;
    std::mutex lock;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(workers.run([&, released] {
            {
                std::lock_guard guard(lock);
                threads.insert(std::this_thread::get_id());
            }
            ++running;
            released.wait();
        }));
    }
    EXPECT_TRUE(eventually([&] { return running == 3; }));
    EXPECT_FALSE(workers.run([] {}));  // the fourth runs on its listener instead
    EXPECT_FALSE(workers.waitIdle(10ms));
    release.set_value();
    EXPECT_TRUE(workers.waitIdle(5s));
    EXPECT_EQ(threads.size(), 3u);
    EXPECT_TRUE(workers.run([] {}));  // room again
    EXPECT_TRUE(workers.waitIdle(5s));
}

TEST(RequestWorkersTest, IdleThreadsEnd) {
    RequestWorkers workers(4, 20ms);
    runAndWait(workers);
    EXPECT_TRUE(eventually([&] { return workers.threads() == 0; }));
    // A request after that starts a thread again.
    runAndWait(workers);
    EXPECT_EQ(workers.threads(), 1);
}

// What a job captured is gone once the job counts as done: a connection's state is freed
// right after its answer.
TEST(RequestWorkersTest, AJobsCaptureIsReleasedBeforeItCountsAsDone) {
    RequestWorkers workers(2);
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    ASSERT_TRUE(workers.run([held = std::move(held)] {}));
    ASSERT_TRUE(workers.waitIdle(5s));
    EXPECT_TRUE(watch.expired());
}
