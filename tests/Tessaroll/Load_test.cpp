// Many pages at once on all six listeners: every answer must belong to its own request,
// with nothing lost or crossed between sessions, listeners or value-store channels.
#include <gmock/gmock.h>

#include <atomic>
#include <thread>

#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;

namespace {

class LoadTest : public ServiceTest {};

TEST_F(LoadTest, EightClientsOnAllListenersGetTheirOwnAnswers) {
    constexpr int threadCount = 8;
    constexpr int requestsPerThread = 200;
    std::atomic<int> answered{0};
    std::vector<std::string> failures[threadCount];
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            auto fail = [&](std::string what) { failures[t].push_back(std::move(what)); };
            AllListeners listeners(t);
            auto post = [&](int i, const std::string& json) { return listeners.post(i, json); };
            auto opened = post(0, echoRequest());
            if (!opened || (*opened)["result"] != "0") return fail("echo did not open a session");
            const std::string session = (*opened)["SessionID"];
            const std::string channel = "load-channel-" + std::to_string(t);
            for (int i = 1; i <= requestsPerThread; ++i) {
                const std::string mark =
                    "thread " + std::to_string(t) + " request " + std::to_string(i);
                if (i % 4 == 0) {
                    auto stored = post(
                        i, sessionRequest(
                               session, "setTessarollValue",
                               R"("channel": ")" + channel +
                                   R"(", "domain_list": "localhost", "timeout": "5", "value": ")" +
                                   mark + "\""));
                    if (!stored || (*stored)["result"] != "0") {
                        fail("set " + mark);
                        continue;
                    }
                    auto read = post(i + 1, sessionRequest(session, "getTessarollValue",
                                                           R"("channel": ")" + channel + "\""));
                    if (!read || (*read)["result"] != mark)
                        fail("get " + mark + " gave " + (read ? (*read)["result"] : "nothing"));
                } else if (i % 4 == 1) {
                    auto echo = post(i, sessionRequest(session, "Echo"));
                    if (!echo || (*echo)["result"] != "0" ||
                        (*echo)["ServerVersion"] != "1.0.23.0510")
                        fail("echo " + mark);
                } else {
                    auto echoed = post(i, sessionRequest(session, "TestAdapter_Echo",
                                                         R"("text": ")" + mark + "\""));
                    if (!echoed || (*echoed)["result"] != mark)
                        fail("adapter echo " + mark + " gave " +
                             (echoed ? (*echoed)["result"] : "nothing"));
                }
                ++answered;
            }
            // Every request reached this session's own copy, which was unlocked once.
            auto counters = post(0, sessionRequest(session, "TestAdapter_Counters"));
            if (!counters || (*counters)["result"].find(" unlock=1 ") == std::string::npos)
                fail("counters " + (counters ? (*counters)["result"] : "nothing"));
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < threadCount; ++t)
        EXPECT_THAT(failures[t], ::testing::IsEmpty()) << "thread " << t;
    EXPECT_EQ(answered.load(), threadCount * requestsPerThread);
}

}  // namespace
