// Sessions end to end: the staged main program runs from a sandbox install with the test
// adapter as its plug-in, and the test talks to it over HTTPS as a page would.
#include <filesystem>
#include <map>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"
#include "helpers/SessionText.h"

namespace fs = std::filesystem;
using namespace testing_support;
static const std::string& tableId = adapterPathId;

namespace {

const std::string pageOrigin = "https://pages.example.com";

class ServiceSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(canConnect("127.0.0.1", servicePorts[0]))
            << "another program holds the service's ports";
        ServiceOptions options;
        options.adapter = fs::path(TEST_ADAPTER_PATH);
        options.environment["TESSAROLL_TEST_ADAPTER_EVENTS"] =
            (sandbox_.root() / "adapter-events.txt").string();
        service_.emplace(sandbox_, options);
        ASSERT_TRUE(service_->waitListening()) << service_->log();
        HttpsClientOptions clientOptions;
        clientOptions.trustFile = Service::rootCertificate(false).string();
        client_.emplace(clientOptions);
    }
    void TearDown() override {
        client_.reset();
        if (service_) service_->stop();
    }

    // The raw answer body and its decoded pairs.
    std::pair<std::string, std::map<std::string, std::string>> call(
        const std::string& json, const std::string& origin = pageOrigin) {
        std::optional<HttpsResponse> response = postRequest(*client_, json, {{"Origin", origin}});
        if (!response) return {};
        EXPECT_EQ(response->status, 200);
        return {response->body,
                decodeAnswer(response->body).value_or(std::map<std::string, std::string>{})};
    }
    std::string result(const std::string& json, const std::string& origin = pageOrigin) {
        auto answer = call(json, origin).second;
        return answer.count("result") ? answer["result"] : "<none>";
    }
    std::string openSession(const std::string& origin = pageOrigin) {
        auto answer = call(R"({"FunctionName": "Echo", "PathID": ")" + tableId +
                               R"(", "minServerVersion": "1.0.23.0510"})",
                           origin)
                          .second;
        EXPECT_EQ(answer["result"], "0");
        return answer["SessionID"];
    }
    std::string counters(const std::string& id) {
        return result(R"({"FunctionName": "TestAdapter_Counters", "SessionId": ")" + id + R"("})");
    }
    std::string adapterEvents() const { return readFile(sandbox_.root() / "adapter-events.txt"); }
    fs::path slotFolder(int index) const {
        return service_->workFolder() / "Tempfile" / ("Session_" + std::to_string(index));
    }
    // The sessions' copies; the spare made ahead for the next session lies beside them.
    int copiesOnDisk() const {
        int copies = 0;
        for (int i = 0; i < 32; ++i)  // the service's slots
            for (const auto& entry : fs::directory_iterator(slotFolder(i)))
                copies += entry.is_regular_file() ? 1 : 0;
        return copies;
    }
    // A session that took the spare finds its copy's file in its slot's folder once it has
    // its answer and the service has moved the file there.
    bool copiesOnDiskBecome(int expected) const {
        return testing_support::waitUntil([&] { return copiesOnDisk() == expected; },
                                          std::chrono::seconds(5));
    }

    Sandbox sandbox_;
    std::optional<Service> service_;
    std::optional<HttpsClient> client_;
};

