#include "platform/Desktop.h"

#include <X11/XF86keysym.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/SharedLibrary.h"

namespace {

// libX11, loaded on first use: a process that never looks at the desktop keeps it (and the
// libraries it pulls in) out of its memory. Loaded once and kept for the process's life.
struct Xlib : LibraryFunctions {
    Xlib() : LibraryFunctions("libX11.so.6") {}
    TESSAROLL_LIBRARY_FUNCTION(XSetErrorHandler)
    TESSAROLL_LIBRARY_FUNCTION(XSetIOErrorHandler)
    TESSAROLL_LIBRARY_FUNCTION(XOpenDisplay)
    TESSAROLL_LIBRARY_FUNCTION(XSetIOErrorExitHandler)
    TESSAROLL_LIBRARY_FUNCTION(XInternAtoms)
    TESSAROLL_LIBRARY_FUNCTION(XPending)
    TESSAROLL_LIBRARY_FUNCTION(XNextEvent)
    TESSAROLL_LIBRARY_FUNCTION(XRefreshKeyboardMapping)
    TESSAROLL_LIBRARY_FUNCTION(XCloseDisplay)
    TESSAROLL_LIBRARY_FUNCTION(XDisplayKeycodes)
    TESSAROLL_LIBRARY_FUNCTION(XGetKeyboardMapping)
    TESSAROLL_LIBRARY_FUNCTION(XFree)
    TESSAROLL_LIBRARY_FUNCTION(XGetWindowProperty)
    TESSAROLL_LIBRARY_FUNCTION(XQueryKeymap)
    TESSAROLL_LIBRARY_FUNCTION(XQueryPointer)
    TESSAROLL_LIBRARY_FUNCTION(XQueryTree)
    TESSAROLL_LIBRARY_FUNCTION(XGetWindowAttributes)
    TESSAROLL_LIBRARY_FUNCTION(XGetWMName)
    TESSAROLL_LIBRARY_FUNCTION(Xutf8TextPropertyToTextList)
    TESSAROLL_LIBRARY_FUNCTION(XFreeStringList)
    TESSAROLL_LIBRARY_FUNCTION(XSendEvent)
    TESSAROLL_LIBRARY_FUNCTION(XRaiseWindow)
    TESSAROLL_LIBRARY_FUNCTION(XChangeProperty)
    TESSAROLL_LIBRARY_FUNCTION(XSync)
    TESSAROLL_LIBRARY_FUNCTION(XFlush)
};

// Never destroyed, like the connection that uses it.
const Xlib& xlib() {
    static const Xlib* const instance = new Xlib;
    return *instance;
}

// Windows virtual-key code -> the keysyms of the keys that produce it.
struct VirtualKeyEntry {
    int virtualKey;
    std::initializer_list<KeySym> keysyms;
};

const std::initializer_list<VirtualKeyEntry> kVirtualKeyTable = {
    {0x03, {XK_Cancel, XK_Break}},
    {0x08, {XK_BackSpace}},
    {0x09, {XK_Tab, XK_ISO_Left_Tab}},
    {0x0C, {XK_Clear}},
    {0x0D, {XK_Return, XK_KP_Enter}},
    {0x10, {XK_Shift_L, XK_Shift_R}},
    {0x11, {XK_Control_L, XK_Control_R}},
    {0x12, {XK_Alt_L, XK_Alt_R, XK_Meta_L, XK_Meta_R, XK_ISO_Level3_Shift}},
    {0x13, {XK_Pause}},
    {0x14, {XK_Caps_Lock}},
    {0x15, {XK_Hangul, XK_Kana_Lock, XK_Kana_Shift}},
    {0x19, {XK_Hangul_Hanja, XK_Kanji}},
    {0x1B, {XK_Escape}},
    {0x1C, {XK_Henkan}},
    {0x1D, {XK_Muhenkan}},
    {0x1F, {XK_Mode_switch}},
    {0x20, {XK_space}},
    {0x21, {XK_Prior}},
    {0x22, {XK_Next}},
    {0x23, {XK_End}},
    {0x24, {XK_Home}},
    {0x25, {XK_Left}},
    {0x26, {XK_Up}},
    {0x27, {XK_Right}},
    {0x28, {XK_Down}},
    {0x29, {XK_Select}},
    {0x2B, {XK_Execute}},
    {0x2C, {XK_Print, XK_Sys_Req}},
    {0x2D, {XK_Insert}},
    {0x2E, {XK_Delete}},
    {0x2F, {XK_Help}},
    {0x5B, {XK_Super_L}},
    {0x5C, {XK_Super_R}},
    {0x5D, {XK_Menu}},
    {0x5F, {XF86XK_Sleep}},
    {0x6A, {XK_KP_Multiply}},
    {0x6B, {XK_KP_Add}},
    {0x6C, {XK_KP_Separator}},
    {0x6D, {XK_KP_Subtract}},
    {0x6E, {XK_KP_Decimal}},
    {0x6F, {XK_KP_Divide}},
    {0x90, {XK_Num_Lock}},
    {0x91, {XK_Scroll_Lock}},
    {0xA0, {XK_Shift_L}},
    {0xA1, {XK_Shift_R}},
    {0xA2, {XK_Control_L}},
    {0xA3, {XK_Control_R}},
    {0xA4, {XK_Alt_L, XK_Meta_L}},
    {0xA5, {XK_Alt_R, XK_Meta_R, XK_ISO_Level3_Shift}},
    {0xA6, {XF86XK_Back}},
    {0xA7, {XF86XK_Forward}},
    {0xA8, {XF86XK_Refresh}},
    {0xA9, {XF86XK_Stop}},
    {0xAA, {XF86XK_Search}},
    {0xAB, {XF86XK_Favorites}},
    {0xAC, {XF86XK_HomePage}},
    {0xAD, {XF86XK_AudioMute}},
    {0xAE, {XF86XK_AudioLowerVolume}},
    {0xAF, {XF86XK_AudioRaiseVolume}},
    {0xB0, {XF86XK_AudioNext}},
    {0xB1, {XF86XK_AudioPrev}},
    {0xB2, {XF86XK_AudioStop}},
    {0xB3, {XF86XK_AudioPlay}},
    {0xB4, {XF86XK_Mail}},
    {0xB5, {XF86XK_AudioMedia}},
    {0xB6, {XF86XK_MyComputer}},
    {0xB7, {XF86XK_Calculator}},
    {0xBA, {XK_semicolon}},
    {0xBB, {XK_equal}},
    {0xBC, {XK_comma}},
    {0xBD, {XK_minus}},
    {0xBE, {XK_period}},
    {0xBF, {XK_slash}},
    {0xC0, {XK_grave}},
    {0xDB, {XK_bracketleft}},
    {0xDC, {XK_backslash}},
    {0xDD, {XK_bracketright}},
    {0xDE, {XK_apostrophe}},
    {0xE2, {XK_less}},
};

// Keysym -> the virtual keys it stands for, the fixed table plus the ranges (digits,
// letters, keypad digits, function keys) that follow the keysym order.
std::unordered_multimap<KeySym, int> buildKeysymTable() {
    std::unordered_multimap<KeySym, int> table;
    for (const VirtualKeyEntry& entry : kVirtualKeyTable)
        for (KeySym keysym : entry.keysyms) table.emplace(keysym, entry.virtualKey);
    for (int i = 0; i < 10; ++i) {
        table.emplace(XK_0 + static_cast<KeySym>(i), 0x30 + i);
        table.emplace(XK_KP_0 + static_cast<KeySym>(i), 0x60 + i);
    }
    for (int i = 0; i < 26; ++i) {
        table.emplace(XK_a + static_cast<KeySym>(i), 0x41 + i);
        table.emplace(XK_A + static_cast<KeySym>(i), 0x41 + i);
    }
    for (int i = 0; i < 24; ++i) table.emplace(XK_F1 + static_cast<KeySym>(i), 0x70 + i);
    return table;
}

// A lost connection must not end the process (the default handler exits): the handler
// returns, the connection is marked broken, and the next call opens the display anew.
// Xlib calls the handlers on whichever thread met the error, also for other connections of
// the process (the monitor's toolkit has its own), hence atomics.
std::atomic<bool> connectionBroken{false};
// Requests about windows that vanished meanwhile fail with an X error; that is an answer
// of "nothing", not a reason to end the process as the default handler would.
std::atomic<int> lastXError{0};

int ignoreXError(Display*, XErrorEvent* event) {
    lastXError = event->error_code;
    return 0;
}
int noteIoError(Display*) {
    connectionBroken = true;
    return 0;
}
void keepRunningAfterIoError(Display*, void*) {
    connectionBroken = true;
}

class DesktopConnection {
public:
    // The open display, or nullptr; the caller holds `mutex`.
    Display* display() {
        if (display_ && connectionBroken) close();
        if (display_) return display_;
        const auto now = std::chrono::steady_clock::now();
        // Without a display the key pollers call in every few milliseconds: try again at
        // most once a second.
        if (triedOnce_ && now - lastAttempt_ < std::chrono::seconds(1)) return nullptr;
        triedOnce_ = true;
        lastAttempt_ = now;
        if (!xlib().complete()) return nullptr;
        xlib().XSetErrorHandler(ignoreXError);
        xlib().XSetIOErrorHandler(noteIoError);
        display_ = xlib().XOpenDisplay(nullptr);
        if (!display_) return nullptr;
        xlib().XSetIOErrorExitHandler(display_, keepRunningAfterIoError, nullptr);
        connectionBroken = false;
        root_ = DefaultRootWindow(display_);
        const char* names[] = {"_NET_CLIENT_LIST",   "_NET_WM_PID",   "_NET_WM_NAME",
                               "UTF8_STRING",        "_NET_WM_STATE", "_NET_SUPPORTED",
                               "_NET_WM_STATE_ABOVE"};
        xlib().XInternAtoms(display_, const_cast<char**>(names), static_cast<int>(std::size(names)),
                            False, atoms_.data());
        loadKeyboardMapping();
        return display_;
    }

