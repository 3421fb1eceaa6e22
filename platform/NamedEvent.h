// Named events shared by the programs of one user: manual reset, set, reset, and a pulse
// that releases exactly the threads waiting at that moment. An event lives while some
// process holds it open; opening one that nobody holds fails, as it does for a creator
// that has gone.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class NamedEvent {
public:
    // Opens the event, creating it (unsignalled) when nobody holds it. Nothing on failure,
    // with errno EACCES when an object of that name is there that is not the user's own
    // (another owner, another mode, a link): it is never used.
    static std::unique_ptr<NamedEvent> create(std::string_view name);
    // Opens the event only when some process holds it already (errno ENOENT otherwise).
    static std::unique_ptr<NamedEvent> open(std::string_view name);
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    bool set();  // signalled until reset; every waiter is released
    bool reset();
    bool pulse();  // releases the threads waiting now and leaves the event unsignalled
    // True when the event was signalled (or pulsed) within `timeout`; no timeout waits
    // without limit.
    bool wait(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

    // Where the event stands: every set and pulse moves it on.
    uint32_t generation() const;
    // How many sets and pulses came since `seen`, which it moves on to the current
    // generation; when none has come yet it waits up to `timeout` for one (0: none came).
    // A waiter that carries `seen` from one wait to the next misses none that falls in
    // between.
    unsigned waitForChange(uint32_t& seen, std::chrono::milliseconds timeout);

    struct Record;

private:
    NamedEvent() = default;
    static std::unique_ptr<NamedEvent> attach(std::string_view name, bool mayCreate);
    int fd_ = -1;
    Record* record_ = nullptr;
};

// File that backs a per-user event (in the folder of the user's objects); empty when the
// user has no such folder.
std::string namedEventPath(std::string_view name);
