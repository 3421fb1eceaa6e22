// Instructions and session signals reaching the real main program.
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include "TessarollIpc/MainService.h"
#include "TessarollUtil/Message.h"
#include "doubles/LogindMock/LogindMock.h"
#include "platform/Channel.h"
#include "platform/NamedEvent.h"

using namespace std::chrono_literals;
using namespace testing_support;

namespace {

// A session for each client, their two adapter copies in place.
::testing::AssertionResult openTwoSessions(Service& service, HttpsClient& first,
                                           HttpsClient& second) {
    if (openSession(first).empty() || openSession(second).empty())
        return ::testing::AssertionFailure() << "no session\n" << service.log();
    // The second session's copy may still be on its way from the spare to its slot.
    if (!waitUntil([&] { return adapterCopies(service.workFolder()) >= 2; }))
        return ::testing::AssertionFailure() << adapterCopies(service.workFolder()) << " copies";
    return ::testing::AssertionSuccess();
}

TEST(IpcMain, SuicideReleasesEverySessionAndEndsTheService) {
    Sandbox sandbox;
    auto service = startMainService(sandbox);
    ASSERT_TRUE(service);
    ASSERT_TRUE(service->waitForLog("Start Windows API IPC message receiver: Success"));
    HttpsClient first(mainClientOptions()), second(mainClientOptions());
    ASSERT_TRUE(openTwoSessions(*service, first, second));

    // Straight through the channel, so the time from the final release to the end is
    // not hidden behind the sender's lock-mode hold.
    auto channel = findChannel(kChannelMain);
    ASSERT_TRUE(channel);
    auto message = createMessage(kSenderWorker, kChannelMain, kInstructionSuicide);
    ASSERT_TRUE(channel->send(*messageWireText(*message)));
    auto released = std::chrono::steady_clock::now();
    EXPECT_NE(service->log().find("[TessarollFinal] Ready to suicide"),
              std::string::npos);  // before the send returned

    EXPECT_TRUE(waitUntil(
        [] {
            return !canConnect("127.0.0.1", servicePorts[0]) && !canConnect("::1", servicePorts[2]);
        },
        2s));
    auto stopped = std::chrono::steady_clock::now() - released;
    RecordProperty(
        "listeners_stopped_ms",
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(stopped).count()));
    EXPECT_LT(stopped, 400ms);
    EXPECT_EQ(service->process().wait(5s), 0);
    EXPECT_EQ(adapterCopies(service->workFolder()), 0u);
    std::string log = service->log();
    EXPECT_NE(log.find("Release session index: "), std::string::npos);
    EXPECT_NE(log.find("Execute final function"), std::string::npos);
}

TEST(IpcMain, WorkerStyleSendEndsTheService) {
    Sandbox sandbox;
    auto service = startMainService(sandbox);
    ASSERT_TRUE(service);
    ASSERT_TRUE(service->waitForLog("Start Windows API IPC message receiver: Success"));
    EXPECT_TRUE(sendIPCMsg(kChannelMain, kInstructionSuicide));
    EXPECT_EQ(service->process().wait(5s), 0);
    EXPECT_NE(service->log().find("Ready to suicide"), std::string::npos);
}

