#include "TessarollMonitor/Keeper.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "TessarollMonitor/MonitorState.h"
#include "TessarollMonitor/TrayIcon.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Message.h"
#include "TessarollUtil/ProcessTools.h"
#include "TessarollUtil/Text.h"

namespace {

KeeperState& keeper() {
    return monitorState().keeper;
}

// Sleeps; false when the keeper is to return.
bool pause(int milliseconds) {
    if (keeper().ended()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return !keeper().ended();
}

void killMainProgram() {
    killProcessByName(keeper().program().imageName.c_str(), ProgramForm::Monitor);
}

}  // namespace

void KeeperState::setProgram(KeeperProgram program) {
    std::lock_guard lock(programLock_);
    program_ = std::move(program);
}

KeeperProgram KeeperState::program() const {
    std::lock_guard lock(programLock_);
    return program_;
}

void keeperThread() {
    KeeperState& state = keeper();
    std::atomic<int32_t>& keeperState = state.state;
    std::atomic<uint8_t>& startGate = state.startGate;
    std::atomic<uint8_t>& userSwitchedOut = state.userSwitchedOut;
    const KeeperProgram program = state.program();
    killMainProgram();
    if (program.startReceiver) {
        IPCHandlers.lockFlag = &userSwitchedOut;
        startIPCReceiver(kChannelMonitorReceiver);
    }
    while (!state.ended()) {
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
    keeper().state = kKeeperRun;
}

void stopMainProgram() {
    keeper().state = kKeeperStop;
    killMainProgram();
}

void restartMainProgram() {
    monitorState().window.restartNotice = 1;
    keeper().state = kKeeperRestart;
    keeper().startGate = 0;
    killMainProgram();
    keeper().startGate = 1;
}
