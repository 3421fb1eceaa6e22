// Changes of the user's login session as the system's login manager reports them over the
// system bus (locked, unlocked, switched away, back), given as the codes the receivers
// of instructions act on. The bus is the one DBUS_SYSTEM_BUS_ADDRESS names, else the
// system's own.
#pragma once

#include <functional>
#include <memory>
#include <string>

enum SessionChangeCode : int {
    kSessionConsoleConnect = 1,
    kSessionConsoleDisconnect = 2,
    kSessionRemoteConnect = 3,
    kSessionRemoteDisconnect = 4,
    kSessionLock = 7,
    kSessionUnlock = 8,
};

class SessionNotifier {
public:
    // Subscribes to the changes of the session this process runs in (XDG_SESSION_ID, else
    // the session of the process). Nothing when there is no bus or no session; `whyNot`
    // then says what was missing.
    static std::unique_ptr<SessionNotifier> open(std::string* whyNot = nullptr);
    ~SessionNotifier();
    SessionNotifier(const SessionNotifier&) = delete;
    SessionNotifier& operator=(const SessionNotifier&) = delete;

    // Bus connection, for poll (POLLIN is enough: outgoing traffic is flushed at once).
    int fd() const;
    const std::string& sessionPath() const { return path_; }
    // Reads what the bus has delivered and reports every change in order of arrival.
    // False when the bus connection has gone.
    bool process(const std::function<void(int code)>& onChange);

    struct Impl;

private:
    SessionNotifier() = default;
    std::unique_ptr<Impl> impl_;
    std::string path_;
};
