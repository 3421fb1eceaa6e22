#include "platform/Peers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A loopback listener of the family and one accepted connection to it, the client side
// made by `connectClient` (in this process or another).
struct LoopbackConnection {
    bool ipv6;
    int listener = -1, accepted = -1;
    sockaddr_storage listenerAddress{}, peerAddress{};
    socklen_t listenerLength = 0, peerLength = sizeof(sockaddr_storage);

    explicit LoopbackConnection(bool v6) : ipv6(v6) {
        listener = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (ipv6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&listenerAddress);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            listenerLength = sizeof(sockaddr_in6);
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&listenerAddress);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            listenerLength = sizeof(sockaddr_in);
        }
        bind(listener, reinterpret_cast<sockaddr*>(&listenerAddress), listenerLength);
        getsockname(listener, reinterpret_cast<sockaddr*>(&listenerAddress), &listenerLength);
        listen(listener, 4);
    }
    ~LoopbackConnection() {
        if (accepted >= 0) close(accepted);
        close(listener);
    }
    // A client socket connected to the listener; -1 on failure.
    int connectClient() const {
        const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&listenerAddress), listenerLength) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    bool accept() {
        accepted = ::accept4(listener, reinterpret_cast<sockaddr*>(&peerAddress), &peerLength,
                             SOCK_CLOEXEC);
        return accepted >= 0;
    }
    std::optional<uint32_t> owner() const {
        return loopbackPeerOwner(reinterpret_cast<const sockaddr*>(&peerAddress), peerLength,
                                 reinterpret_cast<const sockaddr*>(&listenerAddress),
                                 listenerLength);
    }
};

TEST(Peers, OwnerOfTheClientSocketOfARealConnection) {
    for (bool ipv6 : {false, true}) {
        LoopbackConnection connection(ipv6);
        const int client = connection.connectClient();
        ASSERT_GE(client, 0) << ipv6;
        ASSERT_TRUE(connection.accept());
        EXPECT_EQ(connection.owner(), geteuid()) << ipv6;

        // The table fallback finds the same row.
        auto peer = socketEndpoint(reinterpret_cast<const sockaddr*>(&connection.peerAddress),
                                   connection.peerLength);
        auto listener =
            socketEndpoint(reinterpret_cast<const sockaddr*>(&connection.listenerAddress),
                           connection.listenerLength);
        ASSERT_TRUE(peer && listener);
        EXPECT_EQ(socketTablePeerOwner(readSocketTable(ipv6), ipv6, *peer, *listener), geteuid())
            << ipv6;
        // The server's own end of the connection is not taken for the client's.
        EXPECT_EQ(socketTablePeerOwner(readSocketTable(ipv6), ipv6, *listener, *listener),
                  std::nullopt);

        // Once the client is gone there is nobody to vouch for.
        close(client);
        close(connection.accepted);
        connection.accepted = -1;
        SocketEndpoint gone = *peer;
        EXPECT_EQ(loopbackPeerOwner(reinterpret_cast<const sockaddr*>(&connection.peerAddress),
                                    connection.peerLength,
                                    reinterpret_cast<const sockaddr*>(&connection.listenerAddress),
                                    connection.listenerLength),
                  std::nullopt);
        EXPECT_EQ(socketTablePeerOwner(readSocketTable(ipv6), ipv6, gone, *listener), std::nullopt);
    }
}

TEST(Peers, AnotherUsersClientIsSeenAsThatUser) {
    if (geteuid() != 0) GTEST_SKIP() << "running a client as another user needs root";
    const passwd* other = getpwnam("nobody");
    ASSERT_TRUE(other) << "no user 'nobody'";
    for (bool ipv6 : {false, true}) {
        LoopbackConnection connection(ipv6);
        int ready[2], looked[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(looked), 0);
        const pid_t child = fork();
        if (child == 0) {
            // Only system calls from here on: the parent has threads.
            if (setgid(other->pw_gid) != 0 || setuid(other->pw_uid) != 0) _exit(2);
            const int fd = connection.connectClient();
            char done = fd >= 0 ? 1 : 0;
            if (write(ready[1], &done, 1) != 1) _exit(3);
            close(looked[1]);
            if (read(looked[0], &done, 1) < 0) _exit(4);  // held until the parent has looked
            _exit(0);
        }
        close(looked[0]);
        char connected = 0;
        ASSERT_EQ(read(ready[0], &connected, 1), 1);
        ASSERT_EQ(connected, 1) << ipv6;
        ASSERT_TRUE(connection.accept());
        EXPECT_EQ(connection.owner(), other->pw_uid) << ipv6;
        close(looked[1]);
        close(ready[1]);
        close(ready[0]);
        waitpid(child, nullptr, 0);
    }
}

TEST(Peers, TableRowsWithoutOwnerOrOfTheOtherDirectionGiveNoOwner) {
    // 127.0.0.1:40000 -> 127.0.0.1:56482 owned by 1000, and the server's row back.
    constexpr std::string_view table =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:DCA2 0100007F:9C40 01 00000000:00000000 00:00000000 00000000     0        "
        "0 1 1\n"
        "   1: 0100007F:9C40 0100007F:DCA2 01 00000000:00000000 00:00000000 00000000  1000        "
        "0 2 1\n"
        "   2: 0100007F:9C41 0100007F:DCA2 01 00000000:00000000\n";
    const SocketEndpoint server{{127, 0, 0, 1}, 56482};
    struct Case {
        SocketEndpoint peer;
        std::optional<uint32_t> owner;
    } cases[] = {
        {{{127, 0, 0, 1}, 40000}, 1000u},
        {{{127, 0, 0, 1}, 40001}, std::nullopt},  // no uid column
        {{{127, 0, 0, 2}, 40000}, std::nullopt},
        {{{127, 0, 0, 1}, 40002}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(socketTablePeerOwner(table, false, c.peer, server), c.owner) << c.peer.port;
}

}  // namespace
