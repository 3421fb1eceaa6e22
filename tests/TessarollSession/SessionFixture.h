// A sandbox install for the sessions: the test adapter at the adapter's place under an
// install folder, the work folder under the sandbox's data folder, a fresh SessionService
// on them, and helpers that send one request through it.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "TessarollSession/SessionService.h"
#include "TessarollUtil/JsonMap.h"
#include "helpers/Sandbox.h"

namespace session_tests {

using Fields = std::initializer_list<std::pair<std::string, std::string>>;

inline constexpr const char* adapterName = "ZEFAVZDediGPKICryptATLAdapter";
inline constexpr const char* pageOrigin = "https://pages.example.com:8443";

// A parsed request made of `fields` (values as the page sends them, before any flags).
JsonMapPtr makeRequest(Fields fields);
// The value of `key` in an answer.
std::optional<std::string> answerValue(const JsonMapPtr& answer, const std::string& key);
// The same of an answer given at once, as a map or as the text the session had ready.
std::optional<std::string> answerValue(const SessionAnswer& answer, const std::string& key);
// The number of keys in an answer.
int answerSize(const JsonMapPtr& answer);

// The spare is made on a thread of its own: waits (10 s at most) until it is ready, and the
// maker idle.
bool spareBecomesReady(SpareAdapter& spare);

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Installs `library` as the adapter (the test adapter unless given).
    void installAdapter(const std::filesystem::path& library);

    // Sends one request from `origin`; null when the service gave no answer.
    JsonMapPtr send(Fields fields, const std::string& origin = pageOrigin);
    JsonMapPtr send(const JsonMapPtr& request, const std::string& origin = pageOrigin);

    // An Echo that opens a session through the path table; returns the new session id.
    std::string openSession(const std::string& origin = pageOrigin);
    // The test adapter's counters of the copy that serves `sessionId`.
    std::string counters(const std::string& sessionId, const std::string& origin = pageOrigin);
    // Ends the session in slot `index` as a page's force release does.
    void releaseSlot(int index);
    // Lines "<instance> <function>" that the test adapter wrote.
    std::string adapterEvents() const;

    std::filesystem::path installFolder() const { return sandbox_->root() / "install"; }
    std::filesystem::path workFolderPath() const {
        return sandbox_->dataHome() / "ZEFAGPKITessarollMain";
    }
    std::filesystem::path installedAdapter() const;
    std::filesystem::path slotFolder(int index) const;
    int slotOf(const std::string& sessionId);
    SlotView slot(int index) { return service_->table().view(index); }
    int slotsInUse();

    std::optional<testing_support::Sandbox> sandbox_;
    std::optional<SessionService> service_;
};

}  // namespace session_tests
