// Start-up and shutdown of the main program: listeners beside a port held by another
// program, the work folder it prepares, the crash line, and the final release on SIGTERM
// and SIGINT.
#include <gmock/gmock.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>

#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

// A listening socket of "another program" on a loopback port.
class HeldPort {
public:
    HeldPort(const std::string& address, uint16_t port) {
        const bool ipv6 = address == "::1";
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        int rc;
        if (ipv6) {
            setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(port);
            a.sin6_addr = in6addr_loopback;
            rc = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            rc = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        ok_ = rc == 0 && ::listen(fd_, 4) == 0;
    }
    ~HeldPort() { ::close(fd_); }
    bool ok() const { return ok_; }

private:
    int fd_ = -1;
    bool ok_ = false;
};

class StartupTest : public ServiceTest {
protected:
    void SetUp() override {}  // each test starts the service itself
};

TEST_F(StartupTest, PortHeldByAnotherProgramIsSkippedAndTheOtherFiveServe) {
    HeldPort held("127.0.0.1", servicePorts[0]);
    ASSERT_TRUE(held.ok());
    ServiceOptions options;
    options.adapter = TEST_ADAPTER_PATH;
    service = std::make_unique<Service>(sandbox, options);
    ASSERT_TRUE(service->waitForLog("ZEFAGPKITessaroll initialization: Success")) << service->log();
    EXPECT_THAT(service->log(), HasSubstr("Detect port 56482 state: In use, try next port"));

    struct Listener {
        const char* address;
        uint16_t port;
    };
    const Listener serving[] = {{"::1", servicePorts[0]},
                                {"127.0.0.1", servicePorts[1]},
                                {"::1", servicePorts[1]},
                                {"127.0.0.1", servicePorts[2]},
                                {"::1", servicePorts[2]}};
    for (const auto& l : serving) {
        HttpsClient client(clientOptions(l.port, l.address));
        auto answer = call(client, echoRequest());
        ASSERT_TRUE(answer) << l.address << " " << l.port << ": " << client.lastError();
        EXPECT_EQ((*answer)["result"], "0");
    }
    EXPECT_EQ(service->stop(), 0);
}

TEST_F(StartupTest, NoListenerAtAllEndsTheProgramAtOnce) {
    std::vector<std::unique_ptr<HeldPort>> held;
    for (uint16_t port : servicePorts)
        for (const char* address : {"127.0.0.1", "::1"}) {
            held.push_back(std::make_unique<HeldPort>(address, port));
            ASSERT_TRUE(held.back()->ok());
        }
    // The program returns from main with no thread of its own left running: none that
    // could still use what its static objects' destructors take down.
    const fs::path threadsAtExit = sandbox.tempDir() / "threads-at-exit";
    ServiceOptions options;
    options.environment = {{"LD_PRELOAD", THREADS_AT_EXIT_LIBRARY},
                           {"TESSAROLL_THREADS_AT_EXIT", threadsAtExit.string()}};
    service = std::make_unique<Service>(sandbox, options);
    EXPECT_EQ(service->process().wait(std::chrono::seconds(10)), 0);
    EXPECT_THAT(service->log(), HasSubstr("ZEFAGPKITessaroll initialization: Fail"));
    EXPECT_THAT(service->log(), Not(HasSubstr("Start Windows API IPC message receiver")));
#ifdef __SANITIZE_THREAD__
    constexpr const char* threadsLeft = "2\n";  // the sanitizer's own thread besides main
#else
    constexpr const char* threadsLeft = "1\n";
#endif
    EXPECT_EQ(readFile(threadsAtExit), threadsLeft);
}

TEST_F(StartupTest, WorkFolderIsPreparedAfresh) {
    const fs::path work = sandbox.dataHome() / "ZEFAGPKITessarollMain";
    writeFile(work / "ZEFAGPKITessarollMainVersion", "something older and longer than the marker");
    writeFile(work / "Tempfile/Session_3/left-behind.so", "stale");
    writeFile(work / "Tempfile/Session_40/x", "stale");
    startService();

    EXPECT_EQ(readFile(work / "ZEFAGPKITessarollMainVersion"), "Tessaroll version=1.0.23.0510");
    std::vector<std::string> sessionFolders;
    for (const auto& entry : fs::directory_iterator(work / "Tempfile")) {
        ASSERT_TRUE(entry.is_directory()) << entry.path();
        EXPECT_TRUE(fs::is_empty(entry.path())) << entry.path();
        sessionFolders.push_back(entry.path().filename().string());
    }
    std::sort(sessionFolders.begin(), sessionFolders.end());
    std::vector<std::string> expected;
    for (int i = 0; i < 32; ++i) expected.push_back("Session_" + std::to_string(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sessionFolders, expected);
}

TEST_F(StartupTest, StopSignalReleasesEverySessionAndDeletesTheCopies) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        startService();
        HttpsClient first(clientOptions()), second(clientOptions(servicePorts[2], "::1"));
        ASSERT_FALSE(openSession(first).empty());
        ASSERT_FALSE(openSession(second).empty());
        const fs::path work = service->workFolder();
        const fs::path copy0 = work / "Tempfile/Session_0/ZEFAVZDediGPKICryptATLAdapter.so";
        const fs::path copy1 = work / "Tempfile/Session_1/ZEFAVZDediGPKICryptATLAdapter.so";
        ASSERT_TRUE(fs::exists(copy0));
        // The second session took the spare, whose file moves once the page has its answer.
        ASSERT_TRUE(waitUntil([&] { return fs::exists(copy1); }));
        writeFile(work / ".hidden-copy.so", "x");
        writeFile(work / "ZEFAVZDediGPKICryptATLAdapter.so", "x");

        const auto signalled = std::chrono::steady_clock::now();
        service->process().signal(signal);
        EXPECT_EQ(service->process().wait(std::chrono::seconds(10)), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(2));
        EXPECT_FALSE(fs::exists(copy0));
        EXPECT_FALSE(fs::exists(copy1));
        EXPECT_FALSE(fs::exists(work / ".hidden-copy.so"));
        EXPECT_FALSE(fs::exists(work / "ZEFAVZDediGPKICryptATLAdapter.so"));
        EXPECT_TRUE(fs::exists(work / "ZEFAGPKITessarollMainVersion"));
        const std::string log = service->log();
        const auto released0 = log.find("Release session index: 0");
        const auto released1 = log.find("Release session index: 1");
        const auto ready = log.find("[TessarollFinal] Ready to suicide");
        ASSERT_NE(released0, std::string::npos) << log;
        ASSERT_NE(released1, std::string::npos);
        ASSERT_NE(ready, std::string::npos);
        EXPECT_LT(released0, released1);  // oldest first
        EXPECT_LT(released1, ready);
        // The listeners are gone with the program.
        EXPECT_FALSE(canConnect("127.0.0.1", servicePorts[0]));
        fs::remove_all(sandbox.tempDir() / "log");
        fs::create_directories(sandbox.tempDir() / "log");
    }
}

