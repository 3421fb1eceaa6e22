#include "TessarollMonitor/Keeper.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "TessarollMonitor/TrayIcon.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Message.h"
#include "TessarollUtil/ProcessTools.h"
#include "TessarollUtil/Text.h"

std::atomic<int32_t> keeperState{kKeeperRun};
std::atomic<uint8_t> startGate{1};
std::atomic<uint8_t> userSwitchedOut{0};

namespace {

std::mutex programLock;
KeeperProgram keeperProgram;
std::atomic<bool> quitForTests{false};

KeeperProgram currentProgram() {
    std::lock_guard lock(programLock);
    return keeperProgram;
}

// Sleeps; false when the keeper is to return (tests only).
bool pause(int milliseconds) {
    if (quitForTests) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return !quitForTests;
}

void killMainProgram() {
    killProcessByName(currentProgram().imageName.c_str(), ProgramForm::Monitor);
}

}  // namespace

void setKeeperProgram(KeeperProgram program) {
    std::lock_guard lock(programLock);
    keeperProgram = std::move(program);
}

namespace {

// Sleeps while the user is switched out; false when the keeper is to end.
bool waitForUserToReturn() {
    if (userSwitchedOut != 1) return true;
    while (userSwitchedOut == 1) {
        if (!pause(1000)) return false;
    }
    if (!pause(100)) return false;
    refreshNotificationArea();
    return true;
}

// Sleeps while the main program is stopped or a restart holds the gate; false when the
// keeper is to end.
bool waitUntilStartAllowed() {
    while (keeperState == kKeeperStop) {
        if (!pause(100)) return false;
    }
    while (startGate == 0) {
        if (!pause(100)) return false;
    }
    return true;
}

// Runs the main program again each time it ends, up to a series' length; false when the
// keeper is to end.
bool runSeries(const KeeperProgram& program) {
    for (int run = 0; run < kKeeperRunsPerSeries; ++run) {
        writeNormalLog("Start Tessaroll main program", "");
        std::string commandLine = cutToBuffer(program.command + " " + std::to_string(run), 512);
        setRunningIcon();
        runHiddenAndWait(commandLine.c_str(), false);
        pause(100);
        setStoppedIcon();
        if (!pause(500)) return false;
        if (keeperState != kKeeperRun) return true;
        if (userSwitchedOut == 1) {
            writeNormalLog("[Keeper] ", "Detect user switch out event, into sleep mode");
            return true;
        }
        if (run == kKeeperRunsPerSeries - 1) {
            writeNormalLog("[Keeper] ", "Restart main program too many times, shutdown Keeper");
            return false;
        }
    }
    return true;
}

}  // namespace

void keeperThread() {
    const KeeperProgram program = currentProgram();
    killMainProgram();
    if (program.startReceiver) {
        IPCHandlers.lockFlag = &userSwitchedOut;
        startIPCReceiver(kChannelMonitorReceiver);
    }
    while (!quitForTests)
        if (!waitForUserToReturn() || !waitUntilStartAllowed() || !runSeries(program)) return;
}

void startMainProgram() {
    keeperState = kKeeperRun;
}

void stopMainProgram() {
    keeperState = kKeeperStop;
    killMainProgram();
}

void restartMainProgram() {
    restartNotice = 1;
    keeperState = kKeeperRestart;
    startGate = 0;
    killMainProgram();
    startGate = 1;
}

void stopKeeperForTests() {
    quitForTests = true;
}

void resetKeeperForTests() {
    quitForTests = false;
    keeperState = kKeeperRun;
    startGate = 1;
    userSwitchedOut = 0;
    setKeeperProgram({});
}
