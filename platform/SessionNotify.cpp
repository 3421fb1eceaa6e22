#include "platform/SessionNotify.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/SharedLibrary.h"

namespace {

// libsystemd, loaded only while a notifier lives: without a login session to watch the
// process never maps it.
struct Systemd : LibraryFunctions {
    Systemd() : LibraryFunctions("libsystemd.so.0") {}
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_slot_unref)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_flush_close_unref)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_message_read)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_message_enter_container)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_message_skip)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_message_exit_container)
    TESSAROLL_LIBRARY_FUNCTION(sd_pid_get_session)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_open_system)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_call_method)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_message_unref)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_error_free)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_get_property_trivial)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_match_signal)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_get_fd)
    TESSAROLL_LIBRARY_FUNCTION(sd_bus_process)
};

}  // namespace

struct SessionNotifier::Impl {
    // First, so it is unloaded after the bus is closed.
    std::unique_ptr<Systemd> sd = std::make_unique<Systemd>();
    sd_bus* bus = nullptr;
    sd_bus_slot* slots[3] = {};
    bool remote = false;
    std::vector<int> pending;

    ~Impl() {
        if (!sd->complete()) return;
        for (auto* slot : slots) sd->sd_bus_slot_unref(slot);
        sd->sd_bus_flush_close_unref(bus);
    }
};

namespace {

constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kSessionInterface = "org.freedesktop.login1.Session";

int onLock(sd_bus_message*, void* data, sd_bus_error*) {
    static_cast<SessionNotifier::Impl*>(data)->pending.push_back(kSessionLock);
    return 0;
}

int onUnlock(sd_bus_message*, void* data, sd_bus_error*) {
    static_cast<SessionNotifier::Impl*>(data)->pending.push_back(kSessionUnlock);
    return 0;
}

// PropertiesChanged(s interface, a{sv} changed, as invalidated): only Active matters. An
// active session is the user's console (or remote seat) being there; inactive means the
// user switched away.
int onPropertiesChanged(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* impl = static_cast<SessionNotifier::Impl*>(data);
    const Systemd* sd = impl->sd.get();
    const char* interface = nullptr;
    if (sd->sd_bus_message_read(m, "s", &interface) < 0 || !interface ||
        std::strcmp(interface, kSessionInterface) != 0) {
        return 0;
    }
    if (sd->sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}") < 0) return 0;
    while (sd->sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv") > 0) {
        const char* name = nullptr;
        if (sd->sd_bus_message_read(m, "s", &name) < 0) return 0;
        if (name && std::strcmp(name, "Active") == 0) {
            int active = 0;
            if (sd->sd_bus_message_read(m, "v", "b", &active) < 0) return 0;
            if (impl->remote) {
                impl->pending.push_back(active ? kSessionRemoteConnect : kSessionRemoteDisconnect);
            } else {
                impl->pending.push_back(active ? kSessionConsoleConnect
                                               : kSessionConsoleDisconnect);
            }
        } else if (sd->sd_bus_message_skip(m, "v") < 0) {
            return 0;
        }
        sd->sd_bus_message_exit_container(m);
    }
    return 0;
}

std::string sessionId(const Systemd* sd) {
    if (const char* id = std::getenv("XDG_SESSION_ID"); id && *id) return id;
    char* id = nullptr;
    if (sd->sd_pid_get_session(0, &id) >= 0 && id) {
        std::string result(id);
        std::free(id);
        return result;
    }
    return {};
}

}  // namespace

std::unique_ptr<SessionNotifier> SessionNotifier::open(std::string* whyNot) {
    auto fail = [&](const char* why) {
        if (whyNot) *whyNot = why;
        return std::unique_ptr<SessionNotifier>();
    };
    std::unique_ptr<SessionNotifier> notifier(new SessionNotifier());
    notifier->impl_ = std::make_unique<Impl>();
    Impl& impl = *notifier->impl_;
    const Systemd* sd = impl.sd.get();
    if (!sd->complete() || sd->sd_bus_open_system(&impl.bus) < 0) return fail("no system bus");

    std::string id = sessionId(sd);
    if (id.empty()) return fail("no login session");
    sd_bus_error error{};  // what SD_BUS_ERROR_NULL spells as a C compound literal
    sd_bus_message* reply = nullptr;
    const char* path = nullptr;
    int rc = sd->sd_bus_call_method(impl.bus, kLogin, "/org/freedesktop/login1",
                                    "org.freedesktop.login1.Manager", "GetSession", &error, &reply,
                                    "s", id.c_str());
    if (rc >= 0) rc = sd->sd_bus_message_read(reply, "o", &path);
    if (rc >= 0 && path) notifier->path_ = path;
    sd->sd_bus_message_unref(reply);
    sd->sd_bus_error_free(&error);
    if (notifier->path_.empty()) return fail("login manager does not know the session");

    int remote = 0;
    if (sd->sd_bus_get_property_trivial(impl.bus, kLogin, notifier->path_.c_str(),
                                        kSessionInterface, "Remote", nullptr, 'b', &remote) >= 0) {
        impl.remote = remote != 0;
    }
    const char* p = notifier->path_.c_str();
    if (sd->sd_bus_match_signal(impl.bus, &impl.slots[0], kLogin, p, kSessionInterface, "Lock",
                                onLock, &impl) < 0 ||
        sd->sd_bus_match_signal(impl.bus, &impl.slots[1], kLogin, p, kSessionInterface, "Unlock",
                                onUnlock, &impl) < 0 ||
        sd->sd_bus_match_signal(impl.bus, &impl.slots[2], kLogin, p,
                                "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                onPropertiesChanged, &impl) < 0) {
        return fail("cannot subscribe to session signals");
    }
    return notifier;
}

SessionNotifier::~SessionNotifier() = default;

int SessionNotifier::fd() const {
    return impl_->sd->sd_bus_get_fd(impl_->bus);
}

bool SessionNotifier::process(const std::function<void(int code)>& onChange) {
    int rc;
    while ((rc = impl_->sd->sd_bus_process(impl_->bus, nullptr)) > 0) {}
    std::vector<int> changes;
    changes.swap(impl_->pending);
    for (int code : changes) onChange(code);
    return rc >= 0;
}
