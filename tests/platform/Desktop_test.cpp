// The desktop layer against a real X server (Xvfb, with and without openbox): keys pressed
// with xdotool read back by virtual-key code, windows of another process listed with their
// process id and title, raised above the others, and a service that outlives its display.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <string>
#include <vector>

#include "doubles/TestWindow/TestDesktop.h"
#include "helpers/ChildProcess.h"
#include "platform/Desktop.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

bool runXdotool(const std::vector<std::string>& args) {
    ChildProcess xdotool("/usr/bin/xdotool", args);
    return xdotool.wait(10s) == 0;
}

std::bitset<256> keys(std::initializer_list<int> codes) {
    std::bitset<256> set;
    for (int code : codes) set.set(static_cast<std::size_t>(code));
    return set;
}

std::string describe(const std::bitset<256>& set) {
    std::string text;
    for (std::size_t k = 0; k < set.size(); ++k)
        if (set.test(k)) text += std::to_string(k) + " ";
    return text;
}

// A window of another process, opened by the test window program.
struct PeerWindow {
    explicit PeerWindow(const std::string& title) : program(kTestWindowProgram, {title}) {
        waitUntil([&] { return !program.output().empty(); });
        if (!program.output().empty()) id = std::stoul(program.output(), nullptr, 16);
    }
    ChildProcess program;
    DesktopWindow id = 0;
};

bool listed(DesktopWindow window) {
    for (DesktopWindow w : listTopLevelWindows())
        if (w == window) return true;
    return false;
}

}  // namespace

TEST(DesktopHeadless, EveryAnswerIsNothingWithoutADisplay) {
    const char* saved = std::getenv("DISPLAY");
    const std::string savedValue = saved ? saved : "";
    // No display named at all, and one named where no server listens.
    for (const char* display : {static_cast<const char*>(nullptr), ":987"}) {
        SCOPED_TRACE(display ? display : "(unset)");
        if (display)
            setenv("DISPLAY", display, 1);
        else
            unsetenv("DISPLAY");
        resetDesktopForTests();
        EXPECT_FALSE(desktopAvailable());
        EXPECT_TRUE(pressedVirtualKeys().none());
        EXPECT_FALSE(isKeyDown(0x41));
        EXPECT_TRUE(listTopLevelWindows().empty());
        EXPECT_EQ(windowProcessId(0x400001), 0u);
        EXPECT_EQ(windowTitle(0x400001), "");
        EXPECT_FALSE(setWindowTopmost(0x400001));
        EXPECT_FALSE(isWindowTopmost(0x400001));
    }
    if (saved)
        setenv("DISPLAY", savedValue.c_str(), 1);
    else
        unsetenv("DISPLAY");
    resetDesktopForTests();
}

class DesktopKeys : public ::testing::Test {
protected:
    static void SetUpTestSuite() { desktop = new TestDesktop(false); }
    static void TearDownTestSuite() {
        resetDesktopForTests();
        delete desktop;
        desktop = nullptr;
    }
    void SetUp() override {
        if (!desktop->ready()) GTEST_SKIP() << "Xvfb cannot start here";
        if (!std::filesystem::exists("/usr/bin/xdotool")) GTEST_SKIP() << "no xdotool";
        resetDesktopForTests();
        ASSERT_TRUE(desktopAvailable());
    }
    static TestDesktop* desktop;
};
TestDesktop* DesktopKeys::desktop = nullptr;

