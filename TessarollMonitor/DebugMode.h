// Debug mode: a log ini in the user's temporary folder that switches every program's
// logging on at level 5 into "TessarollLog" on the desktop, and the named event that tells
// programs already running to read their log settings again. The ini's existence is the
// state, so it survives restarts of the monitor.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

class NamedEvent;

struct DebugModeState {
    DebugModeState() = default;
    ~DebugModeState();
    DebugModeState(const DebugModeState&) = delete;
    DebugModeState& operator=(const DebugModeState&) = delete;

    // 1 while debug mode is on. Written by the window's thread and the key-sequence
    // detector.
    std::atomic<uint8_t> on{0};
    // The debug log ini's content, built by initDebugLogSettings.
    std::string logIniText;
    // The named event, once opened.
    std::atomic<NamedEvent*> event{nullptr};
};

// The functions below act on the monitor's debug mode (monitorState().debugMode).
// Monitor: opens the event or, when nobody holds it, creates it (unsignalled). False when
// a handle was already held or none could be had.
bool openDebugEvent();
// Start-up: openDebugEvent, and the error line "Monitor debugStatusUpdateEvent init failed. "
// when no handle results.
void initDebugModeEvent();
// Releases the threads waiting on the event now; nothing without a handle.
void pulseDebugEvent();

// Start-up: logIniPath := the user's temporary folder (its folders created) plus
// "ZEFAGPKITessaroll.ini"; builds logIniText; debugState := whether that file exists.
void initDebugLogSettings();

void writeLogIni();
void startDebugMode();
void stopDebugMode();
void toggleDebugMode();
