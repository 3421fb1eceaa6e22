// The monitor's tray window: one window procedure over the menu's command ids and the
// messages the tray icon, the worker's instructions and the desktop send it. What the
// user sees (icon, menu, balloons, the About box) goes through TrayUi, which the Qt layer
// implements in the program and a recording UI implements in the tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "TessarollMonitor/Languages.h"

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
inline constexpr unsigned kWmTrayCallback = 0x0401;  // the tray icon's callback, lParam the mouse message
inline constexpr unsigned kWmTaskbarCreated = 0xC0DE; // the notification area came back
inline constexpr intptr_t kWmLButtonDblClk = 0x0203;
inline constexpr intptr_t kWmRButtonDown = 0x0204;

// Icons: the one shown at start-up and in the About box, main program running, stopped.
inline constexpr int kIconMonitor = 101;
inline constexpr int kIconRunning = 104;
inline constexpr int kIconStopped = 105;

inline constexpr const char* kTrayTip = "ZEFAGPKITessaroll";
inline constexpr const char* kAboutCaption = "ZEFAGPKITessaroll Monitor";
inline constexpr const char* kServerVersion = "1.0.23.0510";
inline constexpr const char* kMonitorVersion = "1.0.20.0309";
inline constexpr const char* kPublisher = "ZEFA";

// The text a second monitor sends to the first one's window channel to open its About
// box, as posting the tray callback for a double click did. Never a signed instruction.
inline constexpr const char* kOpenAboutRequest = "TrayCallback:515";

// ---- what the user sees ---------------------------------------------------------------

struct TrayMenuItem {
    enum class Kind { Command, Separator, Submenu };
    Kind kind = Kind::Command;
    int id = 0;
    std::string text;
    bool checked = false;
    std::vector<TrayMenuItem> items;  // of a submenu
};

// Called on the window's thread unless said otherwise.
class TrayUi {
public:
    virtual ~TrayUi() = default;
    // Puts the icon with its tip into the notification area; false when it could not.
    virtual bool addTrayIcon(int icon, const std::string& tip) = 0;
    // Shows another icon. Any thread.
    virtual void setTrayIcon(int icon) = 0;
    virtual void removeTrayIcon() = 0;
    // A notice without title or icon beside the tray icon. Any thread.
    virtual void showBalloon(const std::string& text) = 0;
    // Shows the popup menu at the pointer; a choice comes back as kWmCommand.
    virtual void trackMenu(const std::vector<TrayMenuItem>& menu) = 0;
    // A box with the text, the caption and the icon; returns when the user closed it. The
    // window procedure keeps receiving messages meanwhile.
    virtual void messageBox(const std::string& caption, const std::string& text, int icon) = 0;
    // Closes an open box of that caption. Any thread.
    virtual void closeMessageBox(const std::string& caption) = 0;
    // Ends the message loop. Any thread.
    virtual void quit() = 0;
};
// The UI the window procedure and the icon functions use; null shows nothing.
void setTrayUi(TrayUi* ui);

// ---- process-wide state ---------------------------------------------------------------

extern std::atomic<uint8_t> mainRunning;    // 1 after the running icon was set
extern std::atomic<uint8_t> restartNotice;  // a restart is under way: restarted balloon only
extern std::atomic<uint8_t> aboutBoxIdle;   // 1 while no About box is open
// The main program's data folder ("<application data>/ZEFAGPKITessarollMain"); set at
// start-up before the threads start.
extern std::string dataFolder;
// Display names and versions of the installed components, collected for the About box.
extern std::string installedComponentText;

// ---- the window -----------------------------------------------------------------------

// The window procedure. `data` is the text of a kWmCopyData. Returns -1 from kWmCreate
// when the icon could not be added, else 0.
intptr_t monitorWindowProc(unsigned message, uintptr_t wParam, intptr_t lParam, std::string_view data = {});

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

// A balloon with the text, cut to 255 characters.
void showBalloon(std::string_view text);
void setRunningIcon();
void setStoppedIcon();
void refreshNotificationArea();

// Ends the monitor: the main program is stopped, the watchdog told to end, the icon
// removed and the message loop ended.
void MonitorFinal();

// Tests only: the state above back to its start values.
void resetTrayWindowForTests();
