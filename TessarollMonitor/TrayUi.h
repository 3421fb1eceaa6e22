// What the user sees of the monitor: the tray icon and its menu, balloons, the About box
// and the screen grab. The Qt layer (qt/) implements it in the program; the tests put in a
// recording UI of their own. Nothing else in the monitor needs Qt.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kAboutCaption = "ZEFAGPKITessaroll Monitor";

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
    // Takes the icon away once the window's thread is back in its message loop (never
    // under the icon's own handlers). Any thread.
    virtual void removeTrayIcon() = 0;
    // A notice without title or icon beside the tray icon. Any thread.
    virtual void showBalloon(const std::string& text) = 0;
    // Shows the popup menu at the pointer; a choice comes back as kWmCommand.
    virtual void trackMenu(const std::vector<TrayMenuItem>& menu) = 0;
    // Opens a box with the text, the caption and the icon and returns at once: the menu and
    // the instructions go on being handled while it is open. `closed` runs on the window's
    // thread once the box has gone, however it was closed.
    virtual void messageBox(const std::string& caption, const std::string& text, int icon,
                            std::function<void()> closed) = 0;
    // Closes an open box of that caption. Any thread.
    virtual void closeMessageBox(const std::string& caption) = 0;
    // A picture of the whole screen saved under `path`, the format chosen by its
    // extension; false when there is no screen or the file cannot be written. Any thread.
    virtual bool grabScreen(const std::string& path) = 0;
    // Ends the message loop once the window's thread is back in it. Any thread.
    virtual void quit() = 0;
};

// The UI the monitor shows through; null shows nothing (and grabs nothing).
void setTrayUi(TrayUi* ui);
TrayUi* trayUi();

// A balloon with the text, cut to 255 characters.
void showBalloon(std::string_view text);
