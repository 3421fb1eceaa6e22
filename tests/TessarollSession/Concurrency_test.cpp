// Sessions at the same time: a long adapter call holds only its own session, calls of one
// session stay in order, and many pages with evictions and a final release in the middle
// lose and cross nothing.
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "SessionFixture.h"
#include "helpers/SessionText.h"

namespace fs = std::filesystem;
using namespace session_tests;
using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

const std::string tableId = adapterPathId;

long millisecondsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class ConcurrentSessionTest : public SessionTest {
protected:
    // Starts a call of `ms` milliseconds in `sessionId` and returns once the adapter runs it.
    std::future<std::string> startSlowCall(const std::string& sessionId, int ms) {
        const std::size_t before = occurrences(adapterEvents(), "TestAdapter_Sleep");
        std::future<std::string> call = std::async(std::launch::async, [this, sessionId, ms] {
            JsonMapPtr answer = send({{"FunctionName", "TestAdapter_Sleep"},
                                      {"SessionId", sessionId},
                                      {"ms", std::to_string(ms)}});
            return answerValue(answer, "result").value_or("<none>");
        });
        while (occurrences(adapterEvents(), "TestAdapter_Sleep") == before)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return call;
    }
};

TEST_F(ConcurrentSessionTest, ALongCallHoldsOnlyItsOwnSession) {
    const std::string slow = openSession();
    const std::string other = openSession();
    const Clock::time_point start = Clock::now();
    std::future<std::string> call = startSlowCall(slow, 1500);

    // Other sessions are served meanwhile, a new one opens, and the value store answers.
    const Clock::time_point meanwhile = Clock::now();
    EXPECT_EQ(answerValue(send({{"FunctionName", "Echo"}, {"SessionId", other}}), "result"), "0");
    EXPECT_EQ(answerValue(
                  send({{"FunctionName", "TestAdapter_Echo"}, {"SessionId", other}, {"text", "t"}}),
                  "result"),
              "t");
    EXPECT_EQ(answerValue(send({{"FunctionName", "setTessarollValue"},
                                {"SessionId", other},
                                {"channel", "c"},
                                {"domain_list", "pages.example.com"},
                                {"value", "v"}}),
                          "result"),
              "0");
    EXPECT_FALSE(openSession().empty());
    EXPECT_LT(millisecondsSince(meanwhile), 500);

    // Only requests that never wait are answered at once: not the busy session's Echo.
    JsonMapPtr busyEcho = makeRequest({{"FunctionName", "Echo"}, {"SessionId", slow}});
    JsonMapPtr freeEcho = makeRequest({{"FunctionName", "Echo"}, {"SessionId", other}});
    JsonMapPtr adapterCall =
        makeRequest({{"FunctionName", "TestAdapter_Echo"}, {"SessionId", other}});
    EXPECT_FALSE(service_->handleAtOnce(*busyEcho, pageOrigin));
    EXPECT_FALSE(service_->handleAtOnce(*adapterCall, pageOrigin));
    std::optional<SessionAnswer> atOnce = service_->handleAtOnce(*freeEcho, pageOrigin);
    ASSERT_TRUE(atOnce);
    EXPECT_EQ(answerValue(*atOnce, "result"), "0");

    // The busy session's next call and its release wait for the running call, which ends whole.
    std::string countersAfter = counters(slow);
    EXPECT_GE(millisecondsSince(start), 1450);
    EXPECT_EQ(call.get(), "slept 1500");
    EXPECT_NE(countersAfter.find("release=0 calls=4"), std::string::npos) << countersAfter;
    std::future<std::string> second = startSlowCall(slow, 600);
    const Clock::time_point closing = Clock::now();
    send({{"FunctionName", "TessarollClose"}, {"SessionId", slow}});
    EXPECT_GE(millisecondsSince(closing), 500);
    EXPECT_EQ(second.get(), "slept 600");
    EXPECT_EQ(slotOf(slow), -1);
}

// The busy session is evicted only after its call: the newcomer waits for that session,
// and its copy is a fresh one.
TEST_F(ConcurrentSessionTest, EvictionWaitsForTheOldestSessionsCall) {
    std::vector<std::string> ids;
    for (int i = 0; i < sessionSlotCount; ++i) ids.push_back(openSession());
    const std::string oldInstance = instanceOf(counters(ids[0]));
    const Clock::time_point start = Clock::now();
    std::future<std::string> call = startSlowCall(ids[0], 800);
    const std::string newcomer = openSession();
    EXPECT_GE(millisecondsSince(start), 750);
    EXPECT_EQ(call.get(), "slept 800");
    EXPECT_EQ(slotOf(newcomer), 0);
    EXPECT_NE(instanceOf(counters(newcomer)), oldInstance);
    EXPECT_EQ(slotOf(ids[0]), -1);
}

