// The tray icon as the keeper sets it: running or stopped, with the balloon that goes
// with the change unless silent mode hides it.
#pragma once

// Icons: the one shown at start-up and in the About box, main program running, stopped.
inline constexpr int kIconMonitor = 101;
inline constexpr int kIconRunning = 104;
inline constexpr int kIconStopped = 105;

inline constexpr const char* kTrayTip = "ZEFAGPKITessaroll";

// They act on the tray window's state (monitorState().window: mainRunning, restartNotice).
void setRunningIcon();
void setStoppedIcon();
void refreshNotificationArea();
