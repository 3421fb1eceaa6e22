// Screen capture: the file name and message, the hotkey poller fed with key snapshots, and
// a real capture of a virtual display saved as a PNG on the desktop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "MonitorTestSupport.h"
#include "TessarollMonitor/Languages.h"
#include "TessarollMonitor/MonitorConfig.h"
#include "TessarollMonitor/ScreenCapture.h"
#include "TessarollMonitor/TrayUi.h"
#include "TessarollMonitor/qt/QtTray.h"
#include "doubles/LogCapture/LogCapture.h"
#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"
#include "platform/Channel.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::waitUntil;

namespace {

TEST(ScreenCaptureText, FileNameAndSavedMessage) {
    EXPECT_EQ(screenshotFileName("/home/u/Desktop", "Screenshots", "2024-03-04 15-00-13"),
              "/home/u/Desktop/ZEFAGPKITessaroll Screenshots 2024-03-04 15-00-13.png");
    // Cut to 511 characters, never inside one.
    const std::string longDesktop = "/" + std::string(490, 'd');
    const std::string cut = screenshotFileName(longDesktop, "螢幕截圖", "2024-03-04 15-00-13");
    EXPECT_EQ(cut, longDesktop + "/ZEFAGPKITessaroll 螢");

    EXPECT_EQ(
        captureSavedMessage("Output ==FileName== to desktop success ==FileName==", "/d/a.png"),
        "Output /d/a.png to desktop success /d/a.png");
    EXPECT_EQ(captureSavedMessage("no placeholder", "/d/a.png"), "no placeholder");
}

class SnapshotKeys final : public KeyStateSource {
public:
    explicit SnapshotKeys(std::vector<std::set<int32_t>> snapshots)
        : snapshots_(std::move(snapshots)) {}
    bool isKeyDown(int32_t key) override {
        return at_ < snapshots_.size() && snapshots_[at_].count(key) > 0;
    }
    void sleepFor(std::chrono::milliseconds) override { ++at_; }
    bool done() const { return at_ >= snapshots_.size(); }

private:
    std::vector<std::set<int32_t>> snapshots_;
    std::size_t at_ = 0;
};

TEST(ScreenshotKeyPoller, OneCapturePerPressWhileSwitchedOn) {
    constexpr int32_t P = kVirtualKeyPrint, S = kVirtualKeySnapshot;
    struct Case {
        const char* name;
        bool switchedOn;
        std::vector<std::set<int32_t>> snapshots;
        int captures;
    };
    const Case cases[] = {
        {"switched off", false, {{}, {S}, {}, {S}, {}}, 0},
        {"one press", true, {{}, {S}, {}}, 1},
        {"held for many polls", true, {{}, {S}, {S}, {S}, {S}, {S}, {}}, 1},
        {"two presses", true, {{}, {S}, {}, {S}, {}}, 2},
        {"the print key too", true, {{}, {P}, {}}, 1},
        {"one key taking over from the other", true, {{}, {P}, {P, S}, {S}, {}}, 1},
        {"other keys", true, {{}, {0x2B}, {0x2D}, {}}, 0},
    };
    testing_support::FreshMonitorState state;
    for (const Case& c : cases) {
        state->config.isScreenShot = c.switchedOn;
        int captures = 0;
        SnapshotKeys keys(c.snapshots);
        ScreenshotKeyPoller poller(keys, [&] { ++captures; });
        while (!keys.done()) poller.runOnce();
        EXPECT_EQ(captures, c.captures) << c.name;
    }
}

// A virtual display for one test, or nothing when none can be started here.
class VirtualDisplay {
public:
    ~VirtualDisplay() {
        // Asked to end, the server removes its socket and lock file; killed, it leaves them.
        if (!xvfb_) return;
        xvfb_->signal(SIGTERM);
        xvfb_->wait(5s);
    }
    bool start() {
        if (!fs::exists("/usr/bin/Xvfb")) return false;
        for (int number = 260; number < 360; ++number) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
            if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(number) + "-lock"))
                continue;
            display_ = ":" + std::to_string(number);
            xvfb_ = std::make_unique<ChildProcess>(
                "/usr/bin/Xvfb", std::vector<std::string>{display_, "-nolisten", "tcp", "-screen",
                                                          "0", "800x600x24"});
            if (waitUntil([&] { return fs::exists(socket) || !xvfb_->running(); }, 10s) &&
                xvfb_->running())
                return true;
            xvfb_.reset();
        }
        return false;
    }
    const std::string& display() const { return display_; }

