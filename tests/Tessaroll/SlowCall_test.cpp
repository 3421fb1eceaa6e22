// A long adapter call (a card call that waits for the user) runs beside the listeners:
// other pages, on the same listener or another, are answered meanwhile, and a mix of slow
// and quick calls on all six listeners loses and crosses nothing.
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

class SlowCallTest : public ServiceTest {};

long millisecondsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST_F(SlowCallTest, OtherPagesAreAnsweredDuringALongCall) {
    HttpsClient slowClient(clientOptions(56482, "127.0.0.1"));
    const std::string slow = openSession(slowClient);
    HttpsClient otherListener(clientOptions(56682, "::1"));
    const std::string other = openSession(otherListener);
    HttpsClient sameListener(clientOptions(56482, "127.0.0.1"));

    const Clock::time_point start = Clock::now();
    std::future<std::optional<std::map<std::string, std::string>>> longCall =
        std::async(std::launch::async, [&] {
            return call(slowClient, sessionRequest(slow, "TestAdapter_Sleep", R"("ms": "3000")"));
        });
    ASSERT_TRUE(service->waitForLog("TestAdapter_Sleep")) << service->log();

    struct Probe {
        const char* what;
        HttpsClient* client;
        std::string json;
        std::string expected;
    };
    const Probe probes[] = {
        {"Echo on another listener", &otherListener, sessionRequest(other, "Echo"), "0"},
        {"adapter call on another listener", &otherListener,
         sessionRequest(other, "TestAdapter_Echo", R"("text": "t")"), "t"},
        {"Echo on the same listener", &sameListener, sessionRequest(other, "Echo"), "0"},
        {"new session on the same listener", &sameListener, echoRequest(), "0"},
    };
    for (const Probe& probe : probes) {
        const Clock::time_point sent = Clock::now();
        auto answer = call(*probe.client, probe.json);
        const long took = millisecondsSince(sent);
        ASSERT_TRUE(answer) << probe.what;
        EXPECT_EQ((*answer)["result"], probe.expected) << probe.what;
        EXPECT_LT(took, 500) << probe.what;
        std::printf("%s during a 3 s call in another session: %ld ms\n", probe.what, took);
    }
    EXPECT_LT(millisecondsSince(start), 2500);  // all of it while the call still ran

    auto slowAnswer = longCall.get();
    ASSERT_TRUE(slowAnswer);
    EXPECT_EQ((*slowAnswer)["result"], "slept 3000");
    EXPECT_GE(millisecondsSince(start), 2900);
}

TEST_F(SlowCallTest, SlowAndQuickCallsOnAllListenersCrossNothing) {
    constexpr int quickThreads = 6;  // one per listener
    constexpr int slowThreads = 3;
    constexpr int rounds = 60;
    std::vector<std::vector<std::string>> failures(quickThreads + slowThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < quickThreads + slowThreads; ++t) {
        threads.emplace_back([&, t] {
            const bool slow = t >= quickThreads;
            auto fail = [&](std::string what) {
                failures[static_cast<std::size_t>(t)].push_back(std::move(what));
            };
            AllListeners listeners(t);
            auto post = [&](int i, const std::string& json) { return listeners.post(i, json); };
            auto opened = post(0, echoRequest());
            if (!opened || (*opened)["result"] != "0") return fail("echo did not open a session");
            const std::string session = (*opened)["SessionID"];
            auto counters = post(0, sessionRequest(session, "TestAdapter_Counters"));
            const std::string instance = counters ? (*counters)["result"].substr(0, 25) : "";
            for (int i = 1; i <= (slow ? rounds / 10 : rounds); ++i) {
                const std::string mark =
                    "thread " + std::to_string(t) + " request " + std::to_string(i);
                if (slow) {
                    auto slept =
                        post(i, sessionRequest(session, "TestAdapter_Sleep", R"("ms": "300")"));
                    if (!slept || (*slept)["result"] != "slept 300")
                        fail("slow " + mark + ": " + listeners.clientFor(i).lastError());
                } else if (i % 2 == 0) {
                    auto echo = post(i, sessionRequest(session, "Echo"));
                    if (!echo || (*echo)["result"] != "0" || (*echo)["LibVersion"] != "1,0,21,827")
                        fail("echo " + mark);
                } else {
                    auto echoed = post(i, sessionRequest(session, "TestAdapter_Echo",
                                                         R"("text": ")" + mark + "\""));
                    if (!echoed || (*echoed)["result"] != mark)
                        fail("adapter echo " + mark + " gave " +
                             (echoed ? (*echoed)["result"] : "nothing"));
                }
            }
            // Every call reached this session's own copy.
            auto after = post(0, sessionRequest(session, "TestAdapter_Counters"));
            if (!after || (*after)["result"].substr(0, 25) != instance || instance.empty())
                fail("counters " + (after ? (*after)["result"] : "nothing"));
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t t = 0; t < failures.size(); ++t)
        EXPECT_THAT(failures[t], ::testing::IsEmpty()) << "thread " << t;
}

}  // namespace
