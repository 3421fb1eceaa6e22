// The staged worker run for real, from an install folder in a sandbox that also holds
// stand-ins named like the monitor and the main program (so the worker starts them from
// its own folder and finds them in /proc by name). The root import, which needs the
// machine's stores, is tested with the real ones in RootTrust_test.cpp.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"
#include "platform/Channel.h"
#include "platform/NamedEvent.h"
#include "platform/User.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::countOf;
using testing_support::isStopped;
using testing_support::readFile;
using testing_support::Sandbox;
using testing_support::waitUntil;
using testing_support::writeFile;

namespace {

constexpr const char* kWorker = "ZEFAGPKITessarollWorker";
constexpr const char* kMonitor = "ZEFAGPKITessarollMonitor";
constexpr const char* kMain = "ZEFAGPKITessarollMain";

class WorkerSandbox {
public:
    WorkerSandbox() {
        install_ = sandbox_.root() / "install";
        fs::create_directories(install_);
        installWorker();
        for (const char* standIn : {kMonitor, kMain})
            fs::copy_file(fs::path(WORKER_PEERS_DIR) / standIn, install_ / standIn);
        writeFile(sandbox_.windowsDir() / "ZEFAGPKITessaroll.ini",
                  "[ZEFAGPKITessaroll]\nLog File=" + (sandbox_.tempDir() / "worker.log").string() +
                      "\nLog Level=5\nLog MaxSize=100000000\n");
    }
    ~WorkerSandbox() {
        // Whatever the worker started runs from the install folder; the watchdog may start
        // more while it is ended, so go on until nothing is left.
        for (int round = 0; round < 50 && killInstalled() > 0; ++round)
            std::this_thread::sleep_for(50ms);
    }

    void installWorker() {
        fs::copy_file(fs::path(TESSAROLL_STAGE_DIR) / kWorker, install_ / kWorker,
                      fs::copy_options::overwrite_existing);
    }
    const fs::path& install() const { return install_; }
    const Sandbox& sandbox() const { return sandbox_; }

    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args) {
        return std::make_unique<ChildProcess>(install_ / kWorker, args);
    }
    // The exit code of one run; fails the test when it does not end in time.
    int run(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 30s) {
        auto worker = start(args);
        auto code = worker->wait(timeout);
        EXPECT_TRUE(code.has_value()) << "worker did not end";
        return code.value_or(-1);
    }
    std::unique_ptr<ChildProcess> startStandIn(const char* name) {
        auto process = std::make_unique<ChildProcess>(install_ / name, std::vector<std::string>{});
        const char* channel = std::string(name) == kMonitor ? "ZEFAGPKITessarollMonitor.exe"
                                                            : "ZEFAGPKITessarollMain.exe";
        EXPECT_TRUE(waitUntil([&] { return findChannel(channel).has_value(); })) << name;
        return process;
    }

    // Processes running an executable of the install folder under that name.
    std::vector<pid_t> running(const std::string& name) const {
        std::vector<pid_t> found;
        for (auto [pid, exe] : installedProcesses())
            if (exe.filename() == name) found.push_back(pid);
        return found;
    }

    std::string log() const { return readAll("worker"); }
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, timeout);
    }

private:
    std::string readAll(const std::string& prefix) const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(sandbox_.tempDir()))
            if (entry.path().filename().string().rfind(prefix, 0) == 0)
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        std::string all;
        for (const auto& file : files) all += readFile(file);
        return all;
    }

    std::vector<std::pair<pid_t, fs::path>> installedProcesses() const {
        std::vector<std::pair<pid_t, fs::path>> found;
        DIR* proc = opendir("/proc");
        if (!proc) return found;
        const std::string folder = install_.string() + "/";
        while (dirent* entry = readdir(proc)) {
            if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
            std::error_code ec;
            std::string exe =
                fs::read_symlink(fs::path("/proc") / entry->d_name / "exe", ec).string();
            if (ec || exe.rfind(folder, 0) != 0) continue;
            if (exe.ends_with(" (deleted)")) exe.resize(exe.size() - 10);
            found.emplace_back(static_cast<pid_t>(std::atol(entry->d_name)), exe);
        }
        closedir(proc);
        return found;
    }

    int killInstalled() const {
        int killed = 0;
        for (auto [pid, exe] : installedProcesses()) {
            ::kill(pid, SIGKILL);
            ++killed;
        }
        return killed;
    }

    Sandbox sandbox_;
    fs::path install_;
};

}  // namespace

