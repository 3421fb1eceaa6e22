// The README's worked request and answer for page authors hold against the running service.
#include <gmock/gmock.h>

#include <sstream>

#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;

namespace {

class ReadmeTest : public ServiceTest {};

// The indented README line that begins with `start`, without its indentation.
std::string readmeLine(const std::string& start) {
    std::istringstream readme(readFile(std::filesystem::path(TESSAROLL_SOURCE_DIR) / "README.md"));
    const std::string section = "## Calling the service from a page";
    bool inSection = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.starts_with("## ")) inSection = line == section;
        if (inSection && line.starts_with("    " + start)) return line.substr(4);
    }
    return {};
}

TEST_F(ReadmeTest, WorkedEchoRequestGetsTheDocumentedAnswer) {
    const std::string json = readmeLine("{\"FunctionName\"");
    const std::string form = readmeLine("Parameter=");
    const std::string documented = readmeLine("{\"LibVersion\"");
    ASSERT_FALSE(json.empty());
    ASSERT_FALSE(documented.empty());
    EXPECT_EQ(form, "Parameter=" + urlEscape(base64Encode(json)));

    HttpsClient client(clientOptions());
    auto response = client.request("POST", "/",
                                   {{"Content-Type", "application/x-www-form-urlencoded"},
                                    {"Origin", "http://127.0.0.1:8000"}},
                                   form);
    ASSERT_TRUE(response) << client.lastError();
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->header("Access-Control-Allow-Origin"), "http://127.0.0.1:8000");
    auto answer = decodeAnswer(response->body);
    auto expected = decodeAnswer(documented);
    ASSERT_TRUE(answer) << response->body;
    ASSERT_TRUE(expected) << documented;
    EXPECT_THAT((*answer)["SessionID"], ::testing::MatchesRegex("[0-9A-Z]{8}_SID"));
    (*answer)["SessionID"] = (*expected)["SessionID"];  // new every time
    EXPECT_EQ(*answer, *expected);
    // Same key order and form as documented, apart from the session id.
    const auto id = response->body.find("\"SessionID\": \"");
    EXPECT_EQ(response->body.substr(0, id),
              documented.substr(0, documented.find("\"SessionID\": \"")));
}

}  // namespace
