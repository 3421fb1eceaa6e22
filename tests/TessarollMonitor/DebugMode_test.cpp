// Debug mode: the ini it writes really switches the logger on, its removal switches it off,
// its existence is the state across restarts, and each change pulses the named event.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "MonitorTestSupport.h"
#include "TessarollMonitor/DebugMode.h"
#include "TessarollMonitor/TrayUi.h"
#include "TessarollUtil/DebugModeFollower.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/System.h"
#include "doubles/LogCapture/LogCapture.h"
#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::Sandbox;

namespace {

void resetLogging() {
    logIniPath.clear();
    resetLogForTests();
    resetLoggerForTests();
}

// The dated file the logger writes under the "Log File" name.
std::vector<fs::path> logFiles(const fs::path& folder) {
    std::vector<fs::path> out;
    if (!fs::exists(folder)) return out;
    for (const auto& entry : fs::directory_iterator(folder)) out.push_back(entry.path());
    return out;
}

class DebugModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetLogging();
        setProgramPrefix("TessarollMonitor-TEST0000_SID");
        currentLanguage = Language_English;
        buildLanguageTexts();
        setTrayUi(&ui_);
    }
    void TearDown() override {
        setTrayUi(nullptr);
        resetLogging();
    }

    fs::path iniPath() const { return sandbox_.tempDir() / "ZEFAGPKITessaroll.ini"; }
    fs::path logFolder() const { return sandbox_.desktopDir() / "TessarollLog"; }

    Sandbox sandbox_;
    std::optional<testing_support::FreshMonitorState> state_{std::in_place};
    testing_support::RecordingTrayUi ui_;
};

TEST_F(DebugModeTest, SettingsNameTheIniInTheTempFolderAndALogOnTheDesktop) {
    initDebugLogSettings();
    EXPECT_EQ(logIniPath, iniPath().string());
    EXPECT_EQ((*state_)->debugMode.logIniText,
              "[ZEFAGPKITessaroll]\nLog File=" + (logFolder() / "ZEFAGPKITessaroll.txt").string() +
                  "\nLog Level=5");
    EXPECT_EQ((*state_)->debugMode.on.load(), 0);
}

TEST_F(DebugModeTest, StartSwitchesLoggingOnThroughTheRealLoggerAndStopSwitchesItOff) {
    initDebugLogSettings();
    ASSERT_FALSE(isLogOn());

    startDebugMode();
    EXPECT_EQ((*state_)->debugMode.on.load(), 1);
    ASSERT_TRUE(fs::exists(iniPath()));
    EXPECT_EQ(readFile(iniPath()), (*state_)->debugMode.logIniText);
    EXPECT_TRUE(isLogOn());
    // The desktop did not exist in the fresh home: the log folder was made with it.
    std::vector<fs::path> files = logFiles(logFolder());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string().rfind("ZEFAGPKITessaroll_", 0), 0u) << files[0];
    EXPECT_NE(readFile(files[0]).find("Log state: Enable"), std::string::npos);

    // Another program finds the same settings on its own: the logger reads level 5.
    resetLoggerForTests();
    EXPECT_EQ(initLog(logIniPath.c_str()), kLogIniFound);
    EXPECT_EQ(currentLogLevel(), 5);

    stopDebugMode();
    EXPECT_EQ((*state_)->debugMode.on.load(), 0);
    EXPECT_FALSE(fs::exists(iniPath()));
    EXPECT_FALSE(isLogOn());
    EXPECT_NE(readFile(files[0]).find("Log state: Disable"), std::string::npos);
    resetLoggerForTests();
    EXPECT_NE(initLog(logIniPath.c_str()), kLogIniFound);

    EXPECT_EQ(ui_.balloons(),
              (std::vector<std::string>{"Turn on debug mode", "Turn off debug mode"}));
    EXPECT_EQ(ui_.closedBoxes(), (std::vector<std::string>{kAboutCaption, kAboutCaption}));
}

TEST_F(DebugModeTest, TheIniIsTheStateAcrossRestartsAndToggleFollowsIt) {
    initDebugLogSettings();
    toggleDebugMode();
    ASSERT_TRUE(fs::exists(iniPath()));

    // A monitor started afterwards begins with debug mode on.
    state_.emplace();
    resetLogging();
    initDebugLogSettings();
    EXPECT_EQ((*state_)->debugMode.on.load(), 1);
    toggleDebugMode();
    EXPECT_FALSE(fs::exists(iniPath()));

    state_.emplace();
    resetLogging();
    initDebugLogSettings();
    EXPECT_EQ((*state_)->debugMode.on.load(), 0);
    stopDebugMode();  // with no file to delete
    EXPECT_EQ((*state_)->debugMode.on.load(), 0);
}

TEST(DebugModeWriteFailure, AnUnwritableIniWarnsAndStillCountsAsOn) {
    testing_support::LogCapture log;
    testing_support::FreshMonitorState state;
    initDebugLogSettings();
    fs::create_directories(logIniPath);  // a folder where the file should go
    startDebugMode();
    EXPECT_EQ(state->debugMode.on.load(), 1);
    EXPECT_TRUE(log.contains("[Warning] [Warning] Write log ini file fail")) << "missing warning";
    fs::remove(logIniPath);
    logIniPath.clear();
}

class DebugEventTest : public ::testing::Test {
protected:
    void SetUp() override { resetLogging(); }
    void TearDown() override { resetLogging(); }
    Sandbox sandbox_;
    testing_support::FreshMonitorState state_;
};

// A follower as the main program and the watchdog run one, counting pulses.
struct CountingFollower {
    std::atomic<int> pulses{0};
    std::atomic<int> missing{0};
    DebugModeFollower follower{
        {kDebugModeEventName, [this] { ++pulses; }, [this](int) { ++missing; }, 20ms}};
};

TEST_F(DebugEventTest, OnlyTheMonitorCreatesTheEventAndAFollowerFindsItOnceItExists) {
    CountingFollower side;
    ASSERT_TRUE(testing_support::waitUntil([&] { return side.missing == 1; }))
        << "no monitor holds the event yet";
    EXPECT_TRUE(openDebugEvent());
    EXPECT_FALSE(openDebugEvent()) << "a second open changes nothing";
    // The follower waits on it once it has looked again: keep pulsing until one arrives.
    EXPECT_TRUE(testing_support::waitUntil(
        [&] {
            pulseDebugEvent();
            return side.pulses > 0;
        },
        5s));
    EXPECT_EQ(side.missing, 1) << "the missing event is reported once";
}

TEST_F(DebugEventTest, StartingAndStoppingDebugModeEachPulseOnce) {
    setProgramPrefix("TessarollMonitor-TEST0000_SID");
    initDebugLogSettings();
    ASSERT_TRUE(openDebugEvent());
    CountingFollower side;
    std::this_thread::sleep_for(300ms);  // into its wait
    int expected = 0;
    for (bool start : {true, false, true, false}) {
        start ? startDebugMode() : stopDebugMode();
        ++expected;
        EXPECT_TRUE(testing_support::waitUntil([&] { return side.pulses == expected; }, 5s))
            << (start ? "start" : "stop");
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(side.pulses, expected) << "one pulse each";
    }
    EXPECT_EQ(side.missing, 0);
}

}  // namespace