    // Handles what the server sent us unasked: only keyboard mapping changes matter.
    void drainEvents() {
        while (display_ && !connectionBroken && xlib().XPending(display_) > 0) {
            XEvent event;
            xlib().XNextEvent(display_, &event);
            if (event.type == MappingNotify) {
                xlib().XRefreshKeyboardMapping(&event.xmapping);
                if (event.xmapping.request == MappingKeyboard) loadKeyboardMapping();
            }
        }
    }

    void close() {
        if (display_) xlib().XCloseDisplay(display_);
        display_ = nullptr;
        connectionBroken = false;
    }
    void forget() {
        close();
        triedOnce_ = false;
    }

    Window root() const { return root_; }
    Atom clientList() const { return atoms_[0]; }
    Atom wmPid() const { return atoms_[1]; }
    Atom wmName() const { return atoms_[2]; }
    Atom utf8String() const { return atoms_[3]; }
    Atom wmState() const { return atoms_[4]; }
    Atom supported() const { return atoms_[5]; }
    Atom stateAbove() const { return atoms_[6]; }
    const std::array<std::bitset<256>, 256>& keycodeKeys() const { return keycodeKeys_; }

    std::mutex mutex;

private:
    // Which virtual keys each key code produces: the key's unshifted keysym of its first
    // group names it, as a key's label does. The shifted one counts only for digits, which
    // some layouts (and the keypad with Num Lock) put there; the shifted signs of other keys
    // (the "<" over the comma) belong to keys of their own.
    static bool isShiftedDigit(KeySym keysym) {
        return (keysym >= XK_0 && keysym <= XK_9) || (keysym >= XK_KP_0 && keysym <= XK_KP_9) ||
               keysym == XK_KP_Decimal || keysym == XK_KP_Separator;
    }
    void loadKeyboardMapping() {
        static const std::unordered_multimap<KeySym, int> keysymTable = buildKeysymTable();
        keycodeKeys_ = {};
        int minCode = 0, maxCode = 0, perCode = 0;
        xlib().XDisplayKeycodes(display_, &minCode, &maxCode);
        KeySym* map = xlib().XGetKeyboardMapping(display_, static_cast<KeyCode>(minCode),
                                                 maxCode - minCode + 1, &perCode);
        if (!map) return;
        for (int code = minCode; code <= maxCode && code < 256; ++code) {
            for (int column = 0; column < std::min(perCode, 2); ++column) {
                const KeySym keysym = map[(code - minCode) * perCode + column];
                if (column == 1 && !isShiftedDigit(keysym)) continue;
                auto [first, last] = keysymTable.equal_range(keysym);
                for (auto it = first; it != last; ++it)
                    keycodeKeys_[static_cast<std::size_t>(code)].set(
                        static_cast<std::size_t>(it->second));
            }
        }
        xlib().XFree(map);
    }

