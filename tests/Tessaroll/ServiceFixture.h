// A fresh sandbox with the service running from a private install folder whose adapter is
// the test adapter, and the calls a page makes.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"

namespace testing_support {

inline constexpr const char* pageOrigin = "https://localhost:8443";
inline constexpr const char* adapterPathId = "5D27C0A91B3E4F68A2C7E0B9146D83F2";

// The request that opens a session and asks for the versions.
inline std::string echoRequest() {
    return std::string(R"({"FunctionName": "Echo", "PathID": ")") + adapterPathId +
           R"(", "minServerVersion": "1.0.23.0510"})";
}

inline std::string sessionRequest(const std::string& sessionId, const std::string& function,
                                  const std::string& more = "") {
    return R"({"SessionId": ")" + sessionId + R"(", "FunctionName": ")" + function + "\"" +
           (more.empty() ? "" : ", " + more) + "}";
}

inline HttpsClientOptions clientOptions(uint16_t port = servicePorts[0],
                                        const std::string& address = "127.0.0.1") {
    HttpsClientOptions options;
    options.address = address;
    options.port = port;
    options.trustFile = Service::rootCertificate().string();
    options.verifyName = address == "::1" ? "::1" : "localhost";
    return options;
}

// One keep-alive connection to each of the six listeners; client `t` posts its request `i`
// on listener (t + i) mod 6, so every client uses all of them in turn.
class AllListeners {
public:
    explicit AllListeners(int client) : client_(client) {
        struct Listener {
            const char* address;
            uint16_t port;
        };
        constexpr Listener listeners[] = {{"127.0.0.1", 56482}, {"::1", 56482},
                                          {"127.0.0.1", 56582}, {"::1", 56582},
                                          {"127.0.0.1", 56682}, {"::1", 56682}};
        for (const auto& l : listeners)
            clients_.push_back(std::make_unique<HttpsClient>(clientOptions(l.port, l.address)));
    }
    std::optional<std::map<std::string, std::string>> post(int i, const std::string& json) {
        auto& client = clientFor(i);
        auto response =
            postRequest(client, json, {{"Origin", pageOrigin}, {"Connection", "keep-alive"}});
        if (!response) return std::nullopt;
        return decodeAnswer(response->body);
    }

    HttpsClient& clientFor(int i) {
        return *clients_[static_cast<std::size_t>(client_ + i) % clients_.size()];
    }

private:
    int client_;
    std::vector<std::unique_ptr<HttpsClient>> clients_;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { startService(); }

    void startService(ServiceOptions options = {}) {
        if (!options.adapter) options.adapter = TEST_ADAPTER_PATH;
        service = std::make_unique<Service>(sandbox, std::move(options));
        ASSERT_TRUE(service->waitListening()) << service->process().errors() << service->log();
    }

    // Posts `json` and decodes the answer; nothing when no answer came.
    std::optional<std::map<std::string, std::string>> call(HttpsClient& client,
                                                           const std::string& json,
                                                           const HttpHeaders& headers = {
                                                               {"Origin", pageOrigin}}) {
        auto response = postRequest(client, json, headers);
        if (!response) return std::nullopt;
        EXPECT_EQ(response->status, 200);
        return decodeAnswer(response->body);
    }

    // Opens a session with an echo and returns its id.
    std::string openSession(HttpsClient& client) {
        auto answer = call(client, echoRequest());
        if (!answer) {
            ADD_FAILURE() << "no answer to the echo: " << client.lastError() << "\n"
                          << service->log();
            return {};
        }
        EXPECT_EQ((*answer)["result"], "0");
        return (*answer)["SessionID"];
    }

    Sandbox sandbox;
    std::unique_ptr<Service> service;
};

}  // namespace testing_support
