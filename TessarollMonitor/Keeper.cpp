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

namespace {

// Sleeps while the user is switched out; false when the keeper is to end.
bool waitForUserToReturn() {
    const std::atomic<uint8_t>& userSwitchedOut = keeper().userSwitchedOut;
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
    const KeeperState& state = keeper();
    while (state.state == kKeeperStop) {
        if (!pause(100)) return false;
    }
    while (state.startGate == 0) {
        if (!pause(100)) return false;
    }
    return true;
}

// Runs the main program again each time it ends, up to a series' length; false when the
// keeper is to end.
bool runSeries(const KeeperProgram& program) {
    const KeeperState& state = keeper();
    for (int run = 0; run < kKeeperRunsPerSeries; ++run) {
        writeNormalLog("Start Tessaroll main program", "");
        std::string commandLine = cutToBuffer(program.command + " " + std::to_string(run), 512);
        setRunningIcon();
        runHiddenAndWait(commandLine.c_str(), false);
        pause(100);
        setStoppedIcon();
        if (!pause(500)) return false;
        if (state.state != kKeeperRun) return true;
        if (state.userSwitchedOut == 1) {
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
    KeeperState& state = keeper();
    const KeeperProgram program = state.program();
    killMainProgram();
    if (program.startReceiver) {
        IPCHandlers.lockFlag = &state.userSwitchedOut;
        startIPCReceiver(kChannelMonitorReceiver);
    }
    while (!state.ended())
        if (!waitForUserToReturn() || !waitUntilStartAllowed() || !runSeries(program)) return;
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
