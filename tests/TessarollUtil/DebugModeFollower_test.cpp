// The debug-mode follower: it finds the monitor's event also when it starts first, takes
// each pulse once, keeps the event through a restart of the monitor, and never uses an
// object of that name that is not the user's own.
#include "TessarollUtil/DebugModeFollower.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

#include "doubles/LogCapture/LogCapture.h"
#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"
#include "platform/NamedEvent.h"

using namespace std::chrono_literals;
using testing_support::waitUntil;

namespace {

constexpr const char* kName = "follower-test";

struct Counting {
    std::atomic<int> pulses{0};
    std::atomic<int> missing{0};
    std::atomic<int> lastError{0};
    std::atomic<int> idleSlices{0};  // from the first on, the follower holds the event
    DebugModeFollower follower{options()};

    DebugModeFollower::Options options() {
        DebugModeFollower::Options options;
        options.eventName = kName;
        options.onPulse = [this] { ++pulses; };
        options.onFirstMissing = [this](int error) {
            lastError = error;
            ++missing;
        };
        options.reopenPause = 20ms;
        options.waitSlice = 20ms;
        options.afterIdleSlice = [this] { ++idleSlices; };
        return options;
    }
};

// Pulses once the follower holds the event and waits until it has counted `expected`,
// then makes sure no more arrive.
bool pulseUntilCounted(NamedEvent& event, const Counting& side, int expected) {
    if (!waitUntil([&] { return side.idleSlices > 0; }, 5s)) return false;
    event.pulse();
    bool counted = waitUntil([&] { return side.pulses >= expected; }, 5s);
    std::this_thread::sleep_for(100ms);
    return counted && side.pulses == expected;
}

TEST(DebugModeFollower, FindsTheEventOnceItExistsAndKeepsItThroughARestartOfItsCreator) {
    testing_support::Sandbox sandbox;
    Counting side;
    ASSERT_TRUE(waitUntil([&] { return side.missing == 1; }));
    EXPECT_EQ(side.lastError, ENOENT);

    auto monitor = NamedEvent::create(kName);
    ASSERT_TRUE(monitor);
    EXPECT_TRUE(pulseUntilCounted(*monitor, side, 1));
    EXPECT_TRUE(pulseUntilCounted(*monitor, side, 2));

    // The monitor ends and a new one comes: the follower's handle kept the event, so the
    // new monitor's pulses reach it.
    monitor.reset();
    auto next = NamedEvent::create(kName);
    ASSERT_TRUE(next);
    EXPECT_TRUE(pulseUntilCounted(*next, side, 3));
    EXPECT_EQ(side.missing, 1) << "reported once only";
}

// The monitor may pulse while the follower is between two waits (looking whether it is
// to stop): those pulses count all the same, each once.
TEST(DebugModeFollower, PulsesBetweenTwoWaitsAreTakenEachOnce) {
    testing_support::Sandbox sandbox;
    auto monitor = NamedEvent::create(kName);
    ASSERT_TRUE(monitor);
    for (int between : {1, 2, 3}) {
        SCOPED_TRACE(between);
        std::atomic<int> pulses{0};
        std::atomic<bool> pulsed{false};
        DebugModeFollower::Options options;
        options.eventName = kName;
        options.onPulse = [&] { ++pulses; };
        options.waitSlice = 5ms;
        options.afterIdleSlice = [&] {
            if (pulsed.exchange(true)) return;
            for (int i = 0; i < between; ++i) monitor->pulse();
        };
        {
            DebugModeFollower follower(std::move(options));
            EXPECT_TRUE(waitUntil([&] { return pulses >= between; }, 5s));
        }
        EXPECT_EQ(pulses, between);
    }
}

TEST(DebugModeFollower, AnEventThatIsNotTheUsersOwnIsRefusedAndLogged) {
    testing_support::Sandbox sandbox;
    testing_support::LogCapture log;
    int fd = ::open(namedEventPath(kName).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchmod(fd, 0666), 0);  // anybody could signal through it
    ::close(fd);
    Counting side;
    ASSERT_TRUE(waitUntil([&] { return side.missing == 1; }));
    EXPECT_EQ(side.lastError, EACCES);
    EXPECT_TRUE(
        log.contains(std::string("Debug mode event refused, not the user's own: ") + kName));
}

}  // namespace