// The service on the mock's bus, once it follows the session; null when it does not.
std::unique_ptr<Service> startFollowingTheSession(const Sandbox& sandbox,
                                                  const LogindMock& logind) {
    ServiceOptions options;
    options.environment = logind.environment();
    auto service = startMainService(sandbox, options);
    if (!service) return nullptr;
    if (!service->waitForLog("Session notification: " + logind.sessionPath())) {
        ADD_FAILURE() << "the service does not follow the session\n" << service->log();
        return nullptr;
    }
    return service;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(IpcMain, SessionLockEndsTheService) {
    LogindMock logind;
    ASSERT_TRUE(logind.ready());
    Sandbox sandbox;
    auto service = startFollowingTheSession(sandbox, logind);
    ASSERT_TRUE(service);
    HttpsClient client(mainClientOptions());
    ASSERT_FALSE(openSession(client).empty());

    ASSERT_TRUE(logind.lock());
    EXPECT_TRUE(service->waitForLog("Receive windows lock signal"));
    EXPECT_EQ(service->process().wait(5s), 0);
    EXPECT_NE(service->log().find("Ready to suicide"), std::string::npos);
    EXPECT_EQ(adapterCopies(service->workFolder()), 0u);
}

// A stop signal, the Suicide instruction (twice) and a session lock, all at once: each
// reaches the final release on a thread of its own. It runs once, the others wait for its
// end, and the service ends with every copy deleted.
TEST(IpcMain, TheFinalReleaseRunsOnceWhenEverySideAsksAtOnce) {
    LogindMock logind;
    ASSERT_TRUE(logind.ready());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Sandbox sandbox;
        auto service = startFollowingTheSession(sandbox, logind);
        ASSERT_TRUE(service);
        ASSERT_TRUE(service->waitForLog("Start Windows API IPC message receiver: Success"));
        HttpsClient first(mainClientOptions()), second(mainClientOptions());
        ASSERT_TRUE(openTwoSessions(*service, first, second));

        const auto suicide = [] {
            auto channel = findChannel(kChannelMain);
            auto message = createMessage(kSenderWorker, kChannelMain, kInstructionSuicide);
            if (channel && message) channel->send(*messageWireText(*message));
        };
        std::atomic<int> waiting{4};
        auto atOnce = [&](std::function<void()> ask) {
            return std::thread([&waiting, ask = std::move(ask)] {
                --waiting;
                while (waiting.load() > 0) std::this_thread::yield();
                ask();
            });
        };
        std::thread asks[] = {atOnce([&] { logind.lock(); }),
                              atOnce([&] { service->process().signal(SIGTERM); }), atOnce(suicide),
                              atOnce(suicide)};
        for (std::thread& ask : asks) ask.join();

        EXPECT_EQ(service->process().wait(10s), 0) << service->log();
        const std::string log = service->log();
        EXPECT_EQ(occurrences(log, "[TessarollFinal] Start release all adapters"), 1u) << log;
        EXPECT_EQ(occurrences(log, "[TessarollFinal] Ready to suicide"), 1u);
        EXPECT_EQ(adapterCopies(service->workFolder()), 0u);
        logind.unlock();
    }
}

// The monitor holds the event while it runs; a service started before the monitor made
// it follows debug mode once it is there.
TEST(IpcMain, DebugModePulsesSwitchLoggingOffAndOn) {
    for (bool eventFirst : {true, false}) {
        SCOPED_TRACE(eventFirst ? "event first" : "service first");
        Sandbox sandbox;
        std::unique_ptr<NamedEvent> event;
        if (eventFirst) event = NamedEvent::create("ZEFAGPKITessaroll_DEBUG_MODE");
        auto service = startMainService(sandbox);
        ASSERT_TRUE(service);
        ASSERT_TRUE(service->waitForLog("ZEFAGPKITessaroll initialization: Success"));
        auto count = [&](const std::string& text) { return occurrences(service->log(), text); };
        if (!eventFirst) {
            EXPECT_TRUE(service->waitForLog("Tessaroll debugStatusUpdateEvent init failed. 2"));
            event = NamedEvent::create("ZEFAGPKITessaroll_DEBUG_MODE");
        }
        ASSERT_TRUE(event);
        EXPECT_EQ(count("debugStatusUpdateEvent init failed"), eventFirst ? 0u : 1u);

        // Pulse until the log-state thread, which may not be waiting yet, has taken one.
        EXPECT_TRUE(waitUntil(
            [&] {
                event->pulse();
                return count("Log state: Disable") == 1;
            },
            5s))
            << service->log();
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(waitUntil(
            [&] {
                event->pulse();
                return count("Log state: Enable") == 2;
            },
            5s))
            << service->log();
    }
}

}  // namespace
