// A long adapter call (a card call that waits for the user) runs beside the listeners:
// other pages, on the same listener or another, are answered meanwhile, and a mix of slow
// and quick calls on all six listeners loses and crosses nothing.
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Tessaroll/RequestWorkers.h"
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

// More slow card calls at once than there are workers, from many sessions: the calls wait
// their turn off the listener threads, so the listeners answer an Echo on an open session,
// a new session and another page's card call at once, and every slow call still gets its
// answer from a worker.
class SlowCallFloodTest : public SlowCallTest {
protected:
    static constexpr int sessions = 16;
    static constexpr int callsPerSession = 6;  // 96 calls: more than the 64 workers
    static constexpr int slowMilliseconds = 1000;

    // How many requests the listeners have read the origin of so far.
    std::size_t requestsRead() {
        const std::string log = service->log();
        std::size_t count = 0;
        for (std::size_t at = log.find("Origin: https://localhost:8443"); at != std::string::npos;
             at = log.find("Origin: https://localhost:8443", at + 1))
            ++count;
        return count;
    }
};

TEST_F(SlowCallFloodTest, ListenersAnswerAtOnceWhileMoreSlowCallsThanWorkersWait) {
    std::vector<std::string> slowSessions;
    for (int s = 0; s < sessions; ++s) {
        HttpsClient opener(clientOptions(servicePorts[s % 3], s % 2 ? "::1" : "127.0.0.1"));
        slowSessions.push_back(openSession(opener));
        ASSERT_FALSE(slowSessions.back().empty());
    }
    HttpsClient page(clientOptions(servicePorts[1], "127.0.0.1"));
    const std::string pageSession = openSession(page);
    ASSERT_FALSE(pageSession.empty());
    const std::size_t readBefore = requestsRead();

    constexpr int calls = sessions * callsPerSession;
    std::vector<std::string> answers(calls);
    std::vector<std::thread> callers;
    for (int i = 0; i < calls; ++i) {
        callers.emplace_back([&, i] {
            HttpsClientOptions options =
                clientOptions(servicePorts[i % 3], i % 2 ? "::1" : "127.0.0.1");
            options.timeoutSeconds = 120;  // a session's calls wait for each other
            HttpsClient client(options);
            const std::string json = sessionRequest(
                slowSessions[static_cast<std::size_t>(i % sessions)], "TestAdapter_Sleep",
                R"("ms": ")" + std::to_string(slowMilliseconds) + R"(", "thread": "name")");
            auto answer = call(client, json);
            answers[static_cast<std::size_t>(i)] =
                answer ? (*answer)["result"] : "no answer: " + client.lastError();
        });
    }
    // Every slow call has reached the service; most of them wait.
    ASSERT_TRUE(
        waitUntil([&] { return requestsRead() >= readBefore + calls; }, std::chrono::seconds(60)))
        << service->log();

    struct Probe {
        const char* what;
        std::string json;
        std::string expected;
    };
    const Probe probes[] = {
        {"Echo on an open session", sessionRequest(pageSession, "Echo"), "0"},
        {"another page's card call",
         sessionRequest(pageSession, "TestAdapter_Echo", R"("text": "t")"), "t"},
        {"new session", echoRequest(), "0"},
    };
    for (const Probe& probe : probes) {
        const Clock::time_point sent = Clock::now();
        auto answer = call(page, probe.json);
        const long took = millisecondsSince(sent);
        ASSERT_TRUE(answer) << probe.what << ": " << page.lastError();
        EXPECT_EQ((*answer)["result"], probe.expected) << probe.what;
        EXPECT_LT(took, 1500) << probe.what;
        std::printf("%s during %d slow calls: %ld ms\n", probe.what, calls, took);
    }

    for (auto& caller : callers) caller.join();
    std::size_t listenerThreads = 0;
    for (const auto& task : std::filesystem::directory_iterator(
             "/proc/" + std::to_string(service->process().pid()) + "/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.starts_with("MHD-")) ++listenerThreads;
    }
    EXPECT_EQ(listenerThreads, 6u);  // the listeners' polling threads, by the library's name
    const std::string expected =
        "slept " + std::to_string(slowMilliseconds) + " on " + RequestWorkers::threadName;
    for (const std::string& answer : answers) EXPECT_EQ(answer, expected);
}

// A page that piles up calls behind its own slow one: up to the queue's bound they wait and
// are answered in turn, the ones past it are refused at once with 61011.
TEST_F(SlowCallFloodTest, CallsPastTheQueueAreRefusedAtOnce) {
    HttpsClientOptions options = clientOptions();
    options.timeoutSeconds = 300;
    HttpsClient opener(options);
    const std::string session = openSession(opener);
    ASSERT_FALSE(session.empty());
    // The first call holds the session until the test lets it end.
    const std::filesystem::path gate = sandbox.tempDir() / "gate";
    std::future<std::optional<std::map<std::string, std::string>>> longCall =
        std::async(std::launch::async, [&] {
            return call(opener,
                        sessionRequest(session, "TestAdapter_Sleep",
                                       R"("ms": "240000", "until": ")" + gate.string() + "\""));
        });
    ASSERT_TRUE(service->waitForLog("TestAdapter_Sleep")) << service->log();
    const std::size_t readBefore = requestsRead();

    constexpr int piled = 300;
    constexpr int waiting = 256;  // the queue's bound
    std::vector<std::string> answers(piled);
    std::atomic<int> refused{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < piled; ++i) {
        callers.emplace_back([&, i] {
            HttpsClientOptions options =
                clientOptions(servicePorts[i % 3], i % 2 ? "::1" : "127.0.0.1");
            options.timeoutSeconds = 300;
            HttpsClient client(options);
            auto answer = call(client, sessionRequest(session, "TestAdapter_Echo",
                                                      R"("text": ")" + std::to_string(i) + "\""));
            std::string& text = answers[static_cast<std::size_t>(i)];
            text = answer ? (*answer)["result"] : "no answer: " + client.lastError();
            if (text == "61011") ++refused;
        });
    }
    // Every call has reached the service, and those past the bound are answered while the
    // first call still holds the session.
    EXPECT_TRUE(
        waitUntil([&] { return requestsRead() >= readBefore + piled; }, std::chrono::seconds(240)))
        << requestsRead() - readBefore << " read";
    EXPECT_TRUE(waitUntil([&] { return refused == piled - waiting; }, std::chrono::seconds(60)))
        << refused;
    EXPECT_EQ(longCall.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    writeFile(gate, "");
    for (auto& caller : callers) caller.join();
    auto woken = longCall.get();
    ASSERT_TRUE(woken) << opener.lastError();
    EXPECT_EQ((*woken)["result"], "woken");

    EXPECT_EQ(refused.load(), piled - waiting);
    for (int i = 0; i < piled; ++i) {
        const std::string& answer = answers[static_cast<std::size_t>(i)];
        if (answer != "61011") {
            EXPECT_EQ(answer, std::to_string(i));
        }
    }
    EXPECT_THAT(service->log(),
                ::testing::HasSubstr("Too many requests waiting: Refuse the request"));
    HttpsClient page(clientOptions());
    EXPECT_FALSE(openSession(page).empty());
}