private:
    std::string display_;
    std::unique_ptr<ChildProcess> xvfb_;
};

// A recording UI in English, swapped in for one test.
class CaptureUi {
public:
    CaptureUi() {
        currentLanguage = Language_English;
        buildLanguageTexts();
        setTrayUi(&ui);
    }
    ~CaptureUi() { setTrayUi(nullptr); }
    testing_support::RecordingTrayUi ui;
};

TEST(ScreenCaptureDisplay, TheHotkeyThreadSavesTheScreenAsAPngOnTheDesktop) {
    testing_support::Sandbox sandbox;
    VirtualDisplay display;
    if (!display.start()) GTEST_SKIP() << "no virtual display can be started here";
    CaptureUi capture;
    QtTray qtTray(nullptr);
    capture.ui.grab = [&](const std::string& path) { return qtTray.grabScreen(path); };

    const std::string savedDisplay = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    setenv("DISPLAY", display.display().c_str(), 1);
    int argc = 1;
    char name[] = "ScreenCapture_test";
    char* argv[] = {name, nullptr};
    {
        QGuiApplication app(argc, argv, 0);
        ASSERT_EQ(QGuiApplication::platformName(), "xcb");
        fs::create_directories(sandbox.desktopDir());

        // As in the monitor: the capture runs on the hotkey thread while the GUI thread
        // goes on with its events.
        std::atomic<bool> done{false};
        std::string fileName;
        std::thread hotkey([&] {
            fileName = captureScreen();
            done = true;
        });
        while (!done) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(5ms);
        }
        hotkey.join();

        const fs::path file(fileName);
        EXPECT_EQ(file.parent_path(), sandbox.desktopDir());
        EXPECT_TRUE(std::regex_match(
            file.filename().string(),
            std::regex(R"(ZEFAGPKITessaroll Screenshots \d{4}-\d\d-\d\d \d\d-\d\d-\d\d\.png)")))
            << file.filename();
        ASSERT_TRUE(fs::exists(file));
        EXPECT_EQ(testing_support::readFile(file).substr(0, 8), "\x89PNG\r\n\x1a\n");
        QImage picture(QString::fromStdString(fileName), "PNG");
        EXPECT_EQ(picture.width(), 800);
        EXPECT_EQ(picture.height(), 600);
        EXPECT_EQ(capture.ui.balloons(),
                  std::vector<std::string>{"Output " + fileName + " to desktop success"});
    }
    savedDisplay.empty() ? unsetenv("DISPLAY") : setenv("DISPLAY", savedDisplay.c_str(), 1);
}

TEST(ScreenCaptureDisplay, ACaptureThatCannotBeSavedSaysSoInsteadOfSuccess) {
    testing_support::LogCapture log;
    {
        // The Qt layer without a Qt application: nothing can be grabbed.
        CaptureUi capture;
        QtTray qtTray(nullptr);
        capture.ui.grab = [&](const std::string& path) { return qtTray.grabScreen(path); };
        ASSERT_EQ(QCoreApplication::instance(), nullptr);
        const std::string fileName = captureScreen();
        EXPECT_EQ(capture.ui.grabs(), std::vector<std::string>{fileName});
        EXPECT_FALSE(fs::exists(fileName));
        EXPECT_TRUE(capture.ui.balloons().empty());
        EXPECT_TRUE(log.contains("Screen capture fail: " + fileName));
    }
    // No UI at all.
    log.take();
    const std::string fileName = captureScreen();
    const std::vector<std::string> lines = log.take();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find("Screen capture fail: " + fileName) != std::string::npos;
    }));
}

}  // namespace
