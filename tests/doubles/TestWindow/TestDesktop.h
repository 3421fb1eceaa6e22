// A private X desktop for one test suite: Xvfb on a free display number, optionally with
// openbox managing it, DISPLAY pointing at it while it lives. Both programs are ended
// (and their lock files left to Xvfb to remove) when the object goes.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <system_error>

#include "helpers/ChildProcess.h"

namespace testing_support {

// The test window program: opens one window with the given title, states its own process
// id on it, prints the window id and waits to be ended.
inline const char* const kTestWindowProgram =
    TESSAROLL_BINARY_DIR "/tests/doubles/TestWindow/tessaroll_test_window";

class TestDesktop {
public:
    explicit TestDesktop(bool withWindowManager) {
        const char* old = std::getenv("DISPLAY");
        if (old) savedDisplay_ = old;
        if (!std::filesystem::exists("/usr/bin/Xvfb")) return;
        std::random_device random;
        for (int attempt = 0; attempt < 8 && !xvfb_; ++attempt) {
            const int number = 300 + static_cast<int>(random() % 600);
            if (std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock") ||
                std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)))
                continue;
            const std::string name = ":" + std::to_string(number);
            auto xvfb = std::make_unique<ChildProcess>(
                "/usr/bin/Xvfb", std::vector<std::string>{name, "-noreset", "-nolisten", "tcp",
                                                          "-screen", "0", "800x600x24"});
            const bool up = waitUntil([&] { return !xvfb->running() || canOpen(name); },
                                      std::chrono::seconds(10)) &&
                            xvfb->running();
            if (!up) continue;
            xvfb_ = std::move(xvfb);
            display_ = name;
        }
        if (!xvfb_) return;
        setenv("DISPLAY", display_.c_str(), 1);
        if (withWindowManager) {
            if (!std::filesystem::exists("/usr/bin/openbox")) {
                stop();
                return;
            }
            // Its own home, so that the session files and log it keeps stay out of the user's.
            std::string home =
                (std::filesystem::temp_directory_path() / "tessaroll-wm-XXXXXX").string();
            if (!mkdtemp(home.data())) {
                stop();
                return;
            }
            windowManagerHome_ = home;
            windowManager_ = std::make_unique<ChildProcess>(
                "/usr/bin/openbox", std::vector<std::string>{},
                std::map<std::string, std::string>{{"DISPLAY", display_},
                                                   {"HOME", home},
                                                   {"XDG_CONFIG_HOME", home + "/.config"},
                                                   {"XDG_CACHE_HOME", home + "/.cache"},
                                                   {"XDG_DATA_HOME", home + "/.local/share"},
                                                   {"XDG_STATE_HOME", home + "/.local/state"}});
            if (!waitUntil([&] { return managed(); }, std::chrono::seconds(10))) stop();
        }
    }
    ~TestDesktop() { stop(); }
    TestDesktop(const TestDesktop&) = delete;
    TestDesktop& operator=(const TestDesktop&) = delete;

    bool ready() const { return xvfb_ != nullptr; }
    const std::string& display() const { return display_; }
    ChildProcess* server() { return xvfb_.get(); }

    // Ends the programs; DISPLAY goes back to what it was.
    void stop() {
        for (auto* child : {windowManager_.get(), xvfb_.get()}) {
            if (!child) continue;
            child->signal(SIGTERM);
            if (!child->wait(std::chrono::seconds(5))) child->kill();
        }
        windowManager_.reset();
        xvfb_.reset();
        if (!windowManagerHome_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(windowManagerHome_, ignored);
            windowManagerHome_.clear();
        }
        if (savedDisplay_)
            setenv("DISPLAY", savedDisplay_->c_str(), 1);
        else
            unsetenv("DISPLAY");
    }

private:
    static bool canOpen(const std::string& name) {
        Display* display = XOpenDisplay(name.c_str());
        if (!display) return false;
        XCloseDisplay(display);
        return true;
    }
    // The window manager is at work once a window mapped now shows up in its client list
    // (it announces itself on the root before it has finished starting).
    bool managed() const {
        Display* display = XOpenDisplay(display_.c_str());
        if (!display) return false;
        const Window probe =
            XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
        XMapWindow(display, probe);
        XSync(display, False);
        const Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", False);
        bool listed = false;
        for (int i = 0; i < 50 && !listed; ++i) {
            Atom type = None;
            int format = 0;
            unsigned long count = 0, remaining = 0;
            unsigned char* data = nullptr;
            XGetWindowProperty(display, DefaultRootWindow(display), clientList, 0, 4096, False,
                               XA_WINDOW, &type, &format, &count, &remaining, &data);
            if (data) {
                const auto* windows = reinterpret_cast<const unsigned long*>(data);
                listed = std::find(windows, windows + count, probe) != windows + count;
                XFree(data);
            }
            if (!listed) usleep(20000);
        }
        XCloseDisplay(display);
        return listed;
    }

    std::optional<std::string> savedDisplay_;
    std::string display_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> windowManager_;
    std::filesystem::path windowManagerHome_;
};

}  // namespace testing_support