    Display* display_ = nullptr;
    Window root_ = 0;
    std::array<Atom, 7> atoms_{};
    std::array<std::bitset<256>, 256> keycodeKeys_{};
    bool triedOnce_ = false;
    std::chrono::steady_clock::time_point lastAttempt_{};
};

// Never destroyed: threads that outlive the static objects at exit (a watcher ended from a
// destructor) may still ask for the desktop; the server closes the connection with us.
DesktopConnection& connection() {
    static DesktopConnection* const instance = new DesktopConnection;
    return *instance;
}

// A locked, ready connection for one public call; `display` is null without a display.
struct Session {
    std::unique_lock<std::mutex> lock{connection().mutex};
    Display* display = connection().display();
    Session() {
        connection().drainEvents();
        if (connectionBroken) {
            connection().close();
            display = nullptr;
        }
    }
    // True when the calls since the last check went through.
    bool healthy() {
        if (connectionBroken) {
            connection().close();
            display = nullptr;
            return false;
        }
        return true;
    }
};

// A window property of 32-bit items (delivered by Xlib as longs).
std::vector<unsigned long> readLongProperty(Display* display, Window window, Atom property,
                                            Atom type) {
    std::vector<unsigned long> values;
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    lastXError = 0;
    if (xlib().XGetWindowProperty(display, window, property, 0, 1L << 20, False, type, &actualType,
                                  &actualFormat, &count, &remaining, &data) == Success &&
        data && actualType == type && actualFormat == 32) {
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        values.assign(items, items + count);
    }
    if (data) xlib().XFree(data);
    return values;
}

// Cuts UTF-8 text after `maxUnits` - 1 UTF-16 units, so the bound is the one a wide-text
// buffer of `maxUnits` characters gives.
std::string cutToUnits(std::string text, std::size_t maxUnits) {
    if (maxUnits == 0) return {};
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80    ? 1
                                   : lead >= 0xF0 ? 4
                                   : lead >= 0xE0 ? 3
                                   : lead >= 0xC0 ? 2
                                                  : 1;
        const std::size_t needed = length == 4 ? 2 : 1;
        if (units + needed > maxUnits - 1) return text.substr(0, i);
        units += needed;
        i += length;
    }
    return text;
}

