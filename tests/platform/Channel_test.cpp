#include "platform/Channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"

using namespace std::chrono_literals;
using testing_support::waitUntil;

namespace {

// Serves a receiver on a thread until stopped.
class Server {
public:
    Server(ChannelReceiver& receiver, std::function<void(const std::string&)> handler)
        : thread_([this, &receiver, handler] {
              while (!stop_) {
                  if (!receiver.serveOne(handler)) std::this_thread::sleep_for(5ms);
              }
          }) {}
    ~Server() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(Channel, SendReturnsOnlyAfterTheReceiversHandlerRan) {
    testing_support::Sandbox sandbox;
    auto receiver = ChannelReceiver::open("ZEFAGPKITessarollMain.exe");
    ASSERT_TRUE(receiver);
    std::atomic<bool> handled{false};
    std::string received;
    Server server(*receiver, [&](const std::string& text) {
        std::this_thread::sleep_for(200ms);
        received = text;
        handled = true;
    });

    auto connection = findChannel("ZEFAGPKITessarollMain.exe");
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->send("{\"From\":\"x\"}"));
    EXPECT_TRUE(handled);
    EXPECT_EQ(received, "{\"From\":\"x\"}");
}

TEST(Channel, NoReceiverMeansNotFound) {
    testing_support::Sandbox sandbox;
    EXPECT_FALSE(findChannel("nobody-listens"));
}

TEST(Channel, SecondReceiverFailsAndTheFirstKeepsServing) {
    testing_support::Sandbox sandbox;
    auto first = ChannelReceiver::open("ZEFAGPKITessarollWatchdog");
    ASSERT_TRUE(first);
    ChannelReceiver::OpenError error = ChannelReceiver::OpenError::Failed;
    EXPECT_FALSE(ChannelReceiver::open("ZEFAGPKITessarollWatchdog", &error));
    EXPECT_EQ(error, ChannelReceiver::OpenError::AlreadyExists);

    std::atomic<int> count{0};
    Server server(*first, [&](const std::string&) { ++count; });
    auto connection = findChannel("ZEFAGPKITessarollWatchdog");
    ASSERT_TRUE(connection);
    connection->send("ping");
    EXPECT_EQ(count, 1);
}

TEST(Channel, SocketLeftByADeadReceiverIsReplaced) {
    testing_support::Sandbox sandbox;
    std::string path = channelSocketPath("stale");
    ASSERT_FALSE(path.empty());
    {  // a socket file that nobody listens on any more
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    EXPECT_FALSE(findChannel("stale"));
    auto receiver = ChannelReceiver::open("stale");
    ASSERT_TRUE(receiver);
    EXPECT_TRUE(findChannel("stale"));
    receiver.reset();
    EXPECT_FALSE(findChannel("stale"));
    EXPECT_TRUE(ChannelReceiver::open("stale"));
}

TEST(Channel, ProbesAndStrangeNamesStayHarmless) {
    testing_support::Sandbox sandbox;
    // A name with a folder part must not leave the channel folder.
    std::string path = channelSocketPath("../../escape");
    EXPECT_EQ(path.rfind(channelFolder() + "/", 0), 0u) << path;

    struct stat st {};
    ASSERT_EQ(::stat(channelFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    auto receiver = ChannelReceiver::open("probe");
    ASSERT_TRUE(receiver);
    std::atomic<int> count{0};
    Server server(*receiver, [&](const std::string&) { ++count; });
    { auto probe = findChannel("probe"); }  // connects and goes away without a text
    auto connection = findChannel("probe");
    ASSERT_TRUE(connection);
    connection->send("real");
    EXPECT_EQ(count, 1);
}

}  // namespace

// A runtime folder whose socket paths do not fit a socket address works like a short one:
// one receiver per channel, texts delivered, nothing found once the receiver is gone.
TEST(Channel, LongRuntimeFolderWorksLikeAShortOne) {
    testing_support::Sandbox sandbox;
    const std::string shortFolder = (sandbox.root() / "rt").string();
    const std::string longFolder = (sandbox.root() / std::string(120, 'r')).string();
    for (const std::string& folder : {shortFolder, longFolder}) {
        SCOPED_TRACE(folder.size());
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        {
            auto receiver = ChannelReceiver::open("ZEFAGPKITessarollMain.exe");
            ASSERT_TRUE(receiver);
            ChannelReceiver::OpenError why{};
            EXPECT_FALSE(ChannelReceiver::open("ZEFAGPKITessarollMain.exe", &why));
            EXPECT_EQ(why, ChannelReceiver::OpenError::AlreadyExists);
            std::string received;
            Server server(*receiver, [&](const std::string& text) { received = text; });
            auto connection = findChannel("ZEFAGPKITessarollMain.exe");
            ASSERT_TRUE(connection);
            EXPECT_TRUE(connection->send("{\"From\":\"long\"}"));
            EXPECT_EQ(received, "{\"From\":\"long\"}");
        }
        EXPECT_FALSE(findChannel("ZEFAGPKITessarollMain.exe"));
        EXPECT_TRUE(ChannelReceiver::open("ZEFAGPKITessarollMain.exe"));  // free again
    }
}

namespace {

// A receiver that takes no connection (a stopped or hung program): a send gives up after
// the bound and says so, and once its queue is full so does finding it.
TEST(Channel, AReceiverThatDoesNotAnswerCostsOneBoundedWait) {
    testing_support::Sandbox sandbox;
    auto receiver = ChannelReceiver::open("stopped");
    ASSERT_TRUE(receiver);
    auto outcome = std::async(std::launch::async, [] {
        auto connection = findChannel("stopped");
        bool sent = connection && connection->send("{\"Instruction\":\"Suicide\"}");
        // Fill its queue: then not even a connection is made.
        std::vector<ChannelConnection> queued;
        for (int i = 0; i < 64; ++i) {
            auto more = findChannel("stopped");
            if (!more) return std::pair{connection.has_value(), sent};
            queued.push_back(std::move(*more));
        }
        return std::pair{connection.has_value(), true};
    });
    ASSERT_EQ(outcome.wait_for(120s), std::future_status::ready) << "a wait had no bound";
    const auto [found, sentOrQueueEndless] = outcome.get();
    EXPECT_TRUE(found);
    EXPECT_FALSE(sentOrQueueEndless)
        << "no answer came, yet the send or every connection succeeded";
}

// The address a receiver of this process listens on under an abstract name.
std::optional<std::string> abstractAddress() {
    std::ifstream table("/proc/net/unix");
    const std::string prefix = "@tessaroll-" + std::to_string(::getuid()) + "-";
    for (std::string line; std::getline(table, line);) {
        auto at = line.find(prefix);
        if (at != std::string::npos) return line.substr(at + 1);
    }
    return std::nullopt;
}

// Another user may reach a receiver under an abstract name: its text runs nothing, and the
// receiver is told who it was.
TEST(Channel, AnotherUsersConnectionRunsNothingAndIsTold) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    testing_support::Sandbox sandbox;
    const std::string longFolder = (sandbox.root() / std::string(120, 'r')).string();
    ASSERT_EQ(::mkdir(longFolder.c_str(), 0700), 0);
    ::setenv("XDG_RUNTIME_DIR", longFolder.c_str(), 1);
    auto receiver = ChannelReceiver::open("ZEFAGPKITessarollMain.exe");
    ASSERT_TRUE(receiver);
    const std::optional<std::string> name = abstractAddress();
    ASSERT_TRUE(name);

    pid_t stranger = ::fork();
    if (stranger == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name->data(), name->size());
        auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name->size());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), size) != 0) ::_exit(3);
        const char text[] = "{\"Instruction\":\"TessarollInstruction_Suicide\"}";
        ::_exit(::write(fd, text, sizeof text) == sizeof text ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(stranger, &status, 0), stranger);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<std::string> handled;
    std::vector<uid_t> strangers;
    ASSERT_TRUE(waitUntil([&] {
        receiver->serveOne([&](const std::string& text) { handled.push_back(text); },
                           [&](uid_t uid) { strangers.push_back(uid); });
        return !strangers.empty();
    }));
    EXPECT_EQ(strangers, std::vector<uid_t>{65534});
    EXPECT_TRUE(handled.empty());
}

}  // namespace