TEST_F(ServiceSessionTest, EchoOpensASessionAndItsNextRequestNeedsNoNewUnlock) {
    auto [body, answer] = call(R"({"FunctionName": "Echo", "PathID": ")" + tableId +
                               R"(", "minServerVersion": "1.0.23.0510"})");
    const std::string id = answer["SessionID"];
    ASSERT_TRUE(isGeneratedSessionId(id)) << body;
    // Every value Base64, keys in the map's order.
    EXPECT_EQ(body, R"({"LibVersion": ")" + base64Encode("1,0,21,827") +
                        R"(", "result": "MA==", "ServerVersion": ")" + base64Encode("1.0.23.0510") +
                        R"(", "SessionID": ")" + base64Encode(id) + R"("})");

    const std::string first = counters(id);
    EXPECT_NE(first.find("unlock=1 version=1 release=0"), std::string::npos) << first;
    // Another connection, another listener: the same session and copy.
    HttpsClientOptions other;
    other.address = "::1";
    other.port = 56682;
    other.trustFile = Service::rootCertificate(false).string();
    HttpsClient elsewhere(other);
    std::optional<HttpsResponse> response = postRequest(
        elsewhere, R"({"FunctionName": "TestAdapter_Counters", "SessionId": ")" + id + R"("})",
        {{"Origin", pageOrigin}});
    ASSERT_TRUE(response);
    const std::string second =
        decodeAnswer(response->body).value_or(std::map<std::string, std::string>{})["result"];
    EXPECT_EQ(instanceOf(second), instanceOf(first));
    EXPECT_NE(second.find("unlock=1 version=1 release=0"), std::string::npos) << second;
    EXPECT_EQ(occurrences(adapterEvents(), "Tessaroll_Unlock"), 1u);

    // A hidden result reaches the page whole; only its log line is masked.
    EXPECT_EQ(result(R"({"FunctionName": "TestAdapter_Echo", "SessionId": ")" + id +
                     R"(", "text": "s3cret", "hide_result": "TRUE"})"),
              "s3cret");
    EXPECT_TRUE(service_->waitForLog(" Component result: ******")) << service_->log();
    EXPECT_EQ(service_->log().find("Component result: s3cret"), std::string::npos);
}

TEST_F(ServiceSessionTest, PathTableAndVersionGates) {
    struct Case {
        std::string json;
        std::string result;
    };
    const Case cases[] = {
        {R"({"FunctionName": "Echo", "LibDir": "Elsewhere", "ComName": "ZEFAVZDediGPKICryptATLAdapter", "minServerVersion": "1.0.23.0510"})",
         "61009"},
        {R"({"FunctionName": "Echo", "LibDir": "..", "ComName": "ZEFAVZDediGPKICryptATLAdapter", "minServerVersion": "1.0.23.0510"})",
         "61009"},
        {R"({"FunctionName": "Echo", "minServerVersion": "1.0.23.0510"})", "61009"},
        {R"({"FunctionName": "Echo", "PathID": ")" + tableId + R"("})", "61203"},
        {R"({"FunctionName": "Echo", "PathID": ")" + tableId +
             R"(", "minServerVersion": "1.0.24.0"})",
         "61203"},
        {R"({"FunctionName": "Echo", "PathID": ")" + tableId +
             R"(", "minServerVersion": "1.0.23.0510", "minLibVersion": "1.0"})",
         "61204"},
        {R"({"FunctionName": "Echo", "PathID": ")" + tableId +
             R"(", "minServerVersion": "1.0.23.0510", "minLibVersion": "1.0.21.900"})",
         "61204"},
        {R"({"FunctionName": "Echo", "LibDir": "ZEFAGPKI", "ComName": "ZEFAVZDediGPKICryptATLAdapter", "minServerVersion": "1.0.23.0510", "minLibVersion": "1.0.21.827"})",
         "0"},
    };
    for (const Case& c : cases) {
        auto answer = call(c.json).second;
        EXPECT_EQ(answer["result"], c.result) << c.json;
        if (c.result != "0") {
            EXPECT_EQ(answer.size(), 1u) << c.json;
        }
    }
    EXPECT_TRUE(copiesOnDiskBecome(1)) << copiesOnDisk();  // only the one session that opened
}

