// Following the monitor's debug mode: each pulse of its debug-mode event switches the
// program's logging over. A program that starts before the monitor has made the event
// keeps looking for it, so it follows debug mode once the monitor is up.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "TessarollUtil/ProgramNames.h"

class DebugModeFollower {
public:
    struct Options {
        std::string eventName = kDebugModeEventName;
        std::function<void()> onPulse;  // once per pulse
        std::function<void(int error)>
            onFirstMissing;  // once, when the first look finds no event (errno)
        std::chrono::milliseconds reopenPause{500};
        // How long one wait lasts before the thread looks whether it is to stop.
        std::chrono::milliseconds waitSlice{200};
        std::function<void()> afterIdleSlice{};  // for tests: after each wait that saw no pulse
    };
    // Starts the following thread.
    explicit DebugModeFollower(Options options);
    // Stops the thread and waits for it.
    ~DebugModeFollower();
    DebugModeFollower(const DebugModeFollower&) = delete;
    DebugModeFollower& operator=(const DebugModeFollower&) = delete;

private:
    void run();
    Options options_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The program's follower for the rest of the process: each pulse turns logging off when it
// is on, else on with `logPrefix` (null: the program prefix). `logMissingEvent` writes the
// program's own "init failed" line.
void followDebugMode(const char* logPrefix, std::function<void(int error)> logMissingEvent);