// What each command text leads to, seen in the log: the line of its action area, or only
// the command line when no option matches.
TEST(WorkerProgram, CommandTextSelectsOneActionByItsMatchRule) {
    WorkerSandbox box;
    struct Case {
        std::vector<std::string> args;
        const char* area;  // null: no action
    };
    const Case cases[] = {
        {{"-ALLSTOP"}, "Stop area"},
        {{"-allstop", "now"}, nullptr},
        {{"-KeyToByte", (box.sandbox().root() / "missing.pem").string()}, "KeyToByte area"},
        {{"-keytobyte", "x.pem"}, nullptr},
        {{"-Delete", "/nonexistent"}, nullptr},
        {{"-deleteall"}, "Delete area"},  // a prefix; no path after a blank, so nothing goes
        {{"-MonitorStart"}, nullptr},     // only takes the worker lock
        {{"-help"}, nullptr},
        {{}, nullptr},
    };
    const char* areas[] = {"Stop area",    "KeyToByte area",
                           "Delete area",  "Uninstall detect area",
                           "getMutexLock", "Get mutex lock time out"};
    std::size_t seen = 0;
    for (const Case& c : cases) {
        std::string command;
        for (const auto& a : c.args) command += (command.empty() ? "" : " ") + a;
        EXPECT_EQ(box.run(c.args), 0) << command;
        std::string fresh = box.log().substr(seen);
        seen += fresh.size();
        EXPECT_NE(fresh.find("[Normal] Command: " + command + "\n"), std::string::npos) << command;
        for (const char* area : areas) {
            bool expected = c.area && std::string(c.area) == area;
            EXPECT_EQ(fresh.find(area) != std::string::npos, expected) << command << ": " << area;
        }
    }
}

TEST(WorkerProgram, AllStopSendsSuicideToTheWatchdogAndEndsMonitorAndMain) {
    WorkerSandbox box;
    auto monitor = box.startStandIn(kMonitor);
    auto main = box.startStandIn(kMain);
    auto watchdog = box.start({"-watchdog"});
    ASSERT_TRUE(box.waitForLog("getMutexLock: Success"));
    ASSERT_TRUE(waitUntil([] { return findChannel("ZEFAGPKITessarollWatchdog").has_value(); }));

    EXPECT_EQ(box.run({"-allstop"}), 0);
    // The watchdog ends on the Suicide itself, before the monitor goes, so it starts nothing.
    EXPECT_EQ(watchdog->wait(5s), std::optional<int>(0));
    EXPECT_TRUE(monitor->wait(5s).has_value());
    EXPECT_TRUE(main->wait(5s).has_value());
    const std::string log = box.log();
    EXPECT_NE(log.find("Stop area"), std::string::npos);
    EXPECT_NE(log.find("Ready to suicide"), std::string::npos);  // the main program was asked first
    EXPECT_EQ(log.find("Monitor is NOT alive"), std::string::npos);
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(box.running(kMonitor).empty());
}

// A main program and a monitor that are stopped (as a hang looks) answer nothing: the
// worker's instructions give up after their bound and the forced kill ends both, so
// "-allstop" and "-reset" finish within seconds, and "-reset" starts a monitor again.
TEST(WorkerProgram, AllStopAndResetEndStoppedProgramsWithoutWaitingForThem) {
    for (const char* option : {"-allstop", "-reset"}) {
        SCOPED_TRACE(option);
        WorkerSandbox box;
        auto monitor = box.startStandIn(kMonitor);
        auto main = box.startStandIn(kMain);
        ASSERT_EQ(::kill(monitor->pid(), SIGSTOP), 0);
        ASSERT_EQ(::kill(main->pid(), SIGSTOP), 0);

        ASSERT_TRUE(waitUntil([&] { return isStopped(monitor->pid()) && isStopped(main->pid()); }));
        auto worker = box.start({option});
        EXPECT_TRUE(worker->wait(15s).has_value()) << "the worker waited for a stopped program";
        EXPECT_TRUE(monitor->wait(5s).has_value()) << "the stopped monitor was not ended";
        EXPECT_TRUE(main->wait(5s).has_value()) << "the stopped main program was not ended";
        const std::string log = box.log();
        EXPECT_NE(log.find("sendIPCMsgWin no answer from window ZEFAGPKITessarollMain.exe"),
                  std::string::npos)
            << worker->errors() << log;
        if (std::string(option) == "-reset") {
            EXPECT_TRUE(waitUntil(
                [&] {
                    auto now = box.running(kMonitor);
                    return now.size() == 1 && now[0] != monitor->pid();
                },
                15s))
                << "no monitor was started again";
        }
    }
}

