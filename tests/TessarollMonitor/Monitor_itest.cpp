// The staged monitor as a user runs it: on a virtual X display with a window manager, in a
// sandbox, keeping the staged main program running until it is told to end.
#include <gtest/gtest.h>

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
#include "platform/Process.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path kMonitor = fs::path(TESSAROLL_STAGE_DIR) / "ZEFAGPKITessarollMonitor";

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
        if (('\0' + procFile(pid, "environ")).find('\0' + home) != std::string::npos) out.push_back(pid);
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

// A virtual display with a window manager, or nothing when none can be started here.
class Desktop {
public:
    bool start(const Sandbox& sandbox) {
        for (int number = 150; number < 250; ++number) {
            if (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
                fs::exists("/tmp/.X" + std::to_string(number) + "-lock"))
                continue;
            display_ = ":" + std::to_string(number);
            xvfb_ = std::make_unique<ChildProcess>("/usr/bin/Xvfb",
                                                   std::vector<std::string>{display_, "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
            if (waitUntil([&] { return fs::exists(socket) || !xvfb_->running(); }, 10s) && xvfb_->running()) break;
            xvfb_.reset();
        }
        if (!xvfb_) return false;
        if (fs::exists("/usr/bin/openbox")) {
            wm_ = std::make_unique<ChildProcess>("/usr/bin/openbox", std::vector<std::string>{},
                                                 std::map<std::string, std::string>{{"DISPLAY", display_},
                                                                                    {"HOME", sandbox.home().string()}});
        }
        return true;
    }
    const std::string& display() const { return display_; }

private:
    std::string display_;
    std::unique_ptr<ChildProcess> xvfb_, wm_;
};

class MonitorProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kMonitor)) GTEST_SKIP() << "the monitor is not staged";
        fs::create_directories(sandbox_.tempDir() / "log");
        writeFile(sandbox_.windowsDir() / "ZEFAGPKITessaroll.ini",
                  "[ZEFAGPKITessaroll]\nLog File=" + (sandbox_.tempDir() / "log" / "monitor.log").string() +
                      "\nLog MaxSize=500000000\nLog Level=5\n");
    }
    void TearDown() override {
        // The watchdog first: it would start a monitor that vanished again.
        for (int round = 0; round < 2; ++round) {
            for (const char* program : {"ZEFAGPKITessarollWorker", "ZEFAGPKITessarollMonitor", "ZEFAGPKITessarollMain"}) {
                for (pid_t pid : sandboxProcesses(sandbox_, program)) killProcess(pid);
            }
            std::this_thread::sleep_for(200ms);
        }
    }
    std::unique_ptr<ChildProcess> startMonitor(std::map<std::string, std::string> env = {}) {
        // A bus that is not there: without an address Qt would autolaunch a session bus
        // that outlives the test.
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (sandbox_.runtimeDir() / "no-session-bus").string();
        return std::make_unique<ChildProcess>(kMonitor, std::vector<std::string>{}, std::move(env));
    }
    std::string log() const {
        std::string all;
        for (const auto& entry : fs::directory_iterator(sandbox_.tempDir() / "log")) all += readFile(entry.path());
        return all;
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
    ASSERT_TRUE(waitUntil([&] { return !(mains = sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain")).empty(); }, 15s))
        << log();
    EXPECT_EQ(commandLine(mains[0]).back(), "0");  // a fresh start
    // The window channel is up once the tray window exists.
    ASSERT_TRUE(waitUntil([] { return findChannel(kChannelMonitorWindow).has_value(); }, 10s));
    EXPECT_TRUE(monitor->running());
    // A first start on the machine writes the configuration with its start values.
    const fs::path config = sandbox_.dataHome() / "ZEFAGPKITessarollMain" / "ZEFAGPKITessarollConfig";
    ASSERT_TRUE(fs::exists(config));
    EXPECT_NE(readFile(config).find("silentmode=false"), std::string::npos);

    // A second start of the monitor finds the first and ends.
    auto second = startMonitor({{"DISPLAY", desktop.display()}});
    EXPECT_EQ(second->wait(10s), 0);
    EXPECT_TRUE(monitor->running());

    // The worker's way to end the monitor: a signed Suicide to its window.
    sendIPCMsgWin(kSenderWorker, kChannelMonitorWindow, kInstructionSuicide);
    EXPECT_EQ(monitor->wait(15s), 0);
    EXPECT_TRUE(waitUntil([&] { return sandboxProcesses(sandbox_, "ZEFAGPKITessarollMain").empty(); }, 10s));
    const std::string lines = log();
    EXPECT_NE(lines.find("Receive COPYDATA message: TessarollInstruction_Suicide"), std::string::npos) << lines;
    EXPECT_NE(lines.find("Start Tessaroll main program"), std::string::npos);
}
