// Origins a hostile client sends, over real HTTPS: none of them opens a session or comes
// back as allowed, neither in an answer nor in a preflight.
#include <gmock/gmock.h>

#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;
using ::testing::HasSubstr;

namespace {

class OriginsTest : public ServiceTest {};

const HttpHeaders hostileHeaders[] = {
    {{"Origin", "httpx://evil"}},
    {{"Origin", "https://evil.example/path"}},
    {{"Origin", "https://a.example, https://b.example"}},
    {{"Origin", "https://user@evil.example"}},
    {{"Origin", "https://evil.example:99999"}},
    {{"Origin", "https://evil.example/"},
     {"Referer", "https://evil.example/"}},  // no fallback past a bad Origin
    {{"Origin", "null"}, {"Referer", "httpx://evil/page"}},
    {{"Origin", "null"}, {"Referer", "https://user@evil.example/page"}},
    {{"Referer", "https://a.example, https://b.example/"}},
};

TEST_F(OriginsTest, MalformedOriginIsAMissingOriginAndNeverEchoed) {
    HttpsClient client(clientOptions());
    for (const auto& headers : hostileHeaders) {
        auto response = postRequest(client, echoRequest(), headers);
        ASSERT_TRUE(response) << headers.front().second;
        EXPECT_EQ(decodeAnswer(response->body),
                  (std::map<std::string, std::string>{{"result", "61012"}}))
            << headers.front().second;
        EXPECT_FALSE(response->header("Access-Control-Allow-Origin")) << headers.front().second;
    }
    EXPECT_THAT(service->log(), HasSubstr("Malformed origin: httpx://evil"));
    // The next page is served as before.
    HttpsClient page(clientOptions());
    EXPECT_FALSE(openSession(page).empty());
}

TEST_F(OriginsTest, PreflightEchoesOnlyAWellFormedOrigin) {
    struct Case {
        const char* origin;
        std::optional<std::string> echoed;
    };
    const Case cases[] = {
        {pageOrigin, pageOrigin},
        {"https://[::1]:8443", "https://[::1]:8443"},
        {"httpx://evil", std::nullopt},
        {"https://evil.example/path", std::nullopt},
        {"https://a.example, https://b.example", std::nullopt},
        {"null", std::nullopt},
    };
    for (const auto& c : cases) {
        HttpsClient client(clientOptions());
        auto response = client.request("OPTIONS", "/",
                                       {{"Origin", c.origin},
                                        {"Access-Control-Request-Method", "POST"},
                                        {"Access-Control-Request-Private-Network", "true"}});
        ASSERT_TRUE(response) << c.origin;
        EXPECT_EQ(response->status, 204) << c.origin;
        EXPECT_EQ(response->header("Access-Control-Allow-Origin"), c.echoed) << c.origin;
    }
}

}  // namespace