TEST(WorkerProgram, StartStopRestartReachARunningMonitor) {
    WorkerSandbox box;
    auto monitor = box.startStandIn(kMonitor);
    const std::pair<const char*, const char*> cases[] = {
        {"-start", "TessarollInstruction_Start"},
        {"-STOP", "TessarollInstruction_Stop"},
        {"-restart", "TessarollInstruction_Restart"},
    };
    for (auto [option, instruction] : cases) {
        EXPECT_EQ(box.run({option}), 0);
        EXPECT_TRUE(box.waitForLog(std::string("Receive COPYDATA message: ") + instruction, 3s))
            << option;
    }
    EXPECT_EQ(box.running(kMonitor).size(), 1u);
}

TEST(WorkerProgram, StartAndRestartStartAMonitorThatDoesNotRun) {
    for (const char* option : {"-Start", "-restart"}) {
        WorkerSandbox box;
        EXPECT_EQ(box.run({option}), 0);
        EXPECT_TRUE(waitUntil([&] { return box.running(kMonitor).size() == 1; }, 5s)) << option;
        EXPECT_TRUE(box.waitForLog("StandIn ready: ZEFAGPKITessarollMonitor")) << option;
    }
}

TEST(WorkerProgram, ABusyWorkerLockTimesOutAndNothingIsDone) {
    WorkerSandbox box;
    std::string lockName = currentUserName().value_or("") + "_TessarollWorker";
    ChildProcess holder(MUTEX_HOLDER, {lockName, "hold"});
    ASSERT_TRUE(waitUntil([&] { return holder.output().find("held") != std::string::npos; }));
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(box.run({"-start"}), 0);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GT(took, 7s);
    EXPECT_NE(box.log().find("Get mutex lock time out"), std::string::npos);
    EXPECT_TRUE(box.running(kMonitor).empty());
}

TEST(WorkerProgram, WatchdogRestartsAKilledMonitorAndASecondWatchdogGivesWay) {
    WorkerSandbox box;
    auto monitor = box.startStandIn(kMonitor);
    const pid_t firstMonitor = monitor->pid();
    auto watchdog = box.start({"-watchdog"});
    ASSERT_TRUE(box.waitForLog("getMutexLock: Success"));

    EXPECT_EQ(box.run({"-watchdog"}, 10s), 0);
    EXPECT_NE(box.log().find("getMutexLock: Fail"), std::string::npos);

    monitor->kill();
    ASSERT_TRUE(monitor->wait(5s).has_value());
    // The watchdog resets: a new monitor from the install folder and a new watchdog.
    EXPECT_TRUE(waitUntil(
        [&] {
            auto now = box.running(kMonitor);
            return now.size() == 1 && now[0] != firstMonitor;
        },
        15s));
    EXPECT_EQ(watchdog->wait(5s), std::optional<int>(0));
    EXPECT_TRUE(box.waitForLog("Reset complete"));
    EXPECT_TRUE(waitUntil([&] { return countOf(box.log(), "getMutexLock: Success") == 2; }, 10s));
    const std::string log = box.log();
    EXPECT_NE(log.find("Monitor is NOT alive"), std::string::npos);
    EXPECT_NE(log.find("Reset!"), std::string::npos);
}

// Also a watchdog started before the monitor made the event (as "-reset" does) follows
// debug mode once the event is there.
TEST(WorkerProgram, DebugModePulsesSwitchTheWatchdogsLogging) {
    for (bool eventFirst : {true, false}) {
        SCOPED_TRACE(eventFirst ? "event first" : "watchdog first");
        WorkerSandbox box;
        std::unique_ptr<NamedEvent> event;
        if (eventFirst) event = NamedEvent::create("ZEFAGPKITessaroll_DEBUG_MODE");
        auto monitor = box.startStandIn(kMonitor);
        auto watchdog = box.start({"-watchdog"});
        ASSERT_TRUE(box.waitForLog("getMutexLock: Success"));
        if (!eventFirst) {
            EXPECT_TRUE(box.waitForLog("debugStatusUpdateEvent init failed."));
            event = NamedEvent::create("ZEFAGPKITessaroll_DEBUG_MODE");
        }
        ASSERT_TRUE(event);
        EXPECT_EQ(countOf(box.log(), "debugStatusUpdateEvent init failed."), eventFirst ? 0u : 1u);
        const std::size_t enabledAtStart = countOf(box.log(), "Log state: Enable");

        // Pulse until the watcher, which may not be waiting yet, has taken one.
        EXPECT_TRUE(waitUntil(
            [&] {
                event->pulse();
                return countOf(box.log(), "Log state: Disable") == 1;
            },
            5s));
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(waitUntil(
            [&] {
                event->pulse();
                return countOf(box.log(), "Log state: Enable") == enabledAtStart + 1;
            },
            5s));
        EXPECT_TRUE(watchdog->running());
    }
}