TEST_F(StartupTest, CrashLineOnlyForANonZeroStartCount) {
    struct Case {
        std::vector<std::string> arguments;
        bool crashLine;
    };
    const Case cases[] = {
        {{"0"}, false}, {{}, false}, {{""}, false}, {{"3"}, true}, {{"00"}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
        ServiceOptions options;
        options.arguments = c.arguments;
        startService(options);
        ASSERT_TRUE(service->waitForLog("ZEFAGPKITessaroll initialization: Success"));
        EXPECT_EQ(service->stop(), 0);
        const std::string log = service->log();
        EXPECT_EQ(log.find("Detected Tessaroll crash") != std::string::npos, c.crashLine);
        // The start-up lines come in their order.
        const char* inOrder[] = {"Execute setting: ZEFAGPKI", "Support port: 56482 56582 56682",
                                 "Tessaroll Version: 1.0.23.0510", "HTTPS Mode",
                                 "ZEFAGPKITessaroll initialization: Success"};
        std::size_t at = 0;
        for (const char* line : inOrder) {
            const auto found = log.find(line, at);
            ASSERT_NE(found, std::string::npos) << line << "\n" << log;
            at = found;
        }
        fs::remove_all(sandbox.tempDir() / "log");
        fs::create_directories(sandbox.tempDir() / "log");
    }
}

}  // namespace

// A second start while the first runs: the second ends and says why, and the first
// instance's sessions, adapter copies and marker stay as they were.
TEST_F(StartupTest, ASecondStartLeavesTheRunningInstanceAlone) {
    startService();
    HttpsClient client(clientOptions());
    const std::string id = openSession(client);
    ASSERT_FALSE(id.empty());
    auto counters = [&] {
        auto answer = call(client, sessionRequest(id, "TestAdapter_Counters"));
        return answer ? (*answer)["result"] : std::string("<none>");
    };
    const std::string before = counters();
    const fs::path work = service->workFolder();
    const fs::path copy = work / "Tempfile/Session_0/ZEFAVZDediGPKICryptATLAdapter.so";
    ASSERT_TRUE(fs::exists(copy));
    writeFile(work / "ZEFAGPKITessarollMainVersion", "Tessaroll version=1.0.23.0510 kept");

    // The staged program, not the running one's install (that file is busy).
    Service second(sandbox, ServiceOptions{});
    EXPECT_EQ(second.process().wait(std::chrono::seconds(10)), 0);
    EXPECT_THAT(second.log(), HasSubstr("Another ZEFAGPKITessarollMain runs for this user, end: "));

    EXPECT_TRUE(fs::exists(copy));
    EXPECT_EQ(readFile(work / "ZEFAGPKITessarollMainVersion"),
              "Tessaroll version=1.0.23.0510 kept");
    const std::string after = counters();
    EXPECT_EQ(after.substr(0, 25), before.substr(0, 25));  // the same copy, still loaded
    EXPECT_THAT(after, HasSubstr("unlock=1 version=1 release=0"));
    EXPECT_EQ(service->stop(), 0);
    EXPECT_FALSE(fs::exists(copy));
}

namespace {

// Without a display and without a system bus the idle service keeps the desktop and login
// libraries out of its memory; it loads them only to use them.
TEST_F(StartupTest, IdleServiceWithoutDesktopOrBusMapsNeitherLibrary) {
    ServiceOptions options;
    options.environment["DISPLAY"] = "";
    options.environment["DBUS_SYSTEM_BUS_ADDRESS"] =
        "unix:path=" + (sandbox.runtimeDir() / "no-system-bus").string();
    startService(options);
    ASSERT_TRUE(service->waitForLog("Session notification unavailable: ")) << service->log();
    const std::string maps =
        readFile("/proc/" + std::to_string(service->process().pid()) + "/maps");
    ASSERT_FALSE(maps.empty());
    EXPECT_THAT(maps, Not(HasSubstr("libX11"))) << maps;
    EXPECT_THAT(maps, Not(HasSubstr("libsystemd"))) << maps;
}

}  // namespace
