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

void keeperThread() {
    const KeeperProgram program = currentProgram();
    killMainProgram();
    if (program.startReceiver) {
        IPCHandlers.lockFlag = &userSwitchedOut;
        startIPCReceiver(kChannelMonitorReceiver);
    }
    while (!quitForTests) {
        if (userSwitchedOut == 1) {
            while (userSwitchedOut == 1) {
                if (!pause(1000)) return;
            }
            if (!pause(100)) return;
            refreshNotificationArea();
        }
        while (keeperState == kKeeperStop) {
            if (!pause(100)) return;
        }
        while (startGate == 0) {
            if (!pause(100)) return;
        }
        for (int run = 0; run < kKeeperRunsPerSeries; ++run) {
            writeNormalLog("Start Tessaroll main program", "");
            std::string commandLine = cutToBuffer(program.command + " " + std::to_string(run), 512);
            setRunningIcon();
            runHiddenAndWait(commandLine.c_str(), false);
            pause(100);
            setStoppedIcon();
            if (!pause(500)) return;
            if (keeperState != kKeeperRun) break;
            if (userSwitchedOut == 1) {
                writeNormalLog("[Keeper] ", "Detect user switch out event, into sleep mode");
                break;
            }
            if (run == kKeeperRunsPerSeries - 1) {
                writeNormalLog("[Keeper] ", "Restart main program too many times, shutdown Keeper");
                return;
            }
        }
    }
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
