#include "Tessaroll/Listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "Tessaroll/RequestHandler.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/RequestPath.h"
#include "TessarollUtil/System.h"
#include "platform/Peers.h"

namespace {

// Room above the cap for connections already told to close but not yet closed by the
// listener thread, so the library's own hard limit (which stops accepting) is never met.
constexpr unsigned int closingHeadroom = 64;
// Descriptors kept for everything but the listeners' connections.
constexpr rlim_t otherDescriptors = 256;

// The per-listener cap the descriptor limit allows; the soft limit is raised as far as the
// hard one lets it, once.
unsigned int connectionCap() {
    static const unsigned int cap = [] {
        constexpr rlim_t listeners = 2 * listenerPortCount;
        constexpr rlim_t wanted =
            listeners * (listenerConnectionCap + closingHeadroom) + otherDescriptors;
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16u;
        if (limit.rlim_cur < wanted) {
            limit.rlim_cur =
                limit.rlim_max == RLIM_INFINITY ? wanted : std::min(limit.rlim_max, wanted);
            setrlimit(RLIMIT_NOFILE, &limit);
            getrlimit(RLIMIT_NOFILE, &limit);
        }
        if (limit.rlim_cur >= wanted) return listenerConnectionCap;
        const rlim_t share =
            limit.rlim_cur > otherDescriptors ? (limit.rlim_cur - otherDescriptors) / listeners : 0;
        return static_cast<unsigned int>(share > closingHeadroom + 16 ? share - closingHeadroom
                                                                      : 16);
    }();
    return cap;
}

// What one listener knows about its connections: its own address for the peer check and
// its open connections with their last activity, for the cap. Lives as long as the process.
class ListenerGuard {
public:
    ListenerGuard(const sockaddr* address, socklen_t length, unsigned int cap)
        : length_(length), cap_(cap) {
        std::memcpy(&address_, address, length);
    }

    MHD_Result admit(const sockaddr* peer, socklen_t length) {
        if (address_.ss_family == AF_INET && acceptLoopbackPeer(nullptr, peer, length) == MHD_NO)
            return MHD_NO;
        const std::optional<uint32_t> owner =
            loopbackPeerOwner(peer, length, reinterpret_cast<const sockaddr*>(&address_), length_);
        if (owner != static_cast<uint32_t>(geteuid())) {
            writeWarningLog("Illegal connection user: ",
                            owner ? std::to_string(*owner) : "unknown");
            return MHD_NO;
        }
        std::lock_guard lock(mutex_);
        if (open_.size() - closing_ >= cap_) closeLongestIdle();
        return MHD_YES;
    }

    void started(MHD_Connection* connection, void** context) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (!info) return;
        std::lock_guard lock(mutex_);
        const uint64_t key = next_++;
        // The map's nodes stay where they are until erased: the context points at its entry.
        *context = &open_.emplace(key, Open{key, info->connect_fd, Clock::now()}).first->second;
    }

    void closed(void** context) {
        auto* open = static_cast<Open*>(*context);
        if (!open) return;
        std::lock_guard lock(mutex_);
        if (open->closing) --closing_;
        open_.erase(open->key);
        *context = nullptr;
    }

    using Clock = std::chrono::steady_clock;
    struct Open {
        uint64_t key;
        int fd;
        // The rest is touched only by the listener's thread, like the connection.
        Clock::time_point lastActive;  // the connection's start or its last request phase
        bool closing = false;
        unsigned int answers = 0;
        RequestPhase phase = RequestPhase::idle;
        Clock::time_point bodyStart{};  // while receiving
        std::size_t bodyBytes = 0;

        void note(RequestPhase next, std::size_t bytes) {
            lastActive = Clock::now();
            if (next == RequestPhase::receiving && phase != RequestPhase::receiving) {
                bodyStart = lastActive;
                bodyBytes = 0;
            }
            phase = next;
            bodyBytes += bytes;
        }
        // Bytes of the body per second so far; high while it has only just begun.
        double bodyPace(Clock::time_point now) const {
            const std::chrono::duration<double> elapsed = now - bodyStart;
            return static_cast<double>(bodyBytes) / std::max(elapsed.count(), 0.001);
        }
    };

private:
    // Runs on the listener thread, which alone closes connections: the descriptor is still
    // the connection's. Shutting it down makes that thread see the end and close it.
    void closeLongestIdle() {
        const Clock::time_point now = Clock::now();
        Open* idlest = nullptr;
        Open* slowest = nullptr;
        for (auto& [key, open] : open_) {
            if (open.closing) continue;
            if (open.phase == RequestPhase::idle) {
                if (!idlest || open.lastActive < idlest->lastActive) idlest = &open;
            } else if (open.phase == RequestPhase::receiving) {
                if (!slowest || open.bodyPace(now) < slowest->bodyPace(now)) slowest = &open;
            }
        }
        Open* closed = idlest ? idlest : slowest;
        if (!closed) return;
        if (closing_ == 0)
            writeWarningLog("Connection limit reached: ", "Close the longest idle connection");
        shutdown(closed->fd, SHUT_RDWR);
        closed->closing = true;
        ++closing_;
    }

