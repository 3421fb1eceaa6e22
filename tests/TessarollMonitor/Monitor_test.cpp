// The staged monitor as a user runs it: on a virtual X display with a window manager, in a
// sandbox, keeping the staged main program running until it is told to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "TessarollUtil/Message.h"
#include "TessarollUtil/System.h"
#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"
#include "platform/Channel.h"
#include "platform/NamedEvent.h"
#include "platform/Process.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path kMonitor = fs::path(TESSAROLL_STAGE_DIR) / "ZEFAGPKITessarollMonitor";
const fs::path kWorker = fs::path(TESSAROLL_STAGE_DIR) / "ZEFAGPKITessarollWorker";

std::string procFile(pid_t pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Processes of that program started inside this sandbox (their HOME is the sandbox's), so
// nothing of another test or of the user is ever touched.
std::vector<pid_t> sandboxProcesses(const Sandbox& sandbox, const char* program) {
    const std::string home = std::string("HOME=") + sandbox.home().string() + '\0';
    std::vector<pid_t> out;
    for (pid_t pid : findProcessesByName(program, false)) {
        if (('\0' + procFile(pid, "environ")).find('\0' + home) != std::string::npos)
            out.push_back(pid);
    }
    return out;
}

// The words of a process's command line.
std::vector<std::string> commandLine(pid_t pid) {
    std::vector<std::string> words;
    std::istringstream in(procFile(pid, "cmdline"));
    for (std::string word; std::getline(in, word, '\0');) words.push_back(word);
    return words;
}

// The process an X server's lock file names; 0 when there is none.
pid_t lockHolder(const std::string& lock) {
    std::ifstream in(lock);
    long pid = 0;
    return in >> pid ? static_cast<pid_t>(pid) : 0;
}

// A virtual display with a window manager, or nothing when none can be started here.
class Desktop {
public:
    bool start(const Sandbox& sandbox) {
        for (int number = 150; number < 250; ++number) {
            // A server that was killed leaves its lock and socket behind; Xvfb takes over a
            // number whose lock names a process that has gone.
            const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
            if (const pid_t holder = lockHolder(lock);
                holder > 0 && (::kill(holder, 0) == 0 || errno == EPERM))
                continue;
            display_ = ":" + std::to_string(number);
            xvfb_ = std::make_unique<ChildProcess>(
                "/usr/bin/Xvfb", std::vector<std::string>{display_, "-nolisten", "tcp", "-screen",
                                                          "0", "1024x768x24"});
            // Up once its own lock is written and its socket is there.
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
            if (waitUntil(
                    [&] {
                        return !xvfb_->running() ||
                               (lockHolder(lock) == xvfb_->pid() && fs::exists(socket));
                    },
                    20s) &&
                xvfb_->running())
                break;
            xvfb_.reset();
        }
        if (!xvfb_) return false;
        if (fs::exists("/usr/bin/openbox")) {
            wm_ = std::make_unique<ChildProcess>(
                "/usr/bin/openbox", std::vector<std::string>{},
                std::map<std::string, std::string>{{"DISPLAY", display_},
                                                   {"HOME", sandbox.home().string()}});
        }
        return true;
    }
    const std::string& display() const { return display_; }

    // A notification area in the top right corner, as a desktop panel gives one.
    bool startTrayHost() {
        if (!fs::exists("/usr/bin/trayer")) return false;
        trayer_ = std::make_unique<ChildProcess>(
            "/usr/bin/trayer",
            std::vector<std::string>{"--edge", "top", "--align", "right", "--widthtype", "pixel",
                                     "--width", "200", "--heighttype", "pixel", "--height", "32"},
            std::map<std::string, std::string>{{"DISPLAY", display_}});
        return waitUntil(
            [&] {
                return !tool("/usr/bin/xdotool", {"search", "--name", "^panel$"}).empty();
            },
            10s);
    }
    // The output of an X tool run on this display.
    std::string tool(const fs::path& program, std::vector<std::string> args) const {
        ChildProcess run(program, std::move(args), {{"DISPLAY", display_}});
        run.wait(10s);
        return run.output();
    }
    // The monitor's icon as the tray host embedded it; empty while there is none.
    std::string trayIcon() const {
        std::istringstream panels(tool("/usr/bin/xdotool", {"search", "--name", "^panel$"}));
        for (std::string panel; std::getline(panels, panel);) {
            std::istringstream tree(tool("/usr/bin/xwininfo", {"-tree", "-id", panel}));
            for (std::string line; std::getline(tree, line);) {
                if (line.find("(\"ZEFAGPKITessarollMonitor\"") == std::string::npos) continue;
                std::istringstream words(line);
                std::string id;
                words >> id;
                return id;
            }
        }
        return {};
    }
    void clickIcon(const std::string& icon, const std::vector<std::string>& clicks) const {
        std::vector<std::string> args{"mousemove", "--window", icon, "8", "8"};
        args.insert(args.end(), clicks.begin(), clicks.end());
        tool("/usr/bin/xdotool", args);
    }
    // The monitor's windows that are on the screen: the icon, an open menu, the About box.
    std::vector<std::string> shownWindows(const std::string& name = {}) const {
        std::vector<std::string> args{"search", "--onlyvisible"};
        if (name.empty()) {
            args.insert(args.end(), {"--class", "ZEFAGPKITessarollMonitor"});
        } else {
            args.insert(args.end(), {"--name", name});
        }
        std::istringstream found(tool("/usr/bin/xdotool", args));
        std::vector<std::string> windows;
        for (std::string window; std::getline(found, window);) windows.push_back(window);
        return windows;
    }
    std::vector<std::string> aboutBoxes() const {
        return shownWindows("^ZEFAGPKITessaroll Monitor$");
    }
    // Right click on the icon, then, once the menu is up, `ups` times Up from the menu's end
    // and Return. False when no menu came up.
    // A notice balloon is a window of the monitor too: tests that use the menu keep the
    // start and stop notices off (quietNotices), so that the new window is the menu.
    bool chooseFromTrayMenu(const std::string& icon, int ups) const {
        const std::vector<std::string> before = shownWindows();
        clickIcon(icon, {"click", "3"});
        const bool shown = waitUntil(
            [&] {
                for (const std::string& window : shownWindows()) {
                    if (std::find(before.begin(), before.end(), window) == before.end())
                        return true;
                }
                return false;
            },
            20s);
        if (!shown) return false;
        std::vector<std::string> keys{"key", "--delay", "100"};
        for (int i = 0; i < ups; ++i) keys.push_back("Up");
        keys.push_back("Return");
        tool("/usr/bin/xdotool", keys);
        return true;
    }
    // A double click on the icon; false when no About box came up.
    bool openAbout(const std::string& icon) const {
        clickIcon(icon, {"click", "--repeat", "2", "--delay", "80", "1"});
        return waitUntil([&] { return aboutBoxes().size() == 1; }, 20s);
    }
    // Each key held long enough for a poller that looks every 50 ms.
    void typeSlowly(const std::vector<std::string>& keys) const {
        for (const std::string& key : keys) {
            tool("/usr/bin/xdotool", {"keydown", key});
            std::this_thread::sleep_for(200ms);
            tool("/usr/bin/xdotool", {"keyup", key});
            std::this_thread::sleep_for(150ms);
        }
    }

private:
    std::string display_;
    std::unique_ptr<ChildProcess> xvfb_, wm_, trayer_;
};

class MonitorProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kMonitor)) GTEST_SKIP() << "the monitor is not staged";
        fs::create_directories(sandbox_.tempDir() / "log");
        writeFile(sandbox_.windowsDir() / "ZEFAGPKITessaroll.ini",
                  "[ZEFAGPKITessaroll]\nLog File=" +
                      (sandbox_.tempDir() / "log" / "monitor.log").string() +
                      "\nLog MaxSize=500000000\nLog Level=5\n");
    }
    void TearDown() override {
        // The watchdog first: it would start a monitor that vanished again.
        for (int round = 0; round < 2; ++round) {
            for (const char* program :
                 {"ZEFAGPKITessarollWorker", "ZEFAGPKITessarollMonitor", "ZEFAGPKITessarollMain"}) {
                for (pid_t pid : sandboxProcesses(sandbox_, program)) killProcess(pid);
            }
            std::this_thread::sleep_for(200ms);
        }
    }
    std::unique_ptr<ChildProcess> startMonitor(std::map<std::string, std::string> env = {}) {
        // A bus that is not there: without an address Qt would autolaunch a session bus
        // that outlives the test.
        env["DBUS_SESSION_BUS_ADDRESS"] =
            "unix:path=" + (sandbox_.runtimeDir() / "no-session-bus").string();
        return std::make_unique<ChildProcess>(kMonitor, std::vector<std::string>{}, std::move(env));
    }
    std::string log() const { return filesIn(sandbox_.tempDir() / "log"); }
    fs::path configFile() const {
        return sandbox_.dataHome() / "ZEFAGPKITessarollMain" / "ZEFAGPKITessarollConfig";
    }
    // "System hint" off before the monitor starts: no start, stop or restart balloons.
    void quietNotices() const {
        writeFile(configFile(), "isScreenShot=false\nsilentmode=true\nautocheckupdate=true\n");
    }
    static std::string filesIn(const fs::path& folder) {
        std::string all;
        if (!fs::exists(folder)) return all;
        for (const auto& entry : fs::directory_iterator(folder)) all += readFile(entry.path());
        return all;
    }
    std::vector<pid_t> watchdogs() const {
        std::vector<pid_t> out;
        for (pid_t pid : sandboxProcesses(sandbox_, "ZEFAGPKITessarollWorker")) {
            if (commandLine(pid).back() == "-watchdog") out.push_back(pid);
        }
        return out;
    }
    // One monitor with its window up, one watchdog and the main program running.
    bool monitorWithWatchdog() const {
        return sandboxProcesses(sandbox_, "ZEFAGPKITessarollMonitor").size() == 1 &&
               watchdogs().size() == 1 &&
               !sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain").empty() &&
               findChannel(kChannelMonitorWindow).has_value();
    }
    bool nothingRuns() const {
        for (const char* program :
             {"ZEFAGPKITessarollWorker", "ZEFAGPKITessarollMonitor", "ZEFAGPKITessarollMain"}) {
            if (!sandboxProcesses(sandbox_, program).empty()) return false;
        }
        return true;
    }
    // Stops (as a hang looks) every process of these programs in the sandbox; their ids.
    std::vector<pid_t> hang(std::initializer_list<const char*> programs) const {
        std::vector<pid_t> hung;
        for (const char* program : programs)
            for (pid_t pid : sandboxProcesses(sandbox_, program)) hung.push_back(pid);
        for (pid_t pid : hung) EXPECT_EQ(::kill(pid, SIGSTOP), 0);
        EXPECT_TRUE(waitUntil([&] { return std::ranges::all_of(hung, isStopped); }));
        return hung;
    }
    // The worker's exit code; -1 when it did not end within `bound`.
    int runWorker(const std::string& option, const Desktop& desktop,
                  std::chrono::milliseconds bound = 30s) {
        ChildProcess worker(kWorker, {option},
                            {{"DISPLAY", desktop.display()},
                             {"DBUS_SESSION_BUS_ADDRESS",
                              "unix:path=" + (sandbox_.runtimeDir() / "no-session-bus").string()}});
        return worker.wait(bound).value_or(-1);
    }

    Sandbox sandbox_;
};

}  // namespace

