// The listeners under abuse, over real sockets to the running service: floods of idle and
// dribbling connections, silent connections, another local user, SHA-1 signatures.
#include <gmock/gmock.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Tessaroll/Listener.h"
#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

namespace {

class ConnectionsTest : public ServiceTest {};

// A plain TCP connection to 127.0.0.1:port (or [::1]:port), blocking until connected; -1
// on failure.
int connectTcp(uint16_t port, bool ipv6 = false) {
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (ipv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(port);
        address->sin6_addr = in6addr_loopback;
        length = sizeof(sockaddr_in6);
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(port);
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(sockaddr_in);
    }
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// True when the service closes `fd`'s connection (end of stream or reset) within the wait;
// whatever it sends first (a TLS alert) is read and dropped.
bool closedByPeer(int fd, int waitMilliseconds = 0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMilliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, std::max<int>(0, static_cast<int>(left.count()))) <= 0) return false;
        char bytes[512];
        if (recv(fd, bytes, sizeof bytes, MSG_DONTWAIT) <= 0) return true;
    }
}

std::size_t openDescriptors(pid_t pid) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++count;
    return count;
}

// gnutls-cli handshakes and ends at the end of its input: exit code 0 only when the
// handshake succeeded.
std::optional<int> handshakeWithGnutlsCli(std::vector<std::string> prefix,
                                          const std::string& priority, const std::string& address,
                                          uint16_t port) {
    std::vector<std::string> arguments(prefix.begin() + 1, prefix.end());
    arguments.insert(arguments.end(),
                     {"--insecure", "--priority", priority, "-p", std::to_string(port), address});
    ChildProcess client(prefix.front(), arguments);
    return client.wait(20s);
}

TEST_F(ConnectionsTest, ThousandsOfIdleOrDribblingConnectionsNeverKeepTheNextPageOut) {
    struct Flood {
        const char* what;
        std::string sent;  // written once after connecting
        bool spread;       // over the six listeners, each below its cap
    };
    const Flood floods[] = {
        {"idle TCP on one listener", "", false},
        {"a TLS record header and nothing more on one listener",
         std::string("\x16\x03\x01\x02\x00", 5), false},
        {"idle TCP over six listeners, beyond FD_SETSIZE in all", "", true},
    };
    constexpr int floodSize = 2000;
    for (const auto& flood : floods) {
        std::vector<int> sockets;
        for (int i = 0; i < floodSize; ++i) {
            const int fd = flood.spread ? connectTcp(servicePorts[i % 3], i % 2 == 1)
                                        : connectTcp(servicePorts[0]);
            ASSERT_GE(fd, 0) << flood.what << ": connection " << i;
            if (!flood.sent.empty()) {
                ASSERT_EQ(send(fd, flood.sent.data(), flood.sent.size(), MSG_NOSIGNAL),
                          ssize_t(flood.sent.size()));
            }
            sockets.push_back(fd);
        }

        HttpsClient page(clientOptions(servicePorts[0]));
        const auto start = std::chrono::steady_clock::now();
        auto answer = call(page, echoRequest());
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_TRUE(answer) << flood.what << ": " << page.lastError();
        EXPECT_EQ((*answer)["result"], "0") << flood.what;
        EXPECT_LT(took, 1s) << flood.what;

        int closed = 0;
        for (int fd : sockets) closed += closedByPeer(fd) ? 1 : 0;
        if (flood.spread) {
            EXPECT_EQ(closed, 0) << flood.what << ": connections below the cap are kept";
        } else {
            // The cap held: the oldest of the flood were closed to make room, the
            // service's descriptors stayed bounded.
            EXPECT_LE(openDescriptors(service->process().pid()), listenerConnectionCap + 64 + 256)
                << flood.what;
            EXPECT_GE(closed, floodSize - int(listenerConnectionCap) - 64) << flood.what;
            EXPECT_TRUE(closedByPeer(sockets.front()))
                << flood.what << ": the oldest is closed first";
        }
        for (int fd : sockets) close(fd);
    }
    EXPECT_THAT(service->log(),
                HasSubstr("Connection limit reached: Close the longest idle connection"));
    EXPECT_THAT(service->log(), Not(HasSubstr("FD_SETSIZE")));
}

