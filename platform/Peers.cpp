#include "platform/Peers.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace {

// Only a client that is still connected counts: a closing socket's row (TIME_WAIT) has
// lost its owner and reads as root.
constexpr unsigned tcpEstablished = 1;
constexpr unsigned tcpListen = 10;

// The kernel's socket diagnostics answer for exactly one socket, found by its four
// addresses in the connection hash: constant time, where every read of /proc/net/tcp walks
// the whole hash table (milliseconds, more than a TLS handshake); a listener is found with
// an empty remote end. Only a socket in `state` counts. Nothing when netlink cannot answer
// at all; an empty owner when it answered that there is no such socket.
std::optional<std::optional<uint32_t>> askSocketDiagnostics(int family, const SocketEndpoint& local,
                                                            const SocketEndpoint& remote,
                                                            unsigned state) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = static_cast<uint8_t>(family);
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = 1u << state;
    query.request.id.idiag_sport = htons(local.port);
    query.request.id.idiag_dport = htons(remote.port);
    const std::size_t addressBytes = family == AF_INET6 ? 16 : 4;
    std::memcpy(query.request.id.idiag_src, local.address.data(), addressBytes);
    std::memcpy(query.request.id.idiag_dst, remote.address.data(), addressBytes);
    query.request.id.idiag_cookie[0] = query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<std::optional<uint32_t>> answer;
    if (sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof query)) {
        alignas(nlmsghdr) char reply[1024];
        ssize_t got;
        do got = recv(fd, reply, sizeof reply, 0);
        while (got < 0 && errno == EINTR);
        const auto* message = reinterpret_cast<const nlmsghdr*>(reply);
        if (got >= static_cast<ssize_t>(sizeof(nlmsghdr)) &&
            NLMSG_OK(message, static_cast<unsigned>(got))) {
            if (message->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                message->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
                answer =
                    found->idiag_state == state ? std::optional(found->idiag_uid) : std::nullopt;
            } else if (message->nlmsg_type == NLMSG_ERROR &&
                       message->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) &&
                       static_cast<const nlmsgerr*>(NLMSG_DATA(message))->error == -ENOENT) {
                answer = std::optional<uint32_t>();
            }
        }
    }
    close(fd);
    return answer;
}

}  // namespace

std::optional<SocketEndpoint> socketEndpoint(const sockaddr* address, socklen_t length) {
    if (!address) return std::nullopt;
    SocketEndpoint endpoint;
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        std::memcpy(endpoint.address.data(), &v4->sin_addr, 4);
        endpoint.port = ntohs(v4->sin_port);
        return endpoint;
    }
    if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        std::memcpy(endpoint.address.data(), &v6->sin6_addr, 16);
        endpoint.port = ntohs(v6->sin6_port);
        return endpoint;
    }
    return std::nullopt;
}

std::optional<uint32_t> socketTablePeerOwner(std::string_view table, bool ipv6,
                                             const SocketEndpoint& peer,
                                             const SocketEndpoint& listener) {
    std::optional<uint32_t> owner;
    findSocketRow(table, ipv6, [&](const SocketRow& row) {
        if (row.state != tcpEstablished || row.local != peer || row.remote != listener)
            return false;
        owner = row.owner;
        return true;
    });
    return owner;
}

std::optional<uint32_t> loopbackPeerOwner(const sockaddr* peer, socklen_t peerLength,
                                          const sockaddr* listener, socklen_t listenerLength) {
    auto client = socketEndpoint(peer, peerLength);
    auto server = socketEndpoint(listener, listenerLength);
    if (!client || !server || peer->sa_family != listener->sa_family) return std::nullopt;
    if (auto answer = askSocketDiagnostics(peer->sa_family, *client, *server, tcpEstablished))
        return *answer;
    const bool ipv6 = peer->sa_family == AF_INET6;
    return socketTablePeerOwner(readSocketTable(ipv6), ipv6, *client, *server);
}

std::optional<uint32_t> loopbackPortHolder(uint16_t port, bool ipv6) {
    SocketEndpoint local{{}, port};
    if (ipv6)
        local.address[15] = 1;
    else
        local.address = {127, 0, 0, 1};
    if (auto answer = askSocketDiagnostics(ipv6 ? AF_INET6 : AF_INET, local, {}, tcpListen))
        return *answer;
    std::optional<uint32_t> owner;
    findSocketRow(readSocketTable(ipv6), ipv6, [&](const SocketRow& row) {
        if (row.state != tcpListen || row.local != local) return false;
        owner = row.owner;
        return true;
    });
    return owner;
}
