// The user's desktop: keyboard and pointer state, top-level windows and their stacking.
// Backed by the X display named in DISPLAY, opened on first use. Without a display (the
// service may run headless) every function answers "nothing": no key is down, there are no
// windows, and nothing can be raised.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A top-level window of the desktop (an X window id); 0 is no window.
using DesktopWindow = unsigned long;

// True when a display can be reached now.
bool desktopAvailable();

// Whether the key or pointer button with this Windows virtual-key code (1 to 255) is held
// down right now: 1, 2 and 4 are the left, right and middle pointer buttons, letters and
// digits their upper-case character codes, 0x10, 0x11 and 0x12 either key of the Shift,
// Control and Alt pairs, 0x2C Print Screen. Codes with no key on this desktop, and the
// extra pointer buttons (5, 6), read as up.
bool isKeyDown(int virtualKey);
// The same for every code at once, read in one go: bit k is virtual key k.
std::bitset<256> pressedVirtualKeys();

// The top-level windows the window manager manages, oldest first. Without a window
// manager, the mapped children of the root window.
std::vector<DesktopWindow> listTopLevelWindows();
// The process that owns the window, as the window states it; 0 when it states none.
uint32_t windowProcessId(DesktopWindow window);
// The window's title in UTF-8, at most `maxCharacters` - 1 characters; empty when it has none.
std::string windowTitle(DesktopWindow window, std::size_t maxCharacters = 512);
// Asks the window manager to keep the window above all others, without moving or resizing
// it. False when the request could not be sent.
bool setWindowTopmost(DesktopWindow window);
// Whether the window's state holds "above all others".
bool isWindowTopmost(DesktopWindow window);

// Closes the connection so that the next call opens the display named in DISPLAY anew.
void resetDesktopForTests();
