#include "platform/Channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <thread>

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
