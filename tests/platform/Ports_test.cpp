#include "platform/Ports.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Lines as the kernel writes them; 127.0.0.1 reads "0100007F" on this little-endian host.
constexpr std::string_view kTable4 =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n"
    "   0: 0100007F:DCA2 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 1 "
    "1\n"  // 56482 LISTEN
    "   1: 0100007F:1610 0100007F:DCA3 06 00000000:00000000 00:00000000 00000000  1000        0 2 "
    "1\n"  // 5648, TIME_WAIT to 56483
    "   2: 0100007F:9C40 0100007F:DD06 01 00000000:00000000 00:00000000 00000000  1000        0 3 "
    "1\n"  // 40000 -> 56582 ESTABLISHED
    "   3: 00000000:DD6A 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 4 "
    "1\n"  // 0.0.0.0:56682
    "   4: 0101007F:DD6B 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 5 "
    "1\n";  // 127.0.1.1:56683

constexpr std::string_view kTable6 =
    "  sl  local_address                         remote_address                        st tx_queue "
    "rx_queue\n"
    "   0: 00000000000000000000000001000000:DCA2 00000000000000000000000000000000:0000 0A "
    "00000000:00000000\n"
    "   1: 0000000000000000FFFF00000100007F:DD06 00000000000000000000000000000000:0000 0A "
    "00000000:00000000\n";

TEST(Ports, SocketTableMatchesAddressPortAndState) {
    struct Case {
        std::string_view table;
        uint16_t port;
        bool ipv6;
        bool inUse;
        const char* why;
    } cases[] = {
        {kTable4, 56482, false, true, "listening on loopback"},
        {kTable4, 5648, false, false, "only in TIME_WAIT"},
        {kTable4, 56483, false, false, "foreign end of a TIME_WAIT line"},
        {kTable4, 56582, false, true, "foreign end of an established connection"},
        {kTable4, 40000, false, true, "local end of an established connection"},
        {kTable4, 56682, false, false, "listening on every address, not on loopback"},
        {kTable4, 56683, false, false, "another address of the loopback net"},
        {kTable4, 56482, true, false, "a v4 line is no [::1] match"},
        {kTable6, 56482, true, true, "[::1] listening"},
        {kTable6, 56582, true, false, "a v4-mapped address is not [::1]"},
        {kTable6, 56482, false, false, "a v6 line is no 127.0.0.1 match"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(socketTableHasLoopbackPort(c.table, c.port, c.ipv6), c.inUse)
            << c.port << ": " << c.why;
    EXPECT_FALSE(socketTableHasLoopbackPort("", 56482, false));
    EXPECT_FALSE(socketTableHasLoopbackPort("title\n   0: garbage\n", 56482, false));
}

// A socket bound to the loopback address of the family, listening or not.
struct LoopbackSocket {
    int fd = -1;
    uint16_t port = 0;
    LoopbackSocket(bool ipv6, bool listening) {
        fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        sockaddr_storage storage{};
        socklen_t length;
        if (ipv6) {
            auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
            address->sin6_family = AF_INET6;
            address->sin6_addr = in6addr_loopback;
            length = sizeof(sockaddr_in6);
        } else {
            auto* address = reinterpret_cast<sockaddr_in*>(&storage);
            address->sin_family = AF_INET;
            address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof(sockaddr_in);
        }
        if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
            (listening && listen(fd, 1) != 0)) {
            close(fd);
            fd = -1;
            return;
        }
        getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
        port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    }
    ~LoopbackSocket() {
        if (fd >= 0) close(fd);
    }
};

TEST(Ports, RealListenersAreSeenAndGoneWhenClosed) {
    for (bool ipv6 : {false, true}) {
        uint16_t port;
        {
            LoopbackSocket listener(ipv6, true);
            if (listener.fd < 0) {
                ASSERT_TRUE(ipv6) << "no IPv4 loopback";
                GTEST_SKIP() << "no IPv6 loopback here";
            }
            port = listener.port;
            EXPECT_TRUE(isLoopbackPortInUse(port, ipv6)) << "ipv6=" << ipv6;
            EXPECT_FALSE(isLoopbackPortInUse(port, !ipv6)) << "ipv6=" << ipv6;
        }
        EXPECT_FALSE(isLoopbackPortInUse(port, ipv6)) << "ipv6=" << ipv6;
        LoopbackSocket boundOnly(ipv6, false);  // bound but not listening: state CLOSE
        EXPECT_FALSE(isLoopbackPortInUse(boundOnly.port, ipv6)) << "ipv6=" << ipv6;
    }
}

}  // namespace
