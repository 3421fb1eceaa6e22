// Debug mode: a log ini in the user's temporary folder that switches every program's
// logging on at level 5 into "TessarollLog" on the desktop, and the named event that tells
// programs already running to read their log settings again. The ini's existence is the
// state, so it survives restarts of the monitor.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// 1 while debug mode is on. Written by the window's thread and the key-sequence detector.
extern std::atomic<uint8_t> debugState;
// The debug log ini's content, built by initDebugLogSettings.
extern std::string logIniText;

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

// Tests only: the handle closed, the state cleared.
void resetDebugModeForTests();