TEST_F(ServiceSessionTest, ThirtyThirdSessionEvictsTheOldestAndDeletesItsCopy) {
    std::vector<std::string> ids;
    for (int i = 0; i < 32; ++i) ids.push_back(openSession());
    ASSERT_TRUE(copiesOnDiskBecome(32)) << copiesOnDisk();
    const std::string oldestInstance = instanceOf(counters(ids[0]));

    const std::string newcomer = openSession();
    EXPECT_TRUE(copiesOnDiskBecome(32)) << copiesOnDisk();
    EXPECT_NE(adapterEvents().find(oldestInstance + " Tessaroll_Release"), std::string::npos);
    EXPECT_TRUE(service_->waitForLog("Delete adapter state: Success")) << service_->log();
    // The newcomer runs a fresh copy in the evicted slot (a leftover copy would have
    // blocked it and sent it to the installed library).
    const std::string fresh = counters(newcomer);
    EXPECT_NE(instanceOf(fresh), oldestInstance);
    EXPECT_NE(fresh.find("unlock=1"), std::string::npos);
    EXPECT_EQ(occurrences(service_->log(), "Copied adapter: Active"), 33u);
    // The evicted page's id no longer reaches any copy it had.
    EXPECT_NE(instanceOf(counters(ids[0])), oldestInstance);

    // Ending the service releases every session and deletes every copy.
    EXPECT_EQ(service_->stop(), 0);
    service_.reset();
    int copies = 0;
    for (const auto& entry : fs::recursive_directory_iterator(sandbox_.dataHome() /
                                                              "ZEFAGPKITessarollMain" / "Tempfile"))
        copies += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(copies, 0);
}

TEST_F(ServiceSessionTest, ValueStoreAcrossPagesAndOrigins) {
    const std::string writer = openSession("https://shop.example.com");
    const std::string reader = openSession("https://pay.example.net");
    auto set = [&](const std::string& channel, const std::string& domains,
                   const std::string& timeout) {
        return result(R"({"FunctionName": "setTessarollValue", "SessionId": ")" + writer +
                          R"(", "channel": ")" + channel + R"(", "domain_list": ")" + domains +
                          R"(", "timeout": ")" + timeout + R"(", "value": "order 4711"})",
                      "https://shop.example.com");
    };
    // Sessions answer only the origin that opened them: each reading page has its own.
    std::map<std::string, std::string> readers{{"https://pay.example.net", reader}};
    auto get = [&](const std::string& channel, const std::string& origin) {
        if (!readers.count(origin)) readers[origin] = openSession(origin);
        return result(R"({"FunctionName": "getTessarollValue", "SessionId": ")" + readers[origin] +
                          R"(", "channel": ")" + channel + R"("})",
                      origin);
    };
    EXPECT_EQ(set("basket", "shop.example.com; .example.net", "true"), "0");
    EXPECT_EQ(get("Basket", "https://pay.example.net:8443"), "order 4711");
    EXPECT_EQ(get("basket", "https://example.net"), "");
    EXPECT_EQ(get("basket", "https://evil.example.org"), "");
    EXPECT_EQ(set("open", "", "10"), "0");
    EXPECT_EQ(get("open", "https://pay.example.net"), "");

    for (int i = 2; i < 16; ++i)
        EXPECT_EQ(set("c" + std::to_string(i), "shop.example.com", "10"), "0");
    EXPECT_EQ(set("one-too-many", "shop.example.com", "10"), "61019");
    // A list in capitals, as a page may write it.
    EXPECT_EQ(set("c2", "SHOP.EXAMPLE.COM; .EXAMPLE.NET", "10"), "0");
    EXPECT_EQ(get("c2", "https://pay.example.net"), "order 4711");
}

}  // namespace

namespace {

// A page of another origin that presents a live session's id is a page without a session:
// it gets one of its own under a new id and never reaches the first page's copy.
TEST_F(ServiceSessionTest, AnotherOriginPresentingASessionIdGetsItsOwnSession) {
    const std::string id = openSession();
    const std::string instance = instanceOf(counters(id));
    auto answer =
        call(R"({"FunctionName": "TestAdapter_Counters", "SessionId": ")" + id +
                 R"(", "PathID": ")" + tableId + R"(", "minServerVersion": "1.0.23.0510"})",
             "https://evil.example")
            .second;
    EXPECT_TRUE(isGeneratedSessionId(answer["SessionID"])) << answer["SessionID"];
    EXPECT_NE(answer["SessionID"], id);
    EXPECT_NE(instanceOf(answer["result"]), instance);
    EXPECT_THAT(counters(id),
                ::testing::HasSubstr(instance + " unlock=1 version=1 release=0 calls=4"));
}

}  // namespace
