// What another local user can do against this user's service: read nothing of the keys the
// user's browsers trust (made at the user's first start), and hold a service port, which
// the service logs with that user's uid.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>

#include "OtherUser.h"
#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class UserKeysTest : public ServiceTest {
protected:
    void SetUp() override {}
};

TEST_F(UserKeysTest, AFirstStartMakesKeysNoOtherUserReadsAndServesWithTheUsersOwnRoot) {
    REQUIRE_OTHER_USER(other);
    fs::remove_all(sandbox.credentialFolder());
    ServiceOptions options;
    options.adapter = TEST_ADAPTER_PATH;
    service = std::make_unique<Service>(sandbox, options);
    // The first start makes an RSA root: seconds, more on a busy machine.
    ASSERT_TRUE(service->waitListening({servicePorts, servicePorts + 3}, 180s))
        << service->process().errors() << service->log();

    for (bool v6 : {false, true}) {
        HttpsClientOptions trusting = clientOptions(servicePorts[0], v6 ? "::1" : "127.0.0.1");
        trusting.trustFile = (sandbox.credentialFolder() / "ec_root.pem").string();
        HttpsClient client(trusting);
        auto answer = call(client, echoRequest());
        ASSERT_TRUE(answer) << client.lastError();
        EXPECT_EQ((*answer)["result"], "0");
        // The tests' own root, which every sandbox otherwise starts with, vouches for nothing.
        HttpsClient stranger(clientOptions(servicePorts[0], v6 ? "::1" : "127.0.0.1"));
        EXPECT_FALSE(postRequest(stranger, echoRequest(), {{"Origin", pageOrigin}}));
    }

    openTheWayDown("/", sandbox.dataHome());
    EXPECT_EQ(other->openError(sandbox.credentialFolder()), EACCES);
    for (const char* file : {"ec_server.key", "rsa_server.key", "ec_server.pem", "ec_root.pem"}) {
        // Even a file made readable by mistake stays behind the folder's mode.
        fs::permissions(sandbox.credentialFolder() / file, fs::perms::others_read,
                        fs::perm_options::add);
        EXPECT_EQ(other->openError(sandbox.credentialFolder() / file), EACCES) << file;
    }
}

// Listens on both loopback addresses of a port as another user, until it is destroyed.
class OtherUsersListener {
public:
    OtherUsersListener(const OtherUser& user, uint16_t port) {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
        child_ = ::fork();
        if (child_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            if (setgroups(0, nullptr) != 0 || setgid(user.gid()) != 0 || setuid(user.uid()) != 0)
                _exit(1);
            const int v4 = ::socket(AF_INET, SOCK_STREAM, 0);
            const int v6 = ::socket(AF_INET6, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sockaddr_in6 b{};
            b.sin6_family = AF_INET6;
            b.sin6_port = htons(port);
            b.sin6_addr = in6addr_loopback;
            const int on = 1;
            ::setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            if (::bind(v4, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
                ::bind(v6, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0 ||
                ::listen(v4, 4) != 0 || ::listen(v6, 4) != 0)
                _exit(2);
            const char byte = 1;
            if (::write(ready[1], &byte, 1) != 1) _exit(3);
            char ignored;
            while (::read(release[0], &ignored, 1) > 0) {}
            _exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char byte = 0;
        listening_ = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~OtherUsersListener() {
        if (release_ >= 0) ::close(release_);
        if (child_ > 0) ::waitpid(child_, nullptr, 0);
    }
    OtherUsersListener(const OtherUsersListener&) = delete;
    OtherUsersListener& operator=(const OtherUsersListener&) = delete;
    bool listening() const { return listening_; }

private:
    pid_t child_ = -1;
    int release_ = -1;
    bool listening_ = false;
};

TEST_F(UserKeysTest, APortHeldByAnotherUserIsLoggedWithTheirUidAndOneOfOursIsNot) {
    REQUIRE_OTHER_USER(other);
    OtherUsersListener theirs(*other, servicePorts[0]);
    ASSERT_TRUE(theirs.listening());
    // The user's own program on the next port.
    const int ours = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(servicePorts[1]);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(ours, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(ours, 4), 0);

    ServiceOptions options;
    options.adapter = TEST_ADAPTER_PATH;
    service = std::make_unique<Service>(sandbox, options);
    ASSERT_TRUE(service->waitForLog("ZEFAGPKITessaroll initialization: Success")) << service->log();
    const std::string log = service->log();
    EXPECT_EQ(countOf(log, "Detect port 56482 state: In use, try next port"), 2u) << log;
    EXPECT_EQ(countOf(log, "[Warning] Detect port 56482 held by another user: uid " +
                               std::to_string(other->uid())),
              2u)
        << log;
    EXPECT_EQ(countOf(log, "Detect port 56582 state: In use, try next port"), 1u) << log;
    EXPECT_EQ(log.find("Detect port 56582 held by another user"), std::string::npos) << log;
    ::close(ours);
}

}  // namespace
