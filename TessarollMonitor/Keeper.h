// The keeper: the monitor's thread that keeps the main program running for the user. It
// starts the main program hidden with the run number as its argument, waits for it to
// end and starts it again, at most eight runs in a row; it pauses while the user's session
// is locked and follows the state word that the menu and the instructions set.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "TessarollUtil/ProgramNames.h"

inline constexpr int32_t kKeeperRun = 1;
inline constexpr int32_t kKeeperStop = 2;
inline constexpr int32_t kKeeperRestart = 3;
inline constexpr int kKeeperRunsPerSeries = 8;

// The program the keeper runs: the command's first word (a bare name is looked for in the
// monitor's own folder first) and the process name it is ended by.
struct KeeperProgram {
    std::string command = kMainProgramName;
    std::string imageName = kMainProgramName;
    // Whether the keeper starts the monitor's IPC receiver, which sets userSwitchedOut.
    bool startReceiver = true;
};

class KeeperState {
public:
    std::atomic<int32_t> state{kKeeperRun};
    std::atomic<uint8_t> startGate{1};        // 0 while a restart is killing the main program
    std::atomic<uint8_t> userSwitchedOut{0};  // the IPC receiver's lock flag

    void setProgram(KeeperProgram program);
    KeeperProgram program() const;
    // Makes a running keeperThread return at its next pause; the main program is not
    // ended by this.
    void endThread() { ended_ = true; }
    bool ended() const { return ended_; }

private:
    mutable std::mutex programLock_;
    KeeperProgram program_;
    std::atomic<bool> ended_{false};
};

// The functions below act on the monitor's keeper (monitorState().keeper).
// The thread body; returns after the eighth run of a series in the run state.
void keeperThread();

void startMainProgram();    // state := run
void stopMainProgram();     // state := stop, then the main program is ended
void restartMainProgram();  // the main program is ended and a new series begins with run 0
