// The monitor's tray window: one window procedure over the menu's command ids and the
// messages the tray icon, the worker's instructions and the desktop send it. What the
// user sees goes through TrayUi.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "TessarollMonitor/Languages.h"
#include "TessarollMonitor/TrayIcon.h"
#include "TessarollMonitor/TrayUi.h"

// ---- ids ------------------------------------------------------------------------------

// Menu commands (the low word of kWmCommand's wParam). The menu never shows 40002, 61005,
// 61006, 61014, 61017 or 61018; they act when a command with that id arrives.
inline constexpr int kCmdQuitHidden = 40002;
inline constexpr int kCmdQuit = 40003;
inline constexpr int kCmdStop = 61001;
inline constexpr int kCmdStart = 61002;
inline constexpr int kCmdRestart = 61003;
inline constexpr int kCmdAbout = 61004;
inline constexpr int kCmdStartDebugModeHidden = 61005;
inline constexpr int kCmdStopDebugModeHidden = 61006;
inline constexpr int kCmdTradChinese = 61007;
inline constexpr int kCmdEnglish = 61008;
inline constexpr int kCmdSimpChinese = 61010;
inline constexpr int kCmdSystemHint = 61011;
inline constexpr int kCmdScreenshots = 61012;
inline constexpr int kCmdJapanese = 61013;
inline constexpr int kCmdStartDebugMode = 61014;
inline constexpr int kCmdStopDebugMode = 61015;
inline constexpr int kCmdCheckUpdate = 61017;
inline constexpr int kCmdAutoCheckUpdate = 61018;

// Messages of the window procedure (kWmCopyData is in TessarollUtil/Message.h).
inline constexpr unsigned kWmCreate = 0x0001;
inline constexpr unsigned kWmDestroy = 0x0002;
inline constexpr unsigned kWmClose = 0x0010;
inline constexpr unsigned kWmCommand = 0x0111;
inline constexpr unsigned kWmTrayCallback =
    0x0401;  // the tray icon's callback, lParam the mouse message
inline constexpr unsigned kWmTaskbarCreated = 0xC0DE;  // the notification area came back
inline constexpr intptr_t kWmLButtonDblClk = 0x0203;
inline constexpr intptr_t kWmRButtonDown = 0x0204;

inline constexpr const char* kMonitorVersion = "1.0.20.0309";
inline constexpr const char* kPublisher = "ZEFA";

// The text a second monitor sends to the first one's window channel to open its About
// box, as posting the tray callback for a double click did. Never a signed instruction.
inline constexpr const char* kOpenAboutRequest = "TrayCallback:515";

// ---- state -----------------------------------------------------------------------------

struct TrayWindowState {
    std::atomic<uint8_t> aboutBoxIdle{1};   // 1 while no About box is open
    std::atomic<uint8_t> mainRunning{0};    // 1 after the running icon was set
    std::atomic<uint8_t> restartNotice{0};  // a restart is under way: restarted balloon only
    // The main program's data folder ("<application data>/ZEFAGPKITessarollMain"); set at
    // start-up before the threads start.
    std::string dataFolder;
    // Display names and versions of the installed components, collected for the About box.
    std::string installedComponentText;
};

// ---- the window -----------------------------------------------------------------------
// The functions below act on the tray window's state (monitorState().window).

// The window procedure. `data` is the text of a kWmCopyData. Returns -1 from kWmCreate
// when the icon could not be added, else 0.
intptr_t monitorWindowProc(unsigned message, uintptr_t wParam, intptr_t lParam,
                           std::string_view data = {});

// The popup menu for the present state, and showing it.
std::vector<TrayMenuItem> buildTrayMenu();
void showTrayMenu();

// Sets the language, rebuilds the texts and shows the switch balloon with the name text
// of the language's item.
void switchLanguage(int32_t language, MonitorText nameText);
// The About box's text for the present state, placeholders replaced.
std::string buildAboutText();
void ShowMonitorAbout();
// Walks the folder depth-first to the first "DisplayName.txt" and adds its name and
// version to installedComponentText (unless that holds something already).
void findInstalledComponent(const char* folder);
void readDisplayName(const std::string& displayNamePath);

// Ends the monitor: the main program is stopped, the watchdog told to end, and the
// removal of the icon and the end of the message loop queued to the window's thread.
void MonitorFinal();