TEST_F(DesktopKeys, HeldKeysReadAsTheirVirtualKeysAndNothingElse) {
    struct Case {
        const char* key;
        std::bitset<256> expected;
    };
    const std::vector<Case> cases = {
        {"a", keys({0x41})},
        {"z", keys({0x5A})},
        {"5", keys({0x35})},
        {"Shift_L", keys({0x10, 0xA0})},
        {"Control_L", keys({0x11, 0xA2})},
        {"Alt_L", keys({0x12, 0xA4})},
        {"Print", keys({0x2C})},
        {"F5", keys({0x74})},
        {"F12", keys({0x7B})},
        {"Return", keys({0x0D})},
        {"Escape", keys({0x1B})},
        {"Left", keys({0x25})},
        {"Super_L", keys({0x5B})},
        {"space", keys({0x20})},
        {"comma", keys({0xBC})},
        {"semicolon", keys({0xBA})},
        // The keypad key reads as its digit whatever Num Lock says.
        {"KP_Home", keys({0x67})},
        {"KP_Add", keys({0x6B})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        ASSERT_TRUE(runXdotool({"keydown", c.key}));
        std::bitset<256> seen;
        EXPECT_TRUE(waitUntil([&] { return (seen = pressedVirtualKeys()) == c.expected; }, 3s))
            << "down: " << describe(seen) << " expected: " << describe(c.expected);
        for (std::size_t k = 0; k < 256; ++k) {
            if (c.expected.test(k)) {
                EXPECT_TRUE(isKeyDown(static_cast<int>(k))) << k;
            }
        }
        ASSERT_TRUE(runXdotool({"keyup", c.key}));
        EXPECT_TRUE(waitUntil([&] { return pressedVirtualKeys().none(); }, 3s))
            << describe(pressedVirtualKeys());
    }
}

TEST_F(DesktopKeys, PointerButtonsReadAsTheMouseKeys) {
    const std::vector<std::pair<const char*, int>> cases = {{"1", 0x01}, {"3", 0x02}, {"2", 0x04}};
    for (const auto& [button, virtualKey] : cases) {
        SCOPED_TRACE(button);
        ASSERT_TRUE(runXdotool({"mousedown", button}));
        EXPECT_TRUE(waitUntil([&] { return pressedVirtualKeys() == keys({virtualKey}); }, 3s))
            << describe(pressedVirtualKeys());
        ASSERT_TRUE(runXdotool({"mouseup", button}));
        EXPECT_TRUE(waitUntil([&] { return !isKeyDown(virtualKey); }, 3s));
    }
}

TEST_F(DesktopKeys, CodesOutsideTheTableReadAsUp) {
    ASSERT_TRUE(runXdotool({"keydown", "a"}));
    ASSERT_TRUE(waitUntil([] { return isKeyDown(0x41); }, 3s));
    for (int code : {-1, 0, 256, 1000}) EXPECT_FALSE(isKeyDown(code)) << code;
    ASSERT_TRUE(runXdotool({"keyup", "a"}));
}

class DesktopWindows : public ::testing::Test {
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
    static TestDesktop* desktop;
};
TestDesktop* DesktopWindows::desktop = nullptr;

TEST_F(DesktopWindows, WindowsOfAnotherProcessAreListedWithTheirProcessAndTitle) {
    PeerWindow alpha("Alpha");
    PeerWindow beta("Beta \xC3\x9C");
    ASSERT_NE(alpha.id, 0u);
    ASSERT_NE(beta.id, 0u);
    ASSERT_TRUE(waitUntil([&] { return listed(alpha.id) && listed(beta.id); }));
    EXPECT_EQ(windowProcessId(alpha.id), static_cast<uint32_t>(alpha.program.pid()));
    EXPECT_EQ(windowProcessId(beta.id), static_cast<uint32_t>(beta.program.pid()));
    EXPECT_EQ(windowTitle(alpha.id), "Alpha");
    EXPECT_EQ(windowTitle(beta.id), "Beta \xC3\x9C");
    // A window that has gone answers nothing, and the connection stays usable.
    const DesktopWindow gone = alpha.id;
    alpha.program.kill();
    ASSERT_TRUE(waitUntil([&] { return !listed(gone); }));
    EXPECT_EQ(windowProcessId(gone), 0u);
    EXPECT_EQ(windowTitle(gone), "");
    EXPECT_FALSE(isWindowTopmost(gone));
    EXPECT_EQ(windowTitle(beta.id), "Beta \xC3\x9C");
}

TEST_F(DesktopWindows, TitlesAreCutAtWholeCharactersWithinTheBound) {
    // "Ü" is one wide character, the emoji two (a surrogate pair), each letter one.
    const std::string title =
        "\xC3\x9C\xF0\x9F\x98\x80"
        "ab";
    PeerWindow window(title);
    ASSERT_NE(window.id, 0u);
    const std::vector<std::pair<std::size_t, std::string>> cases = {
        {0, ""},
        {1, ""},
        {2, "\xC3\x9C"},
        {3, "\xC3\x9C"},
        {4, "\xC3\x9C\xF0\x9F\x98\x80"},
        {5,
         "\xC3\x9C\xF0\x9F\x98\x80"
         "a"},
        {512, title},
    };
    for (const auto& [bound, expected] : cases)
        EXPECT_EQ(windowTitle(window.id, bound), expected) << bound;

    PeerWindow longTitle(std::string(600, 'x'));
    ASSERT_NE(longTitle.id, 0u);
    EXPECT_EQ(windowTitle(longTitle.id), std::string(511, 'x'));
}

TEST_F(DesktopWindows, ARaisedWindowStaysAboveAndTheOthersAreLeftAlone) {
    PeerWindow raised("Raised");
    PeerWindow other("Other");
    ASSERT_TRUE(waitUntil([&] { return listed(raised.id) && listed(other.id); }));
    EXPECT_FALSE(isWindowTopmost(raised.id));
    ASSERT_TRUE(setWindowTopmost(raised.id));
    EXPECT_TRUE(waitUntil([&] { return isWindowTopmost(raised.id); }, 3s));
    EXPECT_FALSE(isWindowTopmost(other.id));
    EXPECT_FALSE(setWindowTopmost(0));
}

TEST(DesktopWithoutWindowManager, MappedWindowsAreListedAndRaisedAllTheSame) {
    TestDesktop desktop(false);
    if (!desktop.ready()) GTEST_SKIP() << "Xvfb cannot start here";
    resetDesktopForTests();
    {
        PeerWindow window("Bare");
        ASSERT_NE(window.id, 0u);
        ASSERT_TRUE(waitUntil([&] { return listed(window.id); }));
        EXPECT_EQ(windowProcessId(window.id), static_cast<uint32_t>(window.program.pid()));
        ASSERT_TRUE(setWindowTopmost(window.id));
        EXPECT_TRUE(isWindowTopmost(window.id));
    }
    resetDesktopForTests();
}

TEST(DesktopLostServer, CallsAnswerNothingWhenTheServerGoesAndReconnectToTheNextOne) {
    auto first = std::make_unique<TestDesktop>(false);
    if (!first->ready()) GTEST_SKIP() << "Xvfb cannot start here";
    resetDesktopForTests();
    ASSERT_TRUE(desktopAvailable());
    listTopLevelWindows();
    first.reset();  // the server ends under an open connection
    // The process lives on (a default handler would have ended it) and sees no desktop.
    EXPECT_TRUE(pressedVirtualKeys().none());
    EXPECT_TRUE(listTopLevelWindows().empty());
    EXPECT_FALSE(desktopAvailable());

    TestDesktop second(false);
    if (!second.ready()) GTEST_SKIP() << "a second Xvfb cannot start here";
    // No reset: the layer tries the display again by itself.
    EXPECT_TRUE(waitUntil([] { return desktopAvailable(); }, 5s));
    resetDesktopForTests();
}