std::bitset<256> readPressed(Display* display) {
    std::bitset<256> pressed;
    char keys[32] = {};
    xlib().XQueryKeymap(display, keys);
    const auto& keycodeKeys = connection().keycodeKeys();
    for (std::size_t code = 0; code < 256; ++code)
        if (static_cast<unsigned char>(keys[code / 8]) & (1u << (code % 8)))
            pressed |= keycodeKeys[code];
    Window rootReturn = 0, childReturn = 0;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned int mask = 0;
    if (xlib().XQueryPointer(display, connection().root(), &rootReturn, &childReturn, &rootX,
                             &rootY, &x, &y, &mask)) {
        // The core protocol reports buttons 1 to 5 only; the extra buttons (8, 9) stay up.
        pressed.set(0x01, (mask & Button1Mask) != 0);
        pressed.set(0x02, (mask & Button3Mask) != 0);
        pressed.set(0x04, (mask & Button2Mask) != 0);
    }
    return pressed;
}

bool supportsAbove(Display* display) {
    const std::vector<unsigned long> atoms =
        readLongProperty(display, connection().root(), connection().supported(), XA_ATOM);
    return std::find(atoms.begin(), atoms.end(), connection().stateAbove()) != atoms.end();
}

}  // namespace

bool desktopAvailable() {
    Session session;
    return session.display != nullptr;
}

bool isKeyDown(int virtualKey) {
    if (virtualKey < 1 || virtualKey > 255) return false;
    return pressedVirtualKeys().test(static_cast<std::size_t>(virtualKey));
}

std::bitset<256> pressedVirtualKeys() {
    Session session;
    if (!session.display) return {};
    std::bitset<256> pressed = readPressed(session.display);
    return session.healthy() ? pressed : std::bitset<256>{};
}