TEST(WorkerProgram, DeleteRemovesTheFileThenEachFolderUntilOneStillHoldsSomething) {
    WorkerSandbox box;
    const fs::path keep = box.sandbox().root() / "keep";
    const fs::path a = keep / "my A";  // a blank inside: the arguments are joined again
    writeFile(a / "B" / "f.txt", "x");
    writeFile(keep / "other.txt", "stays");

    EXPECT_EQ(box.run({"-delete", (a / "B" / "f.txt").string()}), 0);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_TRUE(fs::exists(keep / "other.txt"));
    const std::string log = box.log();
    EXPECT_NE(log.find("File mode"), std::string::npos);
    EXPECT_NE(log.find("Folder mode"), std::string::npos);
    EXPECT_NE(log.find("Delete " + (a / "B").string() + " success"), std::string::npos);
    EXPECT_NE(log.find("Delete " + a.string() + " success"), std::string::npos);
    EXPECT_NE(log.find("Delete " + keep.string() + " retry too many times"), std::string::npos);
    // The worker removed itself at the end.
    EXPECT_FALSE(fs::exists(box.install() / kWorker));
}

TEST(WorkerProgram, DeleteOfAFolderThatStillHoldsAFileRetriesAndKeepsIt) {
    WorkerSandbox box;
    const fs::path folder = box.sandbox().root() / "full";
    writeFile(folder / "inside.txt", "x");
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(box.run({"-delete", "\"" + folder.string() + "\""}), 0);  // quotes are dropped
    EXPECT_GT(std::chrono::steady_clock::now() - begin, 5s);            // 11 attempts, 500 ms apart
    EXPECT_TRUE(fs::exists(folder / "inside.txt"));
    EXPECT_NE(box.log().find("Delete " + folder.string() + " retry too many times"),
              std::string::npos);
    EXPECT_EQ(box.log().find("File mode"), std::string::npos);
}

TEST(WorkerProgram, DeleteWithoutAPathDoesNothingAndKeepsTheWorker) {
    WorkerSandbox box;
    EXPECT_EQ(box.run({"-delete"}), 0);
    EXPECT_NE(box.log().find("Input is empty"), std::string::npos);
    EXPECT_TRUE(fs::exists(box.install() / kWorker));
}

