// The staged service loads the real staged adapter, which creates the test component
// registered in the sandbox: requests over HTTPS reach the component and its answers come
// back under "result"; two sessions hold two copies with separate state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

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
                  std::string("{2BA55A3B-BA08-4B99-AF12-8FBD0A485310}=") +
                      TESSAROLL_TEST_COMPONENT_PATH + "\n");
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

    std::map<std::string, std::string> call(const std::string& json,
                                            const std::string& origin = pageOrigin) {
        std::optional<HttpsResponse> response = postRequest(*client_, json, {{"Origin", origin}});
        if (!response) return {};
        EXPECT_EQ(response->status, 200);
        return decodeAnswer(response->body).value_or(std::map<std::string, std::string>{});
    }
    std::string result(const std::string& json) {
        auto answer = call(json);
        return answer.count("result") ? answer["result"] : "<none>";
    }
    std::map<std::string, std::string> echo(const std::string& origin) {
        return call(R"({"FunctionName": "Echo", "PathID": ")" + tableId +
                        R"(", "minServerVersion": "1.0.23.0510"})",
                    origin);
    }
    std::string openSession() {
        auto answer = echo(pageOrigin);
        EXPECT_EQ(answer["result"], "0");
        EXPECT_EQ(answer["LibVersion"], "1,0,21,827");
        return answer["SessionID"];
    }
    fs::path componentLog() const { return sandbox_.root() / "component.txt"; }
    std::string componentEvents() const {
        return fs::exists(componentLog()) ? readFile(componentLog()) : "";
    }

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
    EXPECT_EQ(result(R"({"FunctionName": "GPKI_EnumCerts", "SessionId": ")" + id +
                     R"(", "iFlags": "0"})"),
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
    EXPECT_EQ(result(R"({"FunctionName": "get_lastError", "SessionId": ")" + first + R"("})"),
              "700");
    EXPECT_EQ(result(R"({"FunctionName": "get_lastError", "SessionId": ")" + second + R"("})"),
              "700");
    // Which component answered each session ("call <component> 7 get_lastError").
    std::vector<std::string> components;
    std::istringstream lines(componentEvents());
    for (std::string line; std::getline(lines, line);)
        if (line.find(" 7 get_lastError") != std::string::npos)
            components.push_back(line.substr(5, line.find(' ', 5) - 5));
    ASSERT_EQ(components.size(), 2u) << componentEvents();
    ASSERT_NE(components[0], components[1]);
    // The two sessions' components and the one of the next session's copy, started up ahead.
    ASSERT_TRUE(waitUntil([&] { return occurrences(componentEvents(), "create ") == 3u; }))
        << componentEvents();

    call(R"({"FunctionName": "TessarollForceRelease", "SessionId": ")" + first + R"("})");
    ASSERT_TRUE(waitUntil([&] {
        return componentEvents().find("destroy " + components[0]) != std::string::npos;
    })) << componentEvents();

    // The second copy is still initialised: its component answers without being made again.
    EXPECT_EQ(result(R"({"FunctionName": "GPKI_GetSlotCount", "SessionId": ")" + second + R"("})"),
              "5200");
    const std::string events = componentEvents();
    EXPECT_EQ(occurrences(events, "create "), 3u) << events;
    EXPECT_THAT(events, HasSubstr("call " + components[1] + " 52 GPKI_GetSlotCount"));
    EXPECT_THAT(events, ::testing::Not(HasSubstr("destroy " + components[1])));
}

// The README's encrypted PIN: the log shows neither the PIN nor the key that opens it, in
// the service's display of the request nor in the adapter's.
TEST_F(AdapterService, TheLogHoldsNeitherAnEncryptedParameterNorItsKey) {
    const std::string id = openSession();
    const std::string secret = "PageSecret-2026-0123456789ABCDEF";
    call(
        R"({"FunctionName": "GPKI_VerifyPIN", "SessionId": ")" + id +
        R"(", "bPIN": "917d631b75046d9cc6befc98d8ab59cd", "bPIN_TessarollEncryptFlag": "true", "iFlags": "0", )"
        R"("Tessaroll_share_secret": ")" +
        secret + R"("})");
    EXPECT_THAT(componentEvents(), HasSubstr("GPKI_VerifyPIN \"123456\",0"))
        << "the PIN was decrypted";
    const std::string log = service_->log();
    EXPECT_THAT(log, ::testing::Not(HasSubstr(secret)));
    EXPECT_THAT(log, ::testing::Not(HasSubstr("123456")));
    EXPECT_GE(occurrences(log, "Tessaroll_share_secret: " + std::string(secret.size(), '*')), 2u)
        << log;
}

// With the administrator's list the unlock refuses the pages it does not name; without it
// every page opens its session as before. The list is read for each new session.
TEST_F(AdapterService, OnlyTheOriginsTheAdministratorListsOpenCardSessions) {
    const std::string evil = "https://evil.example";
    const std::string tools = "http://intranet.example:8080";
    for (const std::string& origin : {pageOrigin, evil, tools}) {
        auto answer = echo(origin);
        EXPECT_EQ(answer["result"], "0") << origin;
        EXPECT_FALSE(answer["SessionID"].empty()) << origin;
    }
    const std::string kept = openSession();

    writeFile(sandbox_.windowsDir() / "ZEFAGPKI/allowed-origins",
              "# the pages of the office\nHTTPS://Pages.Example.COM:443\n" + tools + "  # tools\n");
    const std::pair<std::string, bool> cases[] = {
        {pageOrigin, true},
        {tools, true},
        {evil, false},
        {"http://pages.example.com", false},
        {"https://intranet.example:8080", false},
        {"https://pages.example.com:8443", false},
    };
    for (const auto& [origin, allowed] : cases) {
        auto answer = echo(origin);
        EXPECT_EQ(answer["result"], allowed ? "0" : "61012") << origin;
        EXPECT_EQ(answer.count("SessionID") && !answer["SessionID"].empty(), allowed) << origin;
    }
    EXPECT_THAT(service_->log(), HasSubstr("Origin not allowed to use the card: " + evil));
    // A refused page's card call, which would open its session, reaches no card function.
    EXPECT_EQ(call(R"({"FunctionName": "GPKI_GetSlotCount", "PathID": ")" + tableId + R"("})",
                   evil)["result"],
              "61012");
    EXPECT_THAT(componentEvents(), ::testing::Not(HasSubstr("GPKI_GetSlotCount")));
    // A session opened before the list keeps working.
    EXPECT_EQ(result(R"({"FunctionName": "GPKI_GetSlotCount", "SessionId": ")" + kept + R"("})"),
              "5200");
}

}  // namespace
