// The tray icon as the keeper sets it: running or stopped, with the balloon that goes
// with the change unless silent mode hides it.
#pragma once

#include <atomic>
#include <cstdint>

// Icons: the one shown at start-up and in the About box, main program running, stopped.
inline constexpr int kIconMonitor = 101;
inline constexpr int kIconRunning = 104;
inline constexpr int kIconStopped = 105;

inline constexpr const char* kTrayTip = "ZEFAGPKITessaroll";

extern std::atomic<uint8_t> mainRunning;    // 1 after the running icon was set
extern std::atomic<uint8_t> restartNotice;  // a restart is under way: restarted balloon only

void setRunningIcon();
void setStoppedIcon();
void refreshNotificationArea();
