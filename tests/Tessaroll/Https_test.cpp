// The request handler seen from a page: preflight, Host and origin rules, methods, TLS
// versions, response headers and the form field, over real HTTPS to the running service.
#include <gmock/gmock.h>
#include <gnutls/gnutls.h>

#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;
using ::testing::HasSubstr;

namespace {

class HttpsTest : public ServiceTest {};

TEST_F(HttpsTest, PrivateNetworkPreflightIsAnsweredWithItsFourHeadersAndNoBody) {
    HttpsClient client(clientOptions());
    auto response = client.request("OPTIONS", "/",
                                   {{"Origin", pageOrigin},
                                    {"Access-Control-Request-Method", "POST"},
                                    {"Access-Control-Request-Private-Network", "true"}});
    ASSERT_TRUE(response) << client.lastError();
    EXPECT_EQ(response->status, 204);
    EXPECT_EQ(response->header("Access-Control-Allow-Origin"), pageOrigin);
    EXPECT_EQ(response->header("Access-Control-Allow-Methods"), "POST");
    EXPECT_EQ(response->header("Access-Control-Allow-Private-Network"), "true");
    EXPECT_EQ(response->header("Access-Control-Max-Age"), "30");
    EXPECT_FALSE(response->header("X-XSS-Protection"));
    EXPECT_TRUE(response->body.empty());

    // Anything short of the exact private-network preflight is closed without an answer.
    const HttpHeaders incomplete[] = {
        {{"Origin", pageOrigin}, {"Access-Control-Request-Method", "POST"}},
        {{"Origin", pageOrigin},
         {"Access-Control-Request-Method", "GET"},
         {"Access-Control-Request-Private-Network", "true"}},
        {{"Origin", pageOrigin},
         {"Access-Control-Request-Method", "POST"},
         {"Access-Control-Request-Private-Network", "TRUE"}},
    };
    for (const auto& headers : incomplete) {
        HttpsClient other(clientOptions());
        EXPECT_FALSE(other.request("OPTIONS", "/", headers)) << headers.back().second;
    }
}

TEST_F(HttpsTest, OtherMethodsAndNonFormBodiesAreClosedWithoutAnswer) {
    for (const char* method : {"GET", "HEAD", "PUT"}) {
        HttpsClient client(clientOptions());
        EXPECT_FALSE(client.request(method, "/", {{"Origin", pageOrigin}})) << method;
    }
    HttpsClient json(clientOptions());
    EXPECT_FALSE(json.request("POST", "/",
                              {{"Content-Type", "application/json"}, {"Origin", pageOrigin}},
                              "{\"FunctionName\": \"Echo\"}"));
    // A form field without a Content-Type is no form either.
    HttpsClient untyped(clientOptions());
    EXPECT_FALSE(untyped.request("POST", "/", {{"Origin", pageOrigin}},
                                 formBody({{"Parameter", base64Encode(echoRequest())}})));
    EXPECT_TRUE(service->waitForLog("Request method error: GET"));
    EXPECT_THAT(service->log(), HasSubstr("Request method error: HEAD"));
}

TEST_F(HttpsTest, HostMustBeLoopbackNameWithPort) {
    struct Case {
        std::string host;
        std::string path;
    };
    const Case refused[] = {
        {"[::1]:56482", "/"},
        {"localhost", "/"},
        {"127.0.0.1", "/"},
        {"evil.example:56482", "/"},
        {"LOCALHOST:56482", "/"},
        // A query argument named like the header must not stand in for it.
        {"evil.example:56482", "/?host=localhost:56482"},
    };
    HttpsClient client(clientOptions());
    for (const auto& c : refused) {
        auto response = client.postForm({{"Parameter", base64Encode(echoRequest())}},
                                        {{"Host", c.host}, {"Origin", pageOrigin}}, c.path);
        ASSERT_TRUE(response) << c.host << ": " << client.lastError();
        auto answer = decodeAnswer(response->body);
        ASSERT_TRUE(answer) << response->body;
        EXPECT_EQ(*answer, (std::map<std::string, std::string>{{"result", "61904"}})) << c.host;
        EXPECT_FALSE(response->header("Access-Control-Allow-Origin")) << c.host;
    }
    // A refused request leaves nothing behind: the next one on the same connection is whole.
    for (const char* host : {"localhost:56482", "127.0.0.1:56482"}) {
        auto answer = call(client, echoRequest(), {{"Host", host}, {"Origin", pageOrigin}});
        ASSERT_TRUE(answer) << host;
        EXPECT_EQ((*answer)["result"], "0") << host;
        EXPECT_EQ((*answer)["SessionID"].size(), 12u);
    }
}

TEST_F(HttpsTest, OnlyTls12AndTls13AreAccepted) {
    struct Case {
        TlsVersion version;
        int protocol;  // 0: the handshake must fail
    };
    const Case cases[] = {{TlsVersion::Tls10, 0},
                          {TlsVersion::Tls11, 0},
                          {TlsVersion::Tls12, GNUTLS_TLS1_2},
                          {TlsVersion::Tls13, GNUTLS_TLS1_3}};
    for (const auto& c : cases) {
        for (const char* address : {"127.0.0.1", "::1"}) {
            auto options = clientOptions(servicePorts[1], address);
            options.version = c.version;
            HttpsClient client(options);
            const bool connected = client.connect();
            if (c.protocol == 0) {
                EXPECT_FALSE(connected) << address << " version " << int(c.version);
                continue;
            }
            ASSERT_TRUE(connected) << address << ": " << client.lastError();
            EXPECT_EQ(client.protocol(), c.protocol);
            auto answer = call(client, echoRequest());
            ASSERT_TRUE(answer);
            EXPECT_EQ((*answer)["result"], "0");
        }
    }
    EXPECT_THAT(service->log(), HasSubstr("TLS version: TLS 1.2"));
    EXPECT_THAT(service->log(), HasSubstr("TLS version: TLS 1.3"));
}

TEST_F(HttpsTest, OriginIsRebuiltFromTheRefererWhenMissing) {
    HttpsClient client(clientOptions());
    auto response =
        postRequest(client, echoRequest(),
                    {{"Origin", "null"}, {"Referer", "https://localhost:8443/app/page.html"}});
    ASSERT_TRUE(response);
    EXPECT_EQ(response->header("Access-Control-Allow-Origin"), "https://localhost:8443");
    auto answer = decodeAnswer(response->body);
    ASSERT_TRUE(answer);
    ASSERT_EQ((*answer)["result"], "0");
    // The adapter was unlocked for the rebuilt origin, without the path.
    auto origin = call(client, sessionRequest((*answer)["SessionID"], "TestAdapter_Origin"));
    ASSERT_TRUE(origin);
    EXPECT_EQ((*origin)["result"], "https://localhost:8443");

    const HttpHeaders unusable[] = {
        {},
        {{"Origin", "null"}},
        {{"Origin", ""}, {"Referer", "null"}},
        {{"Referer", "about:blank"}},
    };
    for (const auto& headers : unusable) {
        auto refused = postRequest(client, echoRequest(), headers);
        ASSERT_TRUE(refused);
        EXPECT_EQ(decodeAnswer(refused->body),
                  (std::map<std::string, std::string>{{"result", "61012"}}));
        EXPECT_FALSE(refused->header("Access-Control-Allow-Origin"));
    }
}

// Each answer carries the headers of its own request, also where the service answers
// many Echoes on an open session with one kept text: the cases run on new sessions, then on
// one open session forwards and back, so an answer made for one case cannot pass for another.
TEST_F(HttpsTest, AnswerHeadersFollowTheConnectionHeaderAndTheOrigin) {
    struct Case {
        const char* connection;
        bool keepAlive;
    };
    const Case cases[] = {{"keep-alive", true}, {"Keep-Alive", true}, {"close", false},
                          {nullptr, false},     {"close", false},     {"keep-alive", true}};
    HttpsClient opener(clientOptions());
    const std::string session = openSession(opener);
    ASSERT_FALSE(session.empty());
    for (const std::string& request : {echoRequest(), sessionRequest(session, "Echo")}) {
        for (const auto& c : cases) {
            HttpsClient client(clientOptions());
            HttpHeaders headers = {{"Origin", pageOrigin}};
            if (c.connection) headers.emplace_back("Connection", c.connection);
            auto response = postRequest(client, request, headers);
            ASSERT_TRUE(response);
            EXPECT_EQ(response->header("Keep-Alive").has_value(), c.keepAlive)
                << (c.connection ? c.connection : "none");
            if (c.keepAlive) {
                EXPECT_EQ(response->header("Keep-Alive"), "timeout=15, max=100");
            }
            EXPECT_EQ(response->header("X-XSS-Protection"), "1; mode=block");
            EXPECT_EQ(response->header("Access-Control-Allow-Origin"), pageOrigin);
            EXPECT_FALSE(response->header("Content-Type"));
            auto answer = decodeAnswer(response->body);
            ASSERT_TRUE(answer);
            EXPECT_EQ((*answer)["result"], "0");
        }
    }

    // Another page's session is answered with that page's origin, between Echoes of the first.
    const std::string otherOrigin = "https://other.example:8443";
    HttpsClient other(clientOptions());
    auto otherOpened = call(other, echoRequest(), {{"Origin", otherOrigin}});
    ASSERT_TRUE(otherOpened);
    const std::string otherSession = (*otherOpened)["SessionID"];
    ASSERT_FALSE(otherSession.empty());
    for (int round = 0; round < 2; ++round) {
        auto first = postRequest(opener, sessionRequest(session, "Echo"), {{"Origin", pageOrigin}});
        auto second =
            postRequest(other, sessionRequest(otherSession, "Echo"), {{"Origin", otherOrigin}});
        ASSERT_TRUE(first && second);
        EXPECT_EQ(first->header("Access-Control-Allow-Origin"), pageOrigin);
        EXPECT_EQ(second->header("Access-Control-Allow-Origin"), otherOrigin);
    }
}

// "max=100" holds: preflights and posts alike count, the hundredth answer on one connection
// says it closes, and the next request gets a fresh connection counted from one again.
TEST_F(HttpsTest, HundredthAnswerOnOneConnectionClosesIt) {
    HttpsClient opener(clientOptions());
    const std::string session = openSession(opener);
    ASSERT_FALSE(session.empty());
    const HttpHeaders keepAlive = {{"Origin", pageOrigin}, {"Connection", "keep-alive"}};
    const std::string echo = sessionRequest(session, "Echo");
    HttpsClient client(clientOptions());
    for (int answer = 1; answer <= 101; ++answer) {
        std::optional<HttpsResponse> response;
        if (answer % 10 == 0)
            response = client.request("OPTIONS", "/",
                                      {{"Origin", pageOrigin},
                                       {"Access-Control-Request-Method", "POST"},
                                       {"Access-Control-Request-Private-Network", "true"}});
        else
            response = postRequest(client, echo, keepAlive);
        ASSERT_TRUE(response) << "answer " << answer << ": " << client.lastError();
        ASSERT_EQ(response->header("Connection") == "close", answer == 100) << "answer " << answer;
        if (answer % 10 != 0) {
            auto decoded = decodeAnswer(response->body);
            ASSERT_TRUE(decoded) << "answer " << answer;
            EXPECT_EQ((*decoded)["result"], "0") << "answer " << answer;
        }
    }
}

TEST_F(HttpsTest, LongParameterFieldIsJoinedAndOtherFieldsIgnored) {
    HttpsClient client(clientOptions());
    const std::string session = openSession(client);
    ASSERT_FALSE(session.empty());
    // Far beyond the form processor's 8 KiB buffer, so the field arrives in many pieces.
    std::string text;
    for (int i = 0; text.size() < 100000; ++i) text += std::to_string(i) + ",";
    const std::string json =
        sessionRequest(session, "TestAdapter_Echo", R"("text": ")" + text + "\"");
    auto response =
        client.postForm({{"Before", "x"}, {"Parameter", base64Encode(json)}, {"After", "y"}},
                        {{"Origin", pageOrigin}});
    ASSERT_TRUE(response) << client.lastError();
    auto answer = decodeAnswer(response->body);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["result"], text);
}

TEST_F(HttpsTest, IPv4PeerOtherThanLoopbackOneIsRefused) {
    auto options = clientOptions();
    options.sourceAddress = "127.0.0.2";
    HttpsClient client(options);
    EXPECT_FALSE(client.connect());
    EXPECT_TRUE(service->waitForLog("Illegal connection ip: 127.0.0.2"));
}

}  // namespace
