// The staged service loads the real staged adapter, which creates the test component
// registered in the sandbox: requests over HTTPS reach the component and its answers come
// back under "result"; two sessions hold two copies with separate state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"
#include "helpers/SessionText.h"
#include "platform/Com.h"

namespace fs = std::filesystem;
using namespace testing_support;
static const std::string& tableId = adapterPathId;
using ::testing::HasSubstr;

namespace {

const std::string pageOrigin = "https://pages.example.com";


class AdapterService : public ::testing::Test {
protected:
    void SetUp() override {
        for (uint16_t port : servicePorts)
            ASSERT_FALSE(canConnect("127.0.0.1", port)) << "another service holds port " << port;
        writeFile(sandbox_.root() / "ComRegistry.ini",
                  std::string("{2BA55A3B-BA08-4B99-AF12-8FBD0A485310}=") + TESSAROLL_TEST_COMPONENT_PATH + "\n");
        ServiceOptions options;
        options.environment[kComRegistryVariable] = (sandbox_.root() / "ComRegistry.ini").string();
        options.environment["TESSAROLL_TEST_COMPONENT_LOG"] = componentLog().string();
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

    std::map<std::string, std::string> call(const std::string& json) {
        std::optional<HttpsResponse> response = postRequest(*client_, json, {{"Origin", pageOrigin}});
        if (!response) return {};
        EXPECT_EQ(response->status, 200);
        return decodeAnswer(response->body).value_or(std::map<std::string, std::string>{});
    }
    std::string result(const std::string& json) {
        auto answer = call(json);
        return answer.count("result") ? answer["result"] : "<none>";
    }
    std::string openSession() {
        auto answer = call(R"({"FunctionName": "Echo", "PathID": ")" + tableId + R"(", "minServerVersion": "1.0.23.0510"})");
        EXPECT_EQ(answer["result"], "0");
        EXPECT_EQ(answer["LibVersion"], "1,0,21,827");
        return answer["SessionID"];
    }
    fs::path componentLog() const { return sandbox_.root() / "component.txt"; }
    std::string componentEvents() const { return fs::exists(componentLog()) ? readFile(componentLog()) : ""; }

    Sandbox sandbox_;
    std::optional<Service> service_;
    std::optional<HttpsClient> client_;
};

TEST_F(AdapterService, ARequestReachesTheComponentAndItsAnswerComesBack) {
    const std::string id = openSession();
    EXPECT_EQ(result(R"({"FunctionName": "CAPICertGetSubject", "SessionId": ")" + id +
                     R"(", "TessarollFunctionIndex": "4", "strCert": "MIIBcert", "iFlags": "3"})"),
              R"(CAPICertGetSubject:"MIIBcert",3)");
    EXPECT_EQ(result(R"({"FunctionName": "GPKI_VerifyPIN", "SessionId": ")" + id +
                     R"(", "AdapterJsonKeyCheck": "true", "iFlags": "1"})"),
              "61016");
    EXPECT_EQ(result(R"({"FunctionName": "GPKI_EnumCerts", "SessionId": ")" + id + R"(", "iFlags": "0"})"),
              "cert-a;cert-b;");
    std::string events = componentEvents();
    EXPECT_THAT(events, HasSubstr("call 1 11 CAPICertGetSubject \"MIIBcert\",3"));
    EXPECT_THAT(events, HasSubstr("call 1 8 GPKI_EnumCerts 0"));
    EXPECT_THAT(events, ::testing::Not(HasSubstr("GPKI_VerifyPIN")));
}

TEST_F(AdapterService, TwoSessionsHoldSeparateCopiesAndReleasingOneLeavesTheOther) {
    const std::string first = openSession();
    const std::string second = openSession();
    ASSERT_NE(first, second);
    EXPECT_EQ(result(R"({"FunctionName": "get_lastError", "SessionId": ")" + first + R"("})"), "700");
    EXPECT_EQ(result(R"({"FunctionName": "get_lastError", "SessionId": ")" + second + R"("})"), "700");
    std::string events = componentEvents();
    ASSERT_EQ(occurrences(events, "create "), 2u) << events;
    EXPECT_THAT(events, HasSubstr("call 1 7 get_lastError"));
    EXPECT_THAT(events, HasSubstr("call 2 7 get_lastError"));

    call(R"({"FunctionName": "TessarollForceRelease", "SessionId": ")" + first + R"("})");
    ASSERT_TRUE(waitUntil([&] { return componentEvents().find("destroy 1") != std::string::npos; }))
        << componentEvents();

    // The second copy is still initialised: its component answers without being made again.
    EXPECT_EQ(result(R"({"FunctionName": "GPKI_GetSlotCount", "SessionId": ")" + second + R"("})"), "5200");
    events = componentEvents();
    EXPECT_EQ(occurrences(events, "create "), 2u) << events;
    EXPECT_THAT(events, HasSubstr("call 2 52 GPKI_GetSlotCount"));
    EXPECT_THAT(events, ::testing::Not(HasSubstr("destroy 2")));
}

}  // namespace
