// The form field "Parameter" has an upper size: a request at the bound is answered, one
// just above it is closed without an answer, and the service goes on serving.
#include <gmock/gmock.h>

#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;

namespace {

constexpr std::size_t kParameterLimit = 64u * 1024 * 1024;

class ParameterLimitTest : public ServiceTest {};

// An echo request padded with blanks so that its Base64 text is exactly `base64Length` long.
std::string paddedEcho(std::size_t base64Length) {
    const std::size_t jsonLength = base64Length / 4 * 3;
    std::string json = echoRequest();
    json.pop_back();  // the closing brace
    json.append(jsonLength - json.size() - 1, ' ');
    json.push_back('}');
    return base64Encode(json);
}

TEST_F(ParameterLimitTest, FieldAboveTheBoundIsClosedAndTheServiceGoesOn) {
    const std::string atLimit = paddedEcho(kParameterLimit);
    ASSERT_EQ(atLimit.size(), kParameterLimit);
    {
        HttpsClient client(clientOptions());
        auto response = client.postForm({{"Parameter", atLimit}}, {{"Origin", pageOrigin}});
        ASSERT_TRUE(response) << client.lastError();
        auto answer = decodeAnswer(response->body);
        ASSERT_TRUE(answer);
        EXPECT_EQ((*answer)["result"], "0");
    }
    {
        const std::string aboveLimit = paddedEcho(kParameterLimit + 4);
        ASSERT_GT(aboveLimit.size(), kParameterLimit);
        HttpsClient client(clientOptions());
        EXPECT_FALSE(client.postForm({{"Parameter", aboveLimit}}, {{"Origin", pageOrigin}}));
        EXPECT_TRUE(service->waitForLog("Request parameter too large: Close connection"));
    }
    // The same field split over two entries also counts as one.
    {
        const std::string half(kParameterLimit / 2 + 1, 'A');
        HttpsClient client(clientOptions());
        EXPECT_FALSE(
            client.postForm({{"Parameter", half}, {"Parameter", half}}, {{"Origin", pageOrigin}}));
    }
    HttpsClient client(clientOptions());
    EXPECT_FALSE(openSession(client).empty());
}

}  // namespace
