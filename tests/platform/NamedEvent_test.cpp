#include "platform/NamedEvent.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "helpers/Sandbox.h"

using namespace std::chrono_literals;

namespace {

TEST(NamedEvent, OpenFindsOnlyAnEventSomebodyHolds) {
    testing_support::Sandbox sandbox;
    EXPECT_FALSE(NamedEvent::open("ZEFAGPKITessaroll_DEBUG_MODE"));
    auto creator = NamedEvent::create("ZEFAGPKITessaroll_DEBUG_MODE");
    ASSERT_TRUE(creator);
    auto opened = NamedEvent::open("ZEFAGPKITessaroll_DEBUG_MODE");
    ASSERT_TRUE(opened);
    opened.reset();
    creator.reset();
    // The creator has gone (its file stays behind): the event no longer exists.
    EXPECT_FALSE(NamedEvent::open("ZEFAGPKITessaroll_DEBUG_MODE"));
}

TEST(NamedEvent, PulseReleasesExactlyTheThreadsWaitingThen) {
    testing_support::Sandbox sandbox;
    auto event = NamedEvent::create("pulse");
    ASSERT_TRUE(event);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            auto own = NamedEvent::open("pulse");
            if (own && own->wait(5000ms)) ++released;
        });
    }
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(event->pulse());
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released, 3);
    // Nobody was waiting for the pulse any more: a new waiter does not see it.
    EXPECT_FALSE(event->wait(100ms));
}

TEST(NamedEvent, SetStaysSignalledUntilReset) {
    testing_support::Sandbox sandbox;
    auto event = NamedEvent::create("manual");
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->wait(50ms));
    event->set();
    EXPECT_TRUE(event->wait(50ms));
    EXPECT_TRUE(event->wait(50ms));
    event->reset();
    EXPECT_FALSE(event->wait(50ms));
}

TEST(NamedEvent, PulseReachesAnotherProcess) {
    testing_support::Sandbox sandbox;
    auto event = NamedEvent::create("cross");
    ASSERT_TRUE(event);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto own = NamedEvent::open("cross");
        ::_exit(own && own->wait(5000ms) ? 0 : 1);
    }
    std::this_thread::sleep_for(300ms);
    event->pulse();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