// When no copy can be made (here no file can be written below the work folder's Tempfile),
// the sessions share the one installed library, its globals and the answer text it hands
// out: calls of different sessions are taken one at a time there, and each answer is
// copied before the next call may replace it.
TEST_F(ConcurrentSessionTest, SessionsSharingTheInstalledLibraryGetTheirOwnAnswers) {
    const fs::path tempFolder = workFolderPath() / "Tempfile";
    fs::remove_all(tempFolder);
    writeFile(tempFolder, "no folder here: every copy fails");
    constexpr int sessionCount = 6;
    std::vector<std::string> ids;
    for (int i = 0; i < sessionCount; ++i) {
        ids.push_back(openSession("https://page" + std::to_string(i) + ".example"));
        ASSERT_EQ(slot(slotOf(ids.back())).dllPath, installedAdapter().string()) << i;
    }

    constexpr int callsPerSession = 300;
    std::vector<std::vector<std::string>> failures(sessionCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < sessionCount; ++t) {
        threads.emplace_back([&, t] {
            const std::string origin = "https://page" + std::to_string(t) + ".example";
            for (int i = 0; i < callsPerSession; ++i) {
                // Lengths that differ, so a freed or regrown text cannot pass for another.
                const std::string text =
                    "session " + std::to_string(t) + " call " + std::to_string(i) +
                    std::string(static_cast<std::size_t>(1 + (i * 37 + t) % 300),
                                static_cast<char>('a' + t));
                JsonMapPtr answer = send({{"FunctionName", "TestAdapter_Echo"},
                                          {"SessionId", ids[static_cast<std::size_t>(t)]},
                                          {"text", text}},
                                         origin);
                const std::string result = answerValue(answer, "result").value_or("<none>");
                if (result != text)
                    failures[static_cast<std::size_t>(t)].push_back(std::to_string(i) + " gave " +
                                                                    result.substr(0, 40));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < sessionCount; ++t)
        EXPECT_THAT(failures[static_cast<std::size_t>(t)], ::testing::IsEmpty()) << t;
    // Releases of sessions that share the library leave it loaded for the others.
    send({{"FunctionName", "TessarollForceRelease"}, {"SessionId", ids[0]}},
         "https://page0.example");
    EXPECT_EQ(answerValue(send({{"FunctionName", "TestAdapter_Echo"},
                                {"SessionId", ids[1]},
                                {"text", "still here"}},
                               "https://page1.example"),
                          "result"),
              "still here");
}

// Many pages on many threads, more sessions than slots (so sessions are evicted while
// others run), slow and quick calls mixed, and the final release while requests still
// come: every answer belongs to its page, and no copy outlives its session.
TEST_F(ConcurrentSessionTest, ManyPagesWithEvictionsAndAFinalReleaseCrossNothing) {
    constexpr int threadCount = 8;
    constexpr int sessionsPerThread = 5;  // 40 sessions for 32 slots
    std::atomic<bool> closing{false};     // set before the final release begins
    std::atomic<bool> released{false};    // set once it has ended
    std::atomic<int> answeredAfterRelease{0};
    std::vector<std::vector<std::string>> failures(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            const std::string origin = "https://page" + std::to_string(t) + ".example";
            auto fail = [&](const std::string& what) {
                failures[static_cast<std::size_t>(t)].push_back(what);
            };
            for (int i = 0; i < 60; ++i) {
                const bool late = released.load();
                // The page names its sessions, so an evicted one reopens under the same id.
                const std::string id =
                    "T" + std::to_string(t) + "S" + std::to_string(i % sessionsPerThread);
                const std::string mark = origin + " " + std::to_string(i);
                JsonMapPtr request = makeRequest(
                    {{"FunctionName", i % 5 == 4 ? "TestAdapter_Sleep" : "TestAdapter_Origin"},
                     {"SessionId", id},
                     {"ms", "20"},
                     {"PathID", tableId},
                     {"minServerVersion", "1.0.23.0510"}});
                JsonMapPtr answer = send(request, origin);
                if (late) {
                    if (answer) ++answeredAfterRelease;
                    continue;
                }
                if (!answer) {
                    if (!closing.load()) fail("no answer " + mark);
                    continue;
                }
                const std::string result = answerValue(answer, "result").value_or("<none>");
                const std::string expected = i % 5 == 4 ? "slept 20" : origin;
                if (result != expected) fail(mark + " gave " + result);
                // An evicted session opens again on its next request.
                JsonMapPtr value = send({{"FunctionName", "setTessarollValue"},
                                         {"SessionId", id},
                                         {"channel", origin},
                                         {"domain_list", origin.substr(8)},
                                         {"value", mark},
                                         {"PathID", tableId},
                                         {"minServerVersion", "1.0.23.0510"}},
                                        origin);
                if (value && answerValue(value, "result") == "0") {
                    JsonMapPtr read = send({{"FunctionName", "getTessarollValue"},
                                            {"SessionId", id},
                                            {"channel", origin},
                                            {"PathID", tableId},
                                            {"minServerVersion", "1.0.23.0510"}},
                                           origin);
                    // 61005: evicted in between, and the new session's first call went to its
                    // adapter.
                    const std::string got = answerValue(read, "result").value_or("<none>");
                    if (read && got != mark && got != "61005" && !closing.load())
                        fail("value " + mark + " gave " + got);
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    closing = true;
    service_->releaseAll();
    released = true;
    for (auto& thread : threads) thread.join();

    for (int t = 0; t < threadCount; ++t)
        EXPECT_THAT(failures[static_cast<std::size_t>(t)], ::testing::IsEmpty()) << t;
    EXPECT_EQ(answeredAfterRelease.load(), 0);
    EXPECT_EQ(slotsInUse(), 0);
    int copies = 0;
    for (const auto& entry : fs::recursive_directory_iterator(workFolderPath() / "Tempfile"))
        copies += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(copies, 0);
    // Every copy that was called, a spare that was started up and never taken among them,
    // was also told to release, once.
    std::map<std::string, int> releases;
    std::istringstream events(adapterEvents());
    for (std::string instance, function; events >> instance >> function;) {
        if (function == "unloaded") continue;
        releases.try_emplace(instance, 0);
        if (function == "Tessaroll_Release") ++releases[instance];
    }
    EXPECT_FALSE(releases.empty());
    for (const auto& [instance, count] : releases) EXPECT_EQ(count, 1) << instance;
}

}  // namespace
