// Print Screen saves a picture of the whole screen as a PNG on the desktop while
// isScreenShot is set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "TessarollMonitor/KeySequence.h"

inline constexpr int32_t kVirtualKeyPrint = 0x2A;
inline constexpr int32_t kVirtualKeySnapshot = 0x2C;

// "<desktop>/ZEFAGPKITessaroll <screenshots> <time>.png", at most 511 characters.
std::string screenshotFileName(std::string_view desktop, std::string_view screenshotsText,
                               std::string_view timeText);
// The capture-saved text with every "==FileName==" replaced by the file name.
std::string captureSavedMessage(std::string_view savedText, std::string_view fileName);

// One capture through the tray UI's screen grab into a file on the desktop, then after
// 1214 ms the saved balloon. A capture that could not be saved logs an error instead of
// claiming success. Returns the file name used.
std::string captureScreen();

// The hotkey loop: while isScreenShot is set, one capture per press of Print or Snapshot
// however long the key is held.
class ScreenshotKeyPoller {
public:
    // `capture` defaults to captureScreen.
    explicit ScreenshotKeyPoller(KeyStateSource& keys, std::function<void()> capture = {});
    // Sleeps 10 ms when capture is off or no key is down; otherwise captures once and
    // waits, 10 ms at a time, until both keys are up. True when it captured.
    bool runOnce();
    [[noreturn]] void run();

private:
    KeyStateSource& keys_;
    std::function<void()> capture_;
};

// The hotkey thread's body (started detached by the monitor); never returns.
[[noreturn]] void screenshotKeyPoller();
