// The running main program as the start-up, the request handler and the final release
// share it: its sessions and whether the final release has run.
#pragma once

#include <atomic>
#include <mutex>

#include "TessarollSession/SessionService.h"

class ServiceState {
public:
    explicit ServiceState(SessionService& sessions) : sessions_(sessions) {}
    ServiceState(const ServiceState&) = delete;
    ServiceState& operator=(const ServiceState&) = delete;

    SessionService& sessions() { return sessions_; }

    // Set only by finalRelease; the main thread stops the listeners once it sees it, and
    // no request is evaluated after it.
    bool ending() const { return exitFlag_.load(); }

    // The main program's final function: releases every session oldest first (each after
    // its running call), deletes the adapter copies in the work folder and sets the exit
    // flag. Runs once: a stop signal, the Suicide instruction and a session lock may each
    // ask for it on a thread of their own, and a caller that comes while it runs waits for
    // its end. Any thread.
    void finalRelease();

private:
    SessionService& sessions_;
    std::atomic<bool> exitFlag_{false};
    std::once_flag released_;
};