TEST_F(MonitorProgramTest, SecondMonitorOfTheUserEndsAtOnce) {
    // The first monitor holds this mutex while it runs.
    auto held = lockUserMutex("ZEFAGPKITessarollMonitor.exe", 0);
    ASSERT_NE(held, nullptr);
    auto monitor = startMonitor({{"DISPLAY", ""}});
    EXPECT_EQ(monitor->wait(10s), 0);
    EXPECT_TRUE(sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain").empty());
    held->release();
}

TEST_F(MonitorProgramTest, TrayMonitorKeepsTheMainProgramAndEndsOnSuicide) {
    Desktop desktop;
    if (!desktop.start(sandbox_)) GTEST_SKIP() << "no X server can be started here";

    auto monitor = startMonitor({{"DISPLAY", desktop.display()}});
    std::vector<pid_t> mains;
    ASSERT_TRUE(waitUntil(
        [&] { return !(mains = sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain")).empty(); },
        15s))
        << log();
    EXPECT_EQ(commandLine(mains[0]).back(), "0");  // a fresh start
    // The window channel is up once the tray window exists.
    ASSERT_TRUE(waitUntil([] { return findChannel(kChannelMonitorWindow).has_value(); }, 10s));
    EXPECT_TRUE(monitor->running());
    // A first start on the machine writes the configuration with its start values.
    const fs::path config =
        sandbox_.dataHome() / "ZEFAGPKITessarollMain" / "ZEFAGPKITessarollConfig";
    ASSERT_TRUE(fs::exists(config));
    EXPECT_NE(readFile(config).find("silentmode=false"), std::string::npos);

    // A second start of the monitor finds the first and ends.
    auto second = startMonitor({{"DISPLAY", desktop.display()}});
    EXPECT_EQ(second->wait(10s), 0);
    EXPECT_TRUE(monitor->running());

    // The worker's way to end the monitor: a signed Suicide to its window.
    sendIPCMsgWin(kSenderWorker, kChannelMonitorWindow, kInstructionSuicide);
    EXPECT_EQ(monitor->wait(15s), 0);
    EXPECT_TRUE(waitUntil(
        [&] { return sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain").empty(); }, 10s));
    const std::string lines = log();
    EXPECT_NE(lines.find("Receive COPYDATA message: TessarollInstruction_Suicide"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("Start Tessaroll main program"), std::string::npos);
}

// The tray menu's Quit (the last item) as a user chooses it with the mouse and the keys.
TEST_F(MonitorProgramTest, QuitFromTheTrayMenuEndsTheMonitorCleanlyAndItStartsAgainAtOnce) {
    Desktop desktop;
    if (!desktop.start(sandbox_)) GTEST_SKIP() << "no X server can be started here";
    if (!desktop.startTrayHost()) GTEST_SKIP() << "no tray host (trayer) here";
    quietNotices();

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        auto monitor = startMonitor({{"DISPLAY", desktop.display()}});
        ASSERT_TRUE(waitUntil([&] { return monitorWithWatchdog(); }, 20s)) << log();
        std::string icon;
        ASSERT_TRUE(waitUntil([&] { return !(icon = desktop.trayIcon()).empty(); }, 10s));

        ASSERT_TRUE(desktop.chooseFromTrayMenu(icon, 1));
        EXPECT_EQ(monitor->wait(15s), std::optional<int>(0)) << monitor->errors() << log();
        EXPECT_TRUE(waitUntil([&] { return nothingRuns(); }, 10s));
        EXPECT_TRUE(desktop.trayIcon().empty()) << "the icon left the notification area";
    }
    EXPECT_NE(log().find("Click MonitorFinal"), std::string::npos);
}

// Quit while the main program hangs (stopped): the monitor does not wait for it, it ends
// it by force and goes, and so does its watchdog.
TEST_F(MonitorProgramTest, QuitWhileTheMainProgramHangsEndsEverythingAtOnce) {
    Desktop desktop;
    if (!desktop.start(sandbox_)) GTEST_SKIP() << "no X server can be started here";
    if (!desktop.startTrayHost()) GTEST_SKIP() << "no tray host (trayer) here";
    auto monitor = startMonitor({{"DISPLAY", desktop.display()}});
    ASSERT_TRUE(waitUntil([&] { return monitorWithWatchdog(); }, 40s)) << log();
    std::string icon;
    ASSERT_TRUE(waitUntil([&] { return !(icon = desktop.trayIcon()).empty(); }, 10s));
    hang({"ZEFAGPKITessarollMain"});

    desktop.chooseFromTrayMenu(icon, 1);
    EXPECT_EQ(monitor->wait(15s), std::optional<int>(0)) << monitor->errors();
    EXPECT_TRUE(waitUntil([&] { return nothingRuns(); }, 10s)) << log();
}

// A hung main program and monitor (stopped) answer no instruction: -allstop ends them
// anyway, without waiting for them.
TEST_F(MonitorProgramTest, AllStopEndsAHungMainProgramAndMonitor) {
    Desktop desktop;
    if (!desktop.start(sandbox_)) GTEST_SKIP() << "no X server can be started here";
    desktop.startTrayHost();
    ASSERT_EQ(runWorker("-start", desktop), 0);
    ASSERT_TRUE(waitUntil([&] { return monitorWithWatchdog(); }, 40s)) << log();
    hang({"ZEFAGPKITessarollMain", "ZEFAGPKITessarollMonitor"});

    EXPECT_NE(runWorker("-allstop", desktop, 15s), -1) << "-allstop waited for a hung program";
    EXPECT_TRUE(waitUntil([&] { return nothingRuns(); }, 15s)) << log();
}

// The monitor killed while the main program hangs: the watchdog's -reset ends the hung
// program and brings up a new main program, monitor and watchdog.
TEST_F(MonitorProgramTest, TheWatchdogsResetReplacesAHungMainProgram) {
    Desktop desktop;
    if (!desktop.start(sandbox_)) GTEST_SKIP() << "no X server can be started here";
    desktop.startTrayHost();
    ASSERT_EQ(runWorker("-start", desktop), 0);
    ASSERT_TRUE(waitUntil([&] { return monitorWithWatchdog(); }, 40s)) << log();
    const std::vector<pid_t> hung = hang({"ZEFAGPKITessarollMain"});
    for (pid_t pid : sandboxProcesses(sandbox_, "ZEFAGPKITessarollMonitor")) killProcess(pid);

    EXPECT_TRUE(waitUntil(
        [&] {
            const std::vector<pid_t> mains = sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain");
            return monitorWithWatchdog() && std::ranges::none_of(mains, [&](pid_t pid) {
                       return std::ranges::count(hung, pid) > 0;
                   });
        },
        30s))
        << log();
    EXPECT_NE(log().find("Reset complete"), std::string::npos);
}

TEST_F(MonitorProgramTest, EveryWorkerStartAfterAnAllStopLeavesAMonitorWithItsWatchdog) {
    Desktop desktop;
    if (!desktop.start(sandbox_)) GTEST_SKIP() << "no X server can be started here";
    desktop.startTrayHost();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(runWorker("-start", desktop), 0);
        EXPECT_TRUE(waitUntil([&] { return monitorWithWatchdog(); }, 20s)) << log();
        EXPECT_EQ(runWorker("-allstop", desktop), 0);
        EXPECT_TRUE(waitUntil([&] { return nothingRuns(); }, 15s)) << log();
    }
}

// Debug mode reaches every program, also main programs that followed ones which ended
// while they waited for its event.
TEST_F(MonitorProgramTest, DebugModeOnAndOffReachesEveryProgramAfterMainProgramRestarts) {
    // Logging only through debug mode: its log goes to the desktop.
    fs::remove(sandbox_.windowsDir() / "ZEFAGPKITessaroll.ini");
    const fs::path debugLog = sandbox_.desktopDir() / "TessarollLog";
    Desktop desktop;
    if (!desktop.start(sandbox_)) GTEST_SKIP() << "no X server can be started here";
    if (!desktop.startTrayHost()) GTEST_SKIP() << "no tray host (trayer) here";
    quietNotices();
    auto monitor = startMonitor({{"DISPLAY", desktop.display()}});
    ASSERT_TRUE(waitUntil([&] { return monitorWithWatchdog(); }, 20s));
    std::string icon;
    ASSERT_TRUE(waitUntil([&] { return !(icon = desktop.trayIcon()).empty(); }, 10s));

    auto count = [&](const char* prefix, const char* text) {
        std::size_t n = 0;
        std::istringstream lines(filesIn(debugLog));
        for (std::string line; std::getline(lines, line);) {
            n += line.find(prefix) != std::string::npos && line.find(text) != std::string::npos;
        }
        return n;
    };
    const char* const programs[] = {"[ZEFAGPKITessaroll][", "[TessarollMonitor-",
                                    "[TessarollWorker-"};
    const std::string debugEvent = namedEventPath("ZEFAGPKITessaroll_DEBUG_MODE");
    auto everyProgramLogged = [&](const char* text, std::size_t times) {
        return waitUntil(
            [&] {
                for (const char* program : programs) {
                    if (count(program, text) != times) return false;
                }
                return true;
            },
            10s);
    };

    for (std::size_t round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        // A restart: the main program is killed while it waits for the event.
        const std::vector<pid_t> before = sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain");
        ASSERT_EQ(before.size(), 1u);
        killProcess(before[0]);
        ASSERT_TRUE(waitUntil(
            [&] {
                auto now = sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain");
                return now.size() == 1 && now[0] != before[0] &&
                       findChannel(kChannelMain).has_value();
            },
            20s));
        // The new main program follows the event once it has mapped it.
        ASSERT_TRUE(waitUntil(
            [&] {
                auto now = sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain");
                return now.size() == 1 &&
                       procFile(now[0], "maps").find(debugEvent) != std::string::npos;
            },
            20s));

        // On: the About box (double click) and the letters typed while it is open.
        ASSERT_TRUE(desktop.openAbout(icon));
        desktop.typeSlowly({"p", "k", "m", "u", "r", "t"});
        EXPECT_TRUE(everyProgramLogged("Log state: Enable", round)) << filesIn(debugLog);

        // Off: the menu's "Turn off debug mode", just above Quit.
        ASSERT_TRUE(desktop.chooseFromTrayMenu(icon, 2));
        EXPECT_TRUE(everyProgramLogged("Log state: Disable", round)) << filesIn(debugLog);
        ASSERT_TRUE(monitor->running()) << monitor->wait(0ms).value_or(-1) << monitor->errors();
    }
    EXPECT_TRUE(monitor->running());
    EXPECT_TRUE(monitorWithWatchdog());
}

// The About box does not take the tray away: while it is open the menu works, a second
// request opens no second box, and once it is closed the next one opens.
TEST_F(MonitorProgramTest, TheTrayMenuWorksWhileTheAboutBoxIsOpen) {
    Desktop desktop;
    if (!desktop.start(sandbox_)) GTEST_SKIP() << "no X server can be started here";
    if (!desktop.startTrayHost()) GTEST_SKIP() << "no tray host (trayer) here";
    quietNotices();
    auto monitor = startMonitor({{"DISPLAY", desktop.display()}});
    ASSERT_TRUE(waitUntil([&] { return monitorWithWatchdog(); }, 20s)) << log();
    std::string icon;
    ASSERT_TRUE(waitUntil([&] { return !(icon = desktop.trayIcon()).empty(); }, 10s));
    auto hintsShown = [&](bool shown) {
        const std::string line = shown ? "silentmode=false" : "silentmode=true";
        return waitUntil([&] { return readFile(configFile()).find(line) != std::string::npos; },
                         20s);
    };

    ASSERT_TRUE(desktop.openAbout(icon)) << log();
    // "System hint", the third item from the end, switches the notices on.
    ASSERT_TRUE(desktop.chooseFromTrayMenu(icon, 3));
    EXPECT_TRUE(hintsShown(true)) << log();
    // Still the one box, and a second double click opens none: the menu choice after it
    // (notices off again) shows the clicks were handled.
    EXPECT_EQ(desktop.aboutBoxes().size(), 1u);
    desktop.clickIcon(icon, {"click", "--repeat", "2", "--delay", "80", "1"});
    ASSERT_TRUE(desktop.chooseFromTrayMenu(icon, 3));
    EXPECT_TRUE(hintsShown(false));
    EXPECT_EQ(desktop.aboutBoxes().size(), 1u);

    const std::string box = desktop.aboutBoxes().at(0);
    desktop.tool("/usr/bin/xdotool", {"windowactivate", "--sync", box, "key", "Return"});
    ASSERT_TRUE(waitUntil([&] { return desktop.aboutBoxes().empty(); }, 20s));
    EXPECT_TRUE(desktop.openAbout(icon));
    EXPECT_TRUE(monitor->running());
}