// A page uploading a large request at a steady pace while a flood of idle connections
// passes the cap: the flood's connections are closed, never the upload, which gets its
// answer.
TEST_F(ConnectionsTest, FloodPastTheCapNeverCutsOffARequestStillArriving) {
    HttpsClientOptions options = clientOptions(servicePorts[0]);
    options.sendSlice = 64 * 1024;
    options.sendPause = 25ms;  // 4 MB in about 1.6 s
    options.timeoutSeconds = 60;
    HttpsClient page(options);
    const std::string session = openSession(page);
    ASSERT_FALSE(session.empty());
    const std::string text(3 * 1024 * 1024, 'u');  // about 4 MB once encoded

    std::future<std::optional<std::map<std::string, std::string>>> upload =
        std::async(std::launch::async, [&] {
            return call(page,
                        sessionRequest(session, "TestAdapter_Echo", R"("text": ")" + text + "\""));
        });
    // Once its request is on its way (a page's headers come at once).
    const std::size_t sentBefore = page.sentBytes();
    ASSERT_TRUE(waitUntil([&] { return page.sentBytes() > sentBefore; }));
    constexpr int floodSize = 1500;
    constexpr int floodBound = 6000;
    std::vector<int> sockets;
    // The flood goes on as long as the upload does, and past the cap in any case.
    while ((sockets.size() < floodSize || upload.wait_for(0s) != std::future_status::ready) &&
           sockets.size() < floodBound) {
        const int fd = connectTcp(servicePorts[0]);
        ASSERT_GE(fd, 0) << "connection " << sockets.size();
        sockets.push_back(fd);
    }
    auto answer = upload.get();
    ASSERT_TRUE(answer) << page.lastError();
    EXPECT_EQ((*answer)["result"], text);
    EXPECT_THAT(service->log(),
                HasSubstr("Connection limit reached: Close the longest idle connection"));
    EXPECT_TRUE(closedByPeer(sockets.front())) << "the longest idle is closed first";
    for (int fd : sockets) close(fd);
}

TEST_F(ConnectionsTest, SilentConnectionIsClosedAfterTheAdvertisedKeepAlive) {
    const int fd = connectTcp(servicePorts[1]);
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(closedByPeer(fd, static_cast<int>(idleConnectionSeconds - 2) * 1000))
        << "closed too early";
    ASSERT_TRUE(service->process().running()) << "the service ended under the test";
    EXPECT_TRUE(closedByPeer(fd, 10000)) << "still open long after the keep-alive";
    const auto idle = std::chrono::steady_clock::now() - start;
    EXPECT_GE(idle, std::chrono::seconds(idleConnectionSeconds - 1));
    close(fd);
}

TEST_F(ConnectionsTest, OnlyTheServiceUsersConnectionsAreAccepted) {
    const std::string normal = "NORMAL";
    for (const char* address : {"127.0.0.1", "::1"})
        EXPECT_EQ(handshakeWithGnutlsCli({"/usr/bin/gnutls-cli"}, normal, address, servicePorts[2]),
                  0)
            << address;
    if (geteuid() != 0)
        GTEST_SKIP() << "another user's connection needs root to run a client as that user";
    const passwd* other = getpwnam("nobody");
    ASSERT_TRUE(other) << "no user 'nobody' to connect as";
    const std::vector<std::string> asOther = {
        "/usr/bin/setpriv", "--reuid=" + std::to_string(other->pw_uid),
        "--regid=" + std::to_string(other->pw_gid), "--clear-groups", "/usr/bin/gnutls-cli"};
    for (const char* address : {"127.0.0.1", "::1"}) {
        auto code = handshakeWithGnutlsCli(asOther, normal, address, servicePorts[2]);
        ASSERT_TRUE(code) << address;
        EXPECT_NE(*code, 0) << address << ": another user got through";
    }
    EXPECT_TRUE(service->waitForLog("Illegal connection user: " + std::to_string(other->pw_uid)));
    // The service goes on serving its own user.
    HttpsClient page(clientOptions(servicePorts[2], "::1"));
    EXPECT_FALSE(openSession(page).empty());
}

TEST_F(ConnectionsTest, Tls12NegotiatesNoSha1Signature) {
    struct Case {
        const char* priority;
        bool handshakes;
    };
    const Case cases[] = {
        {"NORMAL:-VERS-ALL:+VERS-TLS1.2:-SIGN-ALL:+SIGN-RSA-SHA1:+SIGN-ECDSA-SHA1", false},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.2:-SIGN-ALL:+SIGN-RSA-SHA256:+SIGN-ECDSA-SHA256:+SIGN-RSA-"
         "PSS-RSAE-SHA256",
         true},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.2:-MAC-ALL:+SHA1", false},
    };
    for (const auto& c : cases) {
        auto code = handshakeWithGnutlsCli({"/usr/bin/gnutls-cli"}, c.priority, "127.0.0.1",
                                           servicePorts[0]);
        ASSERT_TRUE(code) << c.priority;
        EXPECT_EQ(*code == 0, c.handshakes) << c.priority;
    }
}

TEST_F(ConnectionsTest, LibraryMessagesAreLoggedWithoutEmptyLines) {
    // Plain HTTP on the TLS port: the library reports the broken handshake.
    const int fd = connectTcp(servicePorts[0]);
    ASSERT_GE(fd, 0);
    const std::string plain = "GET / HTTP/1.1\r\nHost: localhost:56482\r\n\r\n";
    send(fd, plain.data(), plain.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(closedByPeer(fd, 5000));
    close(fd);
    ASSERT_TRUE(service->waitForLog("handshake")) << "the library reported nothing";
    HttpsClient page(clientOptions());
    EXPECT_FALSE(openSession(page).empty());
    EXPECT_THAT(service->log(), Not(HasSubstr("\n\n")));
}

}  // namespace
