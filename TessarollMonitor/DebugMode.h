// Debug mode: a log ini in the user's temporary folder that switches every program's
// logging on at level 5 into "TessarollLog" on the desktop, and the named event that tells
// programs already running to read their log settings again. The ini's existence is the
// state, so it survives restarts of the monitor.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

inline constexpr const char* kDebugModeEventName = "ZEFAGPKITessaroll_DEBUG_MODE";

// 1 while debug mode is on. Written by the window's thread and the key-sequence detector.
extern std::atomic<uint8_t> debugState;
// The debug log ini's content, built by initDebugLogSettings.
extern std::string logIniText;

// What debug mode and the screen capture need of the tray window. The monitor fills it at
// start-up; a member left empty does nothing (a text left empty gives an empty text).
struct MonitorUiHooks {
    std::function<void(const std::string& text)> showBalloon;  // shown whatever silentmode says
    std::function<void()> closeAboutBox;                       // the box titled "ZEFAGPKITessaroll Monitor"
    std::function<std::string()> debugOnText;                  // "Turn on debug mode" of the current language
    std::function<std::string()> debugOffText;                 // "Turn off debug mode"
    std::function<std::string()> screenshotsText;              // "Screenshots"
    std::function<std::string()> captureSavedText;             // "Output ==FileName== to desktop success"
};
void setMonitorUiHooks(MonitorUiHooks hooks);
MonitorUiHooks monitorUiHooks();  // a copy: callers run it outside the lock

// Monitor: opens the event or, when nobody holds it, creates it (unsignalled). False when
// a handle was already held or none could be had.
bool openDebugEvent();
// Start-up: openDebugEvent, and the error line "Monitor debugStatusUpdateEvent init failed. "
// when no handle results.
void initDebugModeEvent();
// Releases the threads waiting on the event now; nothing without a handle.
void pulseDebugEvent();

// Main program and watchdog form: opens the event, never creates it, and keeps the handle.
// True only on the call that opened it, so only while a monitor runs.
bool isDebugMode();
// Waits on the handle isDebugMode opened for the next pulse; false without a handle or
// when `timeout` passed.
bool waitDebugModeChange(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

// Start-up: logIniPath := the user's temporary folder (its folders created) plus
// "ZEFAGPKITessaroll.ini"; builds logIniText; debugState := whether that file exists.
void initDebugLogSettings();

void writeLogIni();
void startDebugMode();
void stopDebugMode();
void toggleDebugMode();

// Tests only: handles closed, state and hooks cleared.
void resetDebugModeForTests();
