// The top-most window watcher on a real desktop (Xvfb with openbox): windows this process
// opens while the watcher runs are raised once, windows that were there before never are,
// other processes' windows only when all processes are watched.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TessarollSession/TopmostWatcher.h"
#include "doubles/LogCapture/LogCapture.h"
#include "doubles/TestWindow/TestDesktop.h"
#include "helpers/ChildProcess.h"
#include "platform/Desktop.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// Windows of this very process, as the card component's would be in the service.
class OwnWindows {
public:
    OwnWindows() : display_(XOpenDisplay(nullptr)) {}
    ~OwnWindows() {
        if (display_) XCloseDisplay(display_);
    }
    OwnWindows(const OwnWindows&) = delete;
    OwnWindows& operator=(const OwnWindows&) = delete;

    DesktopWindow open(const std::string& title) {
        if (!display_) return 0;
        const Window window =
            XCreateSimpleWindow(display_, DefaultRootWindow(display_), 20, 20, 160, 80, 0, 0, 0);
        XStoreName(display_, window, title.c_str());
        XChangeProperty(display_, window, XInternAtom(display_, "_NET_WM_NAME", False),
                        XInternAtom(display_, "UTF8_STRING", False), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(title.data()),
                        static_cast<int>(title.size()));
        const long pid = getpid();
        XChangeProperty(display_, window, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL,
                        32, PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
        XMapWindow(display_, window);
        XSync(display_, False);
        return window;
    }

    // Takes the window out of the top-most layer again, as a user could.
    void lower(DesktopWindow window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display_, "_NET_WM_STATE", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = 0;  // remove
        event.xclient.data.l[1] =
            static_cast<long>(XInternAtom(display_, "_NET_WM_STATE_ABOVE", False));
        event.xclient.data.l[3] = 1;
        XSendEvent(display_, DefaultRootWindow(display_), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XSync(display_, False);
    }

private:
    Display* display_;
};

// A window of another process, opened by the test window program.
struct PeerWindow {
    explicit PeerWindow(const std::string& title) : program(kTestWindowProgram, {title}) {
        waitUntil([&] { return !program.output().empty(); });
        if (!program.output().empty()) id = std::stoul(program.output(), nullptr, 16);
    }
    ChildProcess program;
    DesktopWindow id = 0;
};

bool allListed(std::initializer_list<DesktopWindow> windows) {
    const std::vector<DesktopWindow> listed = listTopLevelWindows();
    return std::all_of(windows.begin(), windows.end(), [&](DesktopWindow w) {
        return w != 0 && std::find(listed.begin(), listed.end(), w) != listed.end();
    });
}

std::size_t countLines(const LogCapture& log, const std::string& text) {
    const std::vector<std::string> lines = log.lines();
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

// Threads of this process now.
std::size_t threadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// A raise reaches the window manager on its own time, on a busy machine seconds later.
constexpr auto kRaised = 20s;

class TopmostWatcher : public ::testing::Test {
protected:
    static void SetUpTestSuite() { desktop = new TestDesktop(true); }
    static void TearDownTestSuite() {
        resetDesktopForTests();
        delete desktop;
        desktop = nullptr;
    }
    void SetUp() override {
        if (!desktop->ready()) GTEST_SKIP() << "Xvfb with openbox cannot start here";
        resetDesktopForTests();
    }
    void TearDown() override { stopTopmostWatcher(); }

    // Opens a window of this process and waits until the watcher has raised it: a poll has
    // then gone over every window listed before it, and any raise it sent for them has
    // reached the window manager first. The sign that lets a test show what was not raised.
    ::testing::AssertionResult aPollHasRun() {
        const std::string title = "Marker " + std::to_string(++markers);
        const DesktopWindow marker = own.open(title);
        if (waitUntil([&] { return isWindowTopmost(marker); }, kRaised))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << title << (allListed({marker}) ? " listed" : " not listed")
               << (log.contains("Set UI top: " + title) ? ", raise sent" : ", no raise sent");
    }

    static TestDesktop* desktop;
    int markers = 0;
    LogCapture log;
    OwnWindows own;
    const uint32_t self = static_cast<uint32_t>(getpid());
};
TestDesktop* TopmostWatcher::desktop = nullptr;

TEST_F(TopmostWatcher, OnlyNewWindowsOfTheWatchedProcessAreRaisedAndOnlyOnce) {
    const DesktopWindow before = own.open("Before");
    PeerWindow peerBefore("Peer before");
    ASSERT_TRUE(waitUntil([&] { return allListed({before, peerBefore.id}); }));

    startTopmostWatcher(self, false);
    const DesktopWindow during = own.open("During");
    PeerWindow peerDuring("Peer during");
    ASSERT_TRUE(waitUntil([&] { return allListed({during, peerDuring.id}); }));
    EXPECT_TRUE(waitUntil([&] { return isWindowTopmost(during); }, kRaised));
    ASSERT_TRUE(aPollHasRun());
    EXPECT_FALSE(isWindowTopmost(before));
    EXPECT_FALSE(isWindowTopmost(peerBefore.id));
    EXPECT_FALSE(isWindowTopmost(peerDuring.id));
    EXPECT_EQ(countLines(log, "Set UI top: During"), 1u);
    EXPECT_EQ(countLines(log, "Set UI top: Complete"), 2u);  // During and the marker

    // Raised once: taken down again, it stays down while the watcher runs on.
    own.lower(during);
    ASSERT_TRUE(waitUntil([&] { return !isWindowTopmost(during); }, kRaised));
    ASSERT_TRUE(aPollHasRun());
    EXPECT_FALSE(isWindowTopmost(during));
    EXPECT_EQ(countLines(log, "Set UI top: During"), 1u);
    stopTopmostWatcher();

    // A fresh start takes a fresh snapshot: the window of the last call is old now.
    startTopmostWatcher(self, false);
    ASSERT_TRUE(aPollHasRun());
    EXPECT_FALSE(isWindowTopmost(during));
    stopTopmostWatcher();
}

TEST_F(TopmostWatcher, AllProcessesModeRaisesNewWindowsOfOtherProcessesToo) {
    PeerWindow peerBefore("All before");
    const DesktopWindow ownBefore = own.open("All own before");
    ASSERT_TRUE(waitUntil([&] { return allListed({peerBefore.id, ownBefore}); }));

    startTopmostWatcher(self, true);
    PeerWindow peerDuring("All during");
    const DesktopWindow ownDuring = own.open("All own during");
    ASSERT_TRUE(waitUntil([&] { return allListed({peerDuring.id, ownDuring}); }));
    EXPECT_TRUE(waitUntil(
        [&] { return isWindowTopmost(peerDuring.id) && isWindowTopmost(ownDuring); }, kRaised));
    ASSERT_TRUE(aPollHasRun());
    EXPECT_FALSE(isWindowTopmost(peerBefore.id));
    EXPECT_FALSE(isWindowTopmost(ownBefore));
    EXPECT_EQ(countLines(log, "Set UI top: All during"), 1u);
    stopTopmostWatcher();
}

TEST_F(TopmostWatcher, InputMethodWindowsAreNeverRaised) {
    startTopmostWatcher(self, false);
    const DesktopWindow ime = own.open("Default IME");
    const DesktopWindow tsf = own.open("MSCTFIME UI");
    const DesktopWindow near = own.open("Default IME ");  // compared exactly
    ASSERT_TRUE(waitUntil([&] { return allListed({ime, tsf, near}); }));
    EXPECT_TRUE(waitUntil([&] { return isWindowTopmost(near); }, kRaised));
    ASSERT_TRUE(aPollHasRun());
    EXPECT_FALSE(isWindowTopmost(ime));
    EXPECT_FALSE(isWindowTopmost(tsf));
    EXPECT_FALSE(log.contains("Set UI top: MSCTFIME UI"));
    EXPECT_EQ(countLines(log, "Set UI top: Default IME"), 1u);  // the near miss only
    stopTopmostWatcher();
}

TEST_F(TopmostWatcher, StopEndsTheWatchingAtOnce) {
    const std::size_t threadsBefore = threadCount();
    // Between two polls a stop does not wait for the poll period (300 ms) to run out. The
    // quickest of a few stops, so that a machine busy with other work does not count.
    auto quickest = std::chrono::steady_clock::duration::max();
    for (int round = 0; round < 5; ++round) {
        startTopmostWatcher(self, true);
        EXPECT_EQ(threadCount(), threadsBefore + 1);
        ASSERT_TRUE(aPollHasRun());
        const auto begin = std::chrono::steady_clock::now();
        stopTopmostWatcher();
        quickest = std::min(quickest, std::chrono::steady_clock::now() - begin);
    }
    EXPECT_LT(quickest, 150ms);

    // Its thread has gone, so nothing raises a window opened now.
    EXPECT_EQ(threadCount(), threadsBefore);
    const DesktopWindow after = own.open("After stop");
    ASSERT_TRUE(waitUntil([&] { return allListed({after}); }));
    EXPECT_FALSE(isWindowTopmost(after));
    EXPECT_FALSE(log.contains("Set UI top: After stop"));
    stopTopmostWatcher();  // a second stop changes nothing
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST_F(TopmostWatcher, AStartWhileRunningReplacesTheRunningWatcher) {
    const std::size_t threadsBefore = threadCount();
    startTopmostWatcher(self, true);
    const DesktopWindow first = own.open("First run");
    ASSERT_TRUE(waitUntil([&] { return isWindowTopmost(first); }, kRaised));
    // The second start ends the first watcher and snapshots anew, in own-process mode.
    startTopmostWatcher(self, false);
    EXPECT_EQ(threadCount(), threadsBefore + 1);
    PeerWindow peer("Second run peer");
    const DesktopWindow second = own.open("Second run");
    ASSERT_TRUE(waitUntil([&] { return allListed({peer.id, second}); }));
    EXPECT_TRUE(waitUntil([&] { return isWindowTopmost(second); }, kRaised));
    ASSERT_TRUE(aPollHasRun());
    EXPECT_FALSE(isWindowTopmost(peer.id));
    stopTopmostWatcher();
}

TEST_F(TopmostWatcher, TheListGrowsPastItsFirstSizeAndKeepsTheSizeForLaterStarts) {
    std::vector<DesktopWindow> many;
    for (int i = 0; i < 300; ++i) many.push_back(own.open("Many " + std::to_string(i)));
    ASSERT_TRUE(waitUntil([&] { return listTopLevelWindows().size() >= 300; }, 30s));

    startTopmostWatcher(self, false);
    EXPECT_EQ(countLines(log, "Resize WNDListSize to 512"), 1u);
    const DesktopWindow late = own.open("Late");
    EXPECT_TRUE(waitUntil([&] { return isWindowTopmost(late); }, kRaised));
    stopTopmostWatcher();

    // The snapshot of 301 windows fits the grown list from the start.
    startTopmostWatcher(self, false);
    EXPECT_EQ(countLines(log, "Resize WNDListSize to "), 1u);
    EXPECT_FALSE(isWindowTopmost(many.front()));
    stopTopmostWatcher();
}

TEST(TopmostWatcherHeadless, StartAndStopWithoutADisplay) {
    const char* saved = std::getenv("DISPLAY");
    const std::string savedValue = saved ? saved : "";
    unsetenv("DISPLAY");
    resetDesktopForTests();
    startTopmostWatcher(static_cast<uint32_t>(getpid()), true);
    std::this_thread::sleep_for(400ms);
    stopTopmostWatcher();
    if (saved) setenv("DISPLAY", savedValue.c_str(), 1);
    resetDesktopForTests();
}

}  // namespace