    sockaddr_storage address_{};
    socklen_t length_;
    unsigned int cap_;
    std::mutex mutex_;
    std::map<uint64_t, Open> open_;
    uint64_t next_ = 0;
    std::size_t closing_ = 0;
};

std::mutex guardsMutex;
std::deque<ListenerGuard> guards;

MHD_Result admitPeer(void* guard, const sockaddr* peer, socklen_t length) {
    return static_cast<ListenerGuard*>(guard)->admit(peer, length);
}

void noteConnection(void* guard, MHD_Connection* connection, void** context,
                    MHD_ConnectionNotificationCode code) {
    auto* listener = static_cast<ListenerGuard*>(guard);
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
        listener->started(connection, context);
    else
        listener->closed(context);
}

TESSAROLL_REQUEST_PATH ListenerGuard::Open* openConnection(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ListenerGuard::Open*>(info->socket_context) : nullptr;
}

}  // namespace

TESSAROLL_REQUEST_PATH unsigned int countAnswer(MHD_Connection* connection) {
    ListenerGuard::Open* open = openConnection(connection);
    return open ? ++open->answers : 0;
}

TESSAROLL_REQUEST_PATH void noteRequestPhase(MHD_Connection* connection, RequestPhase phase,
                                             std::size_t bodyBytes) {
    if (ListenerGuard::Open* open = openConnection(connection)) open->note(phase, bodyBytes);
}

std::string listenerPriorities() {
    return listenerPriorityText;
}

MHD_Daemon* startListener(unsigned int flags, const sockaddr* address, const char* certificatePem,
                          const char* keyPem, const char* priorities) {
    const bool ipv6 = address->sa_family == AF_INET6;
    if (address->sa_family != AF_INET && !ipv6) {
        writeErrorLogInt("Unknow address family: ", address->sa_family);
        return nullptr;
    }
    const uint16_t port = ntohs(ipv6 ? reinterpret_cast<const sockaddr_in6*>(address)->sin6_port
                                     : reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    const std::string state = "Detect port " + std::to_string(port) + " state: ";
    if (isPortInUse(port, ipv6)) {
        writeNormalLog(state, "In use, try next port");
        // Another user's listener may be waiting for this user's browser there.
        if (auto holder = loopbackPortHolder(port, ipv6); holder && *holder != geteuid())
            writeWarningLog("Detect port " + std::to_string(port) + " held by another user: ",
                            "uid " + std::to_string(*holder));
        return nullptr;
    }
    writeNormalLog(state, "Free");

    const unsigned int cap = connectionCap();
    ListenerGuard* guard = nullptr;
    {
        std::lock_guard lock(guardsMutex);
        guard =
            &guards.emplace_back(address, ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in), cap);
    }
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, port, admitPeer, guard, handleRequest, nullptr, MHD_OPTION_EXTERNAL_LOGGER,
        logDaemonMessage, nullptr, MHD_OPTION_SOCK_ADDR, address, MHD_OPTION_HTTPS_MEM_CERT,
        certificatePem, MHD_OPTION_HTTPS_MEM_KEY, keyPem, MHD_OPTION_HTTPS_PRIORITIES, priorities,
        MHD_OPTION_CONNECTION_TIMEOUT, idleConnectionSeconds, MHD_OPTION_CONNECTION_LIMIT,
        cap + closingHeadroom, MHD_OPTION_NOTIFY_CONNECTION, noteConnection, guard,
        MHD_OPTION_NOTIFY_COMPLETED, requestCompleted, nullptr, MHD_OPTION_END);

    const std::string launch = std::string("ZEFAGPKITessaroll") + " at " +
                               (ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port) +
                               " launch state: ";
    if (daemon)
        writeNormalLog(launch, "Success");
    else
        writeWarningLog(launch, "Fail");
    return daemon;
}

MHD_Result acceptLoopbackPeer(void*, const sockaddr* address, socklen_t length) {
    if (address && address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* peer = reinterpret_cast<const sockaddr_in*>(address);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&peer->sin_addr.s_addr);
        if (bytes[0] == 127 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1) return MHD_YES;
        writeWarningLog("Illegal connection ip: ",
                        std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                            std::to_string(bytes[2]) + "." + std::to_string(bytes[3]));
        return MHD_NO;
    }
    writeWarningLog("Illegal connection ip: ", "");
    return MHD_NO;
}

void logDaemonMessage(void*, const char* format, va_list arguments) {
    if (currentLogLevel() < 5) return;
    char text[1024];
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    if (length < 0) return;
    std::size_t end = std::min(static_cast<std::size_t>(length), sizeof text - 1);
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
    text[end] = '\0';
    logPrint(5, "%s", text);
}