TEST(WorkerProgram, UninstallDetectNeedsTwoArguments) {
    WorkerSandbox box;
    // 61005; an exit status carries its low byte only.
    EXPECT_EQ(box.run({"-uninstalldetect", "/opt/z/uninst.exe"}), 61005 & 0xFF);
    EXPECT_NE(box.log().find("[Warning] Tessaroll uninstall detect: Parameter error"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(box.install() / kWorker));
}

TEST(WorkerProgram, UninstallDetectWithLibrariesLeftInSubfoldersStartsTheMonitor) {
    WorkerSandbox box;
    writeFile(box.install() / "libtop.so", "x");
    writeFile(box.install() / "ZEFAGPKI" / "adapter.so", "x");
    auto monitor = box.startStandIn(kMonitor);
    const fs::path uninstaller = box.sandbox().root() / "uninst";
    writeFile(uninstaller,
              "#!/bin/sh\necho \"$@\" > " + (box.sandbox().root() / "uninstalled").string() + "\n");
    fs::permissions(uninstaller, fs::perms::owner_all);

    EXPECT_EQ(box.run({"-uninstalldetect", uninstaller.string() + ".exe",
                       "_?=" + box.install().string()}),
              0);
    EXPECT_TRUE(box.waitForLog("Receive COPYDATA message: TessarollInstruction_MonitorStart", 3s));
    const std::string log = box.log();
    EXPECT_NE(log.find("TotolSize = 2 MainSize = 1"), std::string::npos);
    EXPECT_NE(log.find("->MonitorStart"), std::string::npos);
    EXPECT_FALSE(fs::exists(box.sandbox().root() / "uninstalled"));
    EXPECT_FALSE(fs::exists(box.install() / kWorker));
}

TEST(WorkerProgram, UninstallDetectWithoutSubfolderLibrariesUninstallsAndDeletesTheCopies) {
    WorkerSandbox box;
    writeFile(box.install() / "libtop.so", "x");
    const fs::path copies = box.sandbox().dataHome() / "ZEFAGPKITessaroll";
    writeFile(copies / "copy1.so", "x");
    writeFile(copies / ".hidden.so", "x");
    writeFile(copies / "keep.txt", "x");
    const fs::path uninstaller = box.sandbox().root() / "my uninst";
    const fs::path marker = box.sandbox().root() / "uninstalled";
    writeFile(uninstaller, "#!/bin/sh\necho \"$@\" > '" + marker.string() + "'\n");
    fs::permissions(uninstaller, fs::perms::owner_all);

    EXPECT_EQ(box.run({"-uninstalldetect", uninstaller.string() + ".exe", "x.exe"}), 0);
    EXPECT_TRUE(waitUntil([&] { return readFile(marker) == "/S\n"; }, 5s));
    EXPECT_NE(box.log().find("TotolSize = 1 MainSize = 1"), std::string::npos);
    EXPECT_NE(box.log().find("->Unstall"), std::string::npos);
    EXPECT_FALSE(fs::exists(copies / "copy1.so"));
    EXPECT_FALSE(fs::exists(copies / ".hidden.so"));
    EXPECT_TRUE(fs::exists(copies / "keep.txt"));
    EXPECT_FALSE(fs::exists(box.install() / kWorker));
}

TEST(WorkerProgram, KeyToByteAppendsTheFragmentToCertHInTheCurrentFolder) {
    WorkerSandbox box;
    const fs::path work = box.sandbox().root() / "work";
    writeFile(work / "ec.pem", std::string("AB\xC8\x05\r\n", 6));
    writeFile(work / "key_RSA.pem", std::string("A\0B", 3));  // the text ends at its zero byte
    auto runIn = [&](const std::string& file) {
        ChildProcess worker("/bin/sh", {"-c", "cd \"$0\" && exec \"$1\" -KeyToByte \"$2\"",
                                        work.string(), (box.install() / kWorker).string(), file});
        EXPECT_EQ(worker.wait(10s), std::optional<int>(0));
    };
    runIn("ec.pem");
    runIn("key_RSA.pem");
    runIn("missing.pem");
    EXPECT_EQ(readFile(work / "Cert.h"),
              "byte ECKey[] = { 0x41, 0x42, 0xC8, 0x5, 0xA};byte RSAKey[] = { 0x41};");
    EXPECT_NE(box.log().find("[Warning] Read file pointer is null"), std::string::npos);
}

// A fragment that cannot be written fails the run with the reason in the log, and leaves
// Cert.h as it was: no half fragment that would break the header for the next key.
TEST(WorkerProgram, KeyToByteThatCannotWriteCertHFailsAndLeavesItAsItWas) {
    const std::string kept = "byte ECKey[] = { 0x41};" + std::string(600, ' ');
    struct Case {
        const char* name;
        std::function<void(const fs::path& certFile)> prepare;
        const char* limit;  // the shell's file size limit, in KiB
        const char* logged;
    } cases[] = {
        {"a full disk", [](const fs::path& c) { fs::create_symlink("/dev/full", c); }, "unlimited",
         "[Error] Write Cert.h fail: No space left on device"},
        {"a folder in its place", [](const fs::path& c) { fs::create_directory(c); }, "unlimited",
         "[Error] Open Cert.h fail: Is a directory"},
        {"the file size limit reached", [&](const fs::path& c) { writeFile(c, kept); }, "4",
         "[Error] Write Cert.h fail: File too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkerSandbox box;
        const fs::path work = box.sandbox().root() / "work";
        writeFile(work / "ec.pem", std::string(1000, 'K'));
        const fs::path certFile = work / "Cert.h";
        c.prepare(certFile);
        ChildProcess worker(
            "/bin/bash",
            {"-c", "trap '' XFSZ; ulimit -f \"$3\"; cd \"$0\" && exec \"$1\" -KeyToByte \"$2\"",
             work.string(), (box.install() / kWorker).string(), "ec.pem", c.limit});
        EXPECT_EQ(worker.wait(10s), std::optional<int>(1)) << worker.errors();
        EXPECT_NE(box.log().find(c.logged), std::string::npos) << box.log();
        if (fs::is_regular_file(certFile)) {
            EXPECT_EQ(readFile(certFile), kept);
        }
    }
}
