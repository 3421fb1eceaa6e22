#include "TessarollUtil/DebugModeFollower.h"

#include <cerrno>
#include <memory>

#include "TessarollUtil/Log.h"
#include "platform/NamedEvent.h"

DebugModeFollower::DebugModeFollower(Options options) : options_(std::move(options)) {
    thread_ = std::thread([this] { run(); });
}

DebugModeFollower::~DebugModeFollower() {
    stopping_ = true;
    thread_.join();
}

void DebugModeFollower::run() {
    std::unique_ptr<NamedEvent> event;
    uint32_t seen = 0;  // the generation taken last: pulses between two waits still count
    bool looked = false;
    bool refusalLogged = false;
    while (!stopping_) {
        if (!event) {
            errno = 0;
            event = NamedEvent::open(options_.eventName);
            if (!event) {
                const int error = errno;
                if (error == EACCES && !refusalLogged) {
                    writeErrorLog("Debug mode event refused, not the user's own: ",
                                  options_.eventName);
                    refusalLogged = true;
                }
                if (!looked && options_.onFirstMissing) options_.onFirstMissing(error);
                looked = true;
                std::this_thread::sleep_for(options_.reopenPause);
                continue;
            }
            looked = true;
            seen = event->generation();
        }
        unsigned pulses = event->waitForChange(seen, options_.waitSlice);
        if (pulses == 0 && options_.afterIdleSlice) options_.afterIdleSlice();
        for (; pulses > 0 && options_.onPulse; --pulses) options_.onPulse();
    }
}

void followDebugMode(const char* logPrefix, std::function<void(int error)> logMissingEvent) {
    DebugModeFollower::Options options;
    options.onPulse = [logPrefix] {
        if (isLogOn()) {
            disableLog();  // logs "Log state: Disable" first
        } else if (logPrefix) {
            setLog(logPrefix);
        } else {
            setLog();
        }
    };
    options.onFirstMissing = std::move(logMissingEvent);
    // Left running until the process ends, also while static destructors run at exit.
    new DebugModeFollower(std::move(options));
}