std::vector<DesktopWindow> listTopLevelWindows() {
    Session session;
    if (!session.display) return {};
    Display* display = session.display;
    std::vector<DesktopWindow> windows;
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    const bool managed =
        xlib().XGetWindowProperty(display, connection().root(), connection().clientList(), 0,
                                  1L << 20, False, XA_WINDOW, &actualType, &actualFormat, &count,
                                  &remaining, &data) == Success &&
        actualType == XA_WINDOW;
    if (managed && data && actualFormat == 32) {
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        windows.assign(items, items + count);
    }
    if (data) xlib().XFree(data);
    if (!managed) {
        // No window manager keeps a client list: the windows the user can see are the
        // mapped children of the root that asked to be managed.
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned int childCount = 0;
        if (xlib().XQueryTree(display, connection().root(), &rootReturn, &parent, &children,
                              &childCount)) {
            for (unsigned int i = 0; i < childCount; ++i) {
                XWindowAttributes attributes{};
                if (xlib().XGetWindowAttributes(display, children[i], &attributes) &&
                    attributes.map_state == IsViewable && !attributes.override_redirect)
                    windows.push_back(children[i]);
            }
            if (children) xlib().XFree(children);
        }
    }
    return session.healthy() ? windows : std::vector<DesktopWindow>{};
}

uint32_t windowProcessId(DesktopWindow window) {
    Session session;
    if (!session.display || window == 0) return 0;
    const std::vector<unsigned long> pid =
        readLongProperty(session.display, window, connection().wmPid(), XA_CARDINAL);
    if (!session.healthy() || pid.empty()) return 0;
    return static_cast<uint32_t>(pid.front());
}

std::string windowTitle(DesktopWindow window, std::size_t maxCharacters) {
    Session session;
    if (!session.display || window == 0) return {};
    Display* display = session.display;
    std::string title;
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    if (xlib().XGetWindowProperty(display, window, connection().wmName(), 0, 1L << 16, False,
                                  connection().utf8String(), &actualType, &actualFormat, &count,
                                  &remaining, &data) == Success &&
        data && actualType == connection().utf8String() && actualFormat == 8) {
        title.assign(reinterpret_cast<const char*>(data), count);
    } else {
        // Older clients name their window only in the legacy property, in their own encoding.
        XTextProperty property{};
        if (xlib().XGetWMName(display, window, &property) && property.value) {
            char** list = nullptr;
            int listCount = 0;
            if (xlib().Xutf8TextPropertyToTextList(display, &property, &list, &listCount) >=
                    Success &&
                list) {
                if (listCount > 0 && list[0]) title = list[0];
                xlib().XFreeStringList(list);
            }
            xlib().XFree(property.value);
        }
    }
    if (data) xlib().XFree(data);
    if (!session.healthy()) return {};
    // A title may hold a NUL; the window's name ends there.
    if (const std::size_t nul = title.find('\0'); nul != std::string::npos) title.resize(nul);
    return cutToUnits(std::move(title), maxCharacters);
}

bool setWindowTopmost(DesktopWindow window) {
    Session session;
    if (!session.display || window == 0) return false;
    Display* display = session.display;
    bool sent = false;
    if (supportsAbove(display)) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = connection().wmState();
        event.xclient.format = 32;
        event.xclient.data.l[0] = 1;  // add
        event.xclient.data.l[1] = static_cast<long>(connection().stateAbove());
        event.xclient.data.l[2] = 0;
        event.xclient.data.l[3] = 1;  // from an application
        sent = xlib().XSendEvent(display, connection().root(), False,
                                 SubstructureRedirectMask | SubstructureNotifyMask, &event) != 0;
    } else {
        // Nobody manages the stacking: raise it ourselves and record the state it now has.
        lastXError = 0;
        xlib().XRaiseWindow(display, window);
        std::vector<unsigned long> state =
            readLongProperty(display, window, connection().wmState(), XA_ATOM);
        if (std::find(state.begin(), state.end(), connection().stateAbove()) == state.end()) {
            const unsigned long above = connection().stateAbove();
            xlib().XChangeProperty(display, window, connection().wmState(), XA_ATOM, 32,
                                   PropModeAppend, reinterpret_cast<const unsigned char*>(&above),
                                   1);
        }
        xlib().XSync(display, False);
        sent = lastXError == 0;
    }
    xlib().XFlush(display);
    return session.healthy() && sent;
}

bool isWindowTopmost(DesktopWindow window) {
    Session session;
    if (!session.display || window == 0) return false;
    const std::vector<unsigned long> state =
        readLongProperty(session.display, window, connection().wmState(), XA_ATOM);
    if (!session.healthy()) return false;
    return std::find(state.begin(), state.end(), connection().stateAbove()) != state.end();
}

void resetDesktopForTests() {
    std::lock_guard<std::mutex> lock(connection().mutex);
    connection().forget();
}
