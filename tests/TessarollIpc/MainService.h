// The staged main program in a sandbox with the test adapter, and the page calls the
// tests here need.
#pragma once

#include <gtest/gtest.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "TessarollUtil/JsonMap.h"
#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"

namespace testing_support {

// TLS itself is tested elsewhere; these tests only need to reach the service.
inline HttpsClientOptions mainClientOptions() {
    return HttpsClientOptions{};
}

// One value of the service's answer ({"key": "<Base64>"}), decoded.
inline std::optional<std::string> answerValue(const HttpsResponse& response,
                                              const std::string& key) {
    auto value = getJsonTextValue(response.body, key);
    return value ? std::optional<std::string>(base64Decode(*value)) : std::nullopt;
}

// Opens a session with the test adapter; its id, or empty.
inline std::string openSession(HttpsClient& client) {
    auto response = postRequest(
        client,
        R"({"FunctionName": "Echo", "PathID": "5D27C0A91B3E4F68A2C7E0B9146D83F2", "minServerVersion": "1.0.23.0510"})");
    if (!response || answerValue(*response, "result") != "0") return {};
    return answerValue(*response, "SessionID").value_or("");
}

inline std::size_t adapterCopies(const std::filesystem::path& folder) {
    std::size_t count = 0;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->path().extension() == ".so") ++count;
    }
    return count;
}

// Null when the service does not come up. A program that already holds the ports would
// answer in its place, so that is refused first.
inline std::unique_ptr<Service> startMainService(const Sandbox& sandbox,
                                                 ServiceOptions options = {}) {
    for (uint16_t port : servicePorts) {
        if (canConnect("127.0.0.1", port) || canConnect("::1", port)) {
            ADD_FAILURE() << "port " << port << " is held by another program";
            return nullptr;
        }
    }
    options.adapter = TEST_ADAPTER_PATH;
    auto service = std::make_unique<Service>(sandbox, std::move(options));
    if (!service->waitListening()) {
        const std::optional<int> ended = service->process().wait(std::chrono::milliseconds(0));
        ADD_FAILURE() << "the service does not listen"
                      << (ended ? ", it ended with " + std::to_string(*ended) : std::string())
                      << "\n"
                      << service->log();
        return nullptr;
    }
    return service;
}

}  // namespace testing_support
