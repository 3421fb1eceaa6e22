// A login manager on a private bus for tests: a bus daemon of its own, the login manager
// template of python3-dbusmock on it, and one session of the current user. Programs see
// it through environment(): the bus address as the system bus, and the session id.
#pragma once

#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "helpers/ChildProcess.h"

namespace testing_support {

class LogindMock {
public:
    explicit LogindMock(std::string sessionId = "t" + std::to_string(::getpid()))
        : session_(std::move(sessionId)) {
        daemon_ = std::make_unique<ChildProcess>(
            "/usr/bin/dbus-daemon",
            std::vector<std::string>{"--session", "--print-address=1", "--nofork", "--nopidfile"});
        waitUntil([this] { return daemon_->output().find('\n') != std::string::npos; },
                  std::chrono::seconds(10));
        address_ = daemon_->output().substr(0, daemon_->output().find('\n'));
        mock_ = std::make_unique<ChildProcess>(
            "/usr/bin/python3",
            std::vector<std::string>{"-m", "dbusmock", "--system", "--template", "logind"},
            std::map<std::string, std::string>{{"DBUS_SYSTEM_BUS_ADDRESS", address_}});
        ready_ = waitUntil(
            [this] {
                return call("/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "AddSession",
                            "'" + session_ + "', 'seat0', dbus.UInt32(" +
                                std::to_string(::getuid()) + "), 'tester', True");
            },
            std::chrono::seconds(15));
    }
    LogindMock(const LogindMock&) = delete;
    LogindMock& operator=(const LogindMock&) = delete;

    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }
    std::string sessionPath() const { return "/org/freedesktop/login1/session/" + session_; }
    std::map<std::string, std::string> environment() const {
        return {{"DBUS_SYSTEM_BUS_ADDRESS", address_}, {"XDG_SESSION_ID", session_}};
    }

    bool lock() { return call(sessionPath(), "org.freedesktop.login1.Session", "Lock", ""); }
    bool unlock() { return call(sessionPath(), "org.freedesktop.login1.Session", "Unlock", ""); }
    bool setActive(bool active) {
        return call(sessionPath(), "org.freedesktop.DBus.Mock", "UpdateProperties",
                    std::string("'org.freedesktop.login1.Session', {'Active': ") +
                        (active ? "True" : "False") + "}");
    }

private:
    // One method call on the mock, through the bus bindings that come with python3-dbusmock.
    bool call(const std::string& path, const std::string& interface, const std::string& method,
              const std::string& arguments) const {
        std::string script = "import dbus; bus = dbus.bus.BusConnection('" + address_ +
                             "'); obj = bus.get_object('org.freedesktop.login1', '" + path +
                             "'); obj." + method + "(" + arguments +
                             (arguments.empty() ? "" : ", ") + "dbus_interface='" + interface +
                             "')";
        std::string command = "/usr/bin/python3 -c \"" + script + "\" >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }

    std::string session_;
    std::string address_;
    bool ready_ = false;
    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ChildProcess> mock_;
};

}  // namespace testing_support
