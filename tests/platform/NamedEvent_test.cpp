#include "platform/NamedEvent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <thread>
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

// A waiter that carries the generation it saw last counts what came while it was not
// waiting, one per set or pulse; a reset moves nothing on.
TEST(NamedEvent, WaitForChangeCountsTheSetsAndPulsesSinceTheGenerationSeen) {
    testing_support::Sandbox sandbox;
    struct Case {
        const char* steps;  // p: pulse, s: set, r: reset
        unsigned changes;
    };
    for (const Case& c : {Case{"", 0}, Case{"p", 1}, Case{"pp", 2}, Case{"r", 0}, Case{"sr", 1},
                          Case{"spr", 2}, Case{"ppppp", 5}}) {
        SCOPED_TRACE(c.steps);
        auto event = NamedEvent::create("generation");
        ASSERT_TRUE(event);
        uint32_t seen = event->generation();
        for (const char* step = c.steps; *step; ++step) {
            if (*step == 'p') event->pulse();
            if (*step == 's') event->set();
            if (*step == 'r') event->reset();
        }
        EXPECT_EQ(event->waitForChange(seen, 0ms), c.changes);
        EXPECT_EQ(seen, event->generation());
        EXPECT_EQ(event->waitForChange(seen, 0ms), 0u) << "each change counted once";
    }
}

TEST(NamedEvent, WaitForChangeWakesForAPulseOfAnotherHandleAndTimesOutWithoutOne) {
    testing_support::Sandbox sandbox;
    auto event = NamedEvent::create("change");
    auto other = NamedEvent::open("change");
    ASSERT_TRUE(event && other);
    uint32_t seen = other->generation();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(other->waitForChange(seen, 100ms), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

    std::thread pulser([&] {
        std::this_thread::sleep_for(50ms);
        event->pulse();
    });
    EXPECT_EQ(other->waitForChange(seen, 5000ms), 1u);
    pulser.join();
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

// A child that opens the event, says so on the pipe and waits; `waitMs` bounds its wait.
pid_t forkWaiter(const char* name, int waitMs) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        auto own = NamedEvent::open(name);
        char byte = own ? 'w' : 'x';
        (void)!::write(ready[1], &byte, 1);
        ::_exit(own && own->wait(std::chrono::milliseconds(waitMs)) ? 0 : 1);
    }
    ::close(ready[1]);
    char byte = 0;
    bool opened = ::read(ready[0], &byte, 1) == 1 && byte == 'w';
    ::close(ready[0]);
    if (!opened && child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return -1;
    }
    std::this_thread::sleep_for(100ms);  // into the wait
    return child;
}

// Whether the pulse returns within two seconds. A pulse that hangs is left behind on its
// own thread (and the event with it), so the test fails instead of hanging with it.
bool pulseReturns(std::unique_ptr<NamedEvent>& owner) {
    NamedEvent& event = *owner;
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> returned = done->get_future();
    std::thread([&event, done] {
        event.pulse();
        done->set_value();
    }).detach();
    if (returned.wait_for(2s) == std::future_status::ready) return true;
    (void)owner.release();
    return false;
}

bool exitedWith(pid_t child, int code) {
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == code;
}

TEST(NamedEvent, WaitersKilledInsideWaitNeverHoldUpPulsesOrTheWaitersAfterThem) {
    testing_support::Sandbox sandbox;
    auto event = NamedEvent::create("killed");
    ASSERT_TRUE(event);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        pid_t victim = forkWaiter("killed", 60000);
        ASSERT_GT(victim, 0);
        ::kill(victim, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(victim, &status, 0), victim);
        ASSERT_TRUE(WIFSIGNALED(status));

        // A pulse with nobody alive waiting, then one that a live process waits for.
        ASSERT_TRUE(pulseReturns(event));
        pid_t survivor = forkWaiter("killed", 5000);
        ASSERT_GT(survivor, 0);
        ASSERT_TRUE(pulseReturns(event)) << "blocked by the waiter that died";
        EXPECT_TRUE(exitedWith(survivor, 0));
    }
    // Set and reset still keep their meaning afterwards.
    event->set();
    EXPECT_TRUE(event->wait(50ms));
    event->reset();
    EXPECT_FALSE(event->wait(50ms));
}

TEST(NamedEvent, WaitWithATimeoutEndsAfterItAndResetWakesNobody) {
    testing_support::Sandbox sandbox;
    auto event = NamedEvent::create("timed");
    ASSERT_TRUE(event);
    pid_t waiter = forkWaiter("timed", 400);
    ASSERT_GT(waiter, 0);
    event->reset();  // changes the shared word without releasing anyone
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(exitedWith(waiter, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(NamedEvent, FallbackNameCarriesTheUid) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    std::string keep = saved ? saved : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string path = namedEventPath("ZEFAGPKITessaroll_DEBUG_MODE");
    if (saved) ::setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
    EXPECT_EQ(path, "/dev/shm/tessaroll-u" + std::to_string(::geteuid()) +
                        "/tessaroll-events/ZEFAGPKITessaroll_DEBUG_MODE");
}

// An object under the event's name that the user did not make as an event is refused,
// whether somebody holds it or not.
TEST(NamedEvent, AnObjectThatIsNotTheUsersOwnIsRefused) {
    struct Case {
        const char* what;
        mode_t mode;
        bool foreignOwner;
        bool link;
    };
    const Case cases[] = {
        {"another user's", 0600, true, false},
        {"readable by others", 0644, false, false},
        {"writable by others", 0666, false, false},
        {"a link to another file", 0600, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.foreignOwner && ::geteuid() != 0) {
            std::cout << "[ SKIPPED  ] " << c.what << ": making another user's object needs root\n";
            continue;
        }
        testing_support::Sandbox sandbox;
        const std::string path = namedEventPath("planted");
        std::string target = path;
        if (c.link) {
            target = (sandbox.root() / "elsewhere").string();
            ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
        }
        int fd = ::open(target.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 64), 0);
        ASSERT_EQ(::fchmod(fd, c.mode), 0);
        if (c.foreignOwner) {
            ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
        }
        ::close(fd);

        errno = 0;
        EXPECT_FALSE(NamedEvent::open("planted"));
        EXPECT_EQ(errno, EACCES);
        errno = 0;
        EXPECT_FALSE(NamedEvent::create("planted"));
        EXPECT_EQ(errno, EACCES);
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(path)));  // left alone
    }
}

TEST(NamedEvent, TheCreatorsObjectIsTheUsersAlone) {
    testing_support::Sandbox sandbox;
    auto event = NamedEvent::create("own");
    ASSERT_TRUE(event);
    struct stat st {};
    ASSERT_EQ(::stat(namedEventPath("own").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(NamedEvent::open("own"));
}

}  // namespace
