#include "SessionFixture.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "TessarollUtil/Text.h"

namespace fs = std::filesystem;

namespace session_tests {

namespace {
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}
}  // namespace

JsonMapPtr makeRequest(Fields fields) {
    std::string text = "{";
    for (const auto& [key, value] : fields) {
        if (text.size() > 1) text += ", ";
        text += quoted(key) + ": " + quoted(value);
    }
    text += "}";
    JsonMapPtr map = parseJsonMap(text);
    EXPECT_TRUE(map) << text;
    return map;
}

std::optional<std::string> answerValue(const JsonMapPtr& answer, const std::string& key) {
    return getJsonMapValue(answer.get(), key);
}

std::optional<std::string> answerValue(const SessionAnswer& answer, const std::string& key) {
    if (answer.map) return answerValue(answer.map, key);
    if (!answer.text) return std::nullopt;
    // The serialised answer is JSON with Base64 values.
    JsonMapPtr parsed = parseJsonMap(*answer.text);
    std::optional<std::string> value = getJsonMapValue(parsed.get(), key);
    return value ? std::optional(urlBase64Decode(*value)) : std::nullopt;
}

int answerSize(const JsonMapPtr& answer) {
    return answer ? answer->count : -1;
}

void SessionTest::SetUp() {
    sandbox_.emplace();
    setenv("TESSAROLL_TEST_ADAPTER_EVENTS", (sandbox_->root() / "adapter-events.txt").c_str(), 1);
    unsetenv("TESSAROLL_TEST_ADAPTER_VERSION");
    unsetenv("TESSAROLL_TEST_ADAPTER_UNLOCK");
    installAdapter(TEST_ADAPTER_PATH);
    service_.emplace(workFolderPath().string(), installFolder().string(), 0);
}

void SessionTest::TearDown() {
    // As the final release does: every session released, oldest first.
    service_->releaseAll();
    service_.reset();
    unsetenv("TESSAROLL_TEST_ADAPTER_EVENTS");
    unsetenv("TESSAROLL_TEST_ADAPTER_VERSION");
    unsetenv("TESSAROLL_TEST_ADAPTER_UNLOCK");
    sandbox_.reset();
}

fs::path SessionTest::installedAdapter() const {
    return installFolder() / "ZEFAGPKI" / (std::string(adapterName) + ".so");
}

fs::path SessionTest::slotFolder(int index) const {
    return workFolderPath() / "Tempfile" / ("Session_" + std::to_string(index));
}

void SessionTest::installAdapter(const fs::path& library) {
    fs::create_directories(installedAdapter().parent_path());
    fs::copy_file(library, installedAdapter(), fs::copy_options::overwrite_existing);
}

JsonMapPtr SessionTest::send(const JsonMapPtr& request, const std::string& origin) {
    return service_->handle(*request, origin);
}

JsonMapPtr SessionTest::send(Fields fields, const std::string& origin) {
    JsonMapPtr request = makeRequest(fields);
    return send(request, origin);
}

std::string SessionTest::openSession(const std::string& origin) {
    JsonMapPtr answer = send({{"FunctionName", "Echo"},
                              {"PathID", "5D27C0A91B3E4F68A2C7E0B9146D83F2"},
                              {"minServerVersion", "1.0.23.0510"}},
                             origin);
    EXPECT_EQ(answerValue(answer, "result"), "0");
    return answerValue(answer, "SessionID").value_or("");
}

std::string SessionTest::counters(const std::string& sessionId, const std::string& origin) {
    JsonMapPtr answer =
        send({{"FunctionName", "TestAdapter_Counters"}, {"SessionId", sessionId}}, origin);
    return answerValue(answer, "result").value_or("");
}

void SessionTest::releaseSlot(int index) {
    const SlotView view = slot(index);
    ASSERT_FALSE(view.sessionId.empty()) << index;
    send({{"FunctionName", "TessarollForceRelease"}, {"SessionId", view.sessionId}}, view.origin);
    ASSERT_EQ(slot(index).sessionId, "") << index;
}

std::string SessionTest::adapterEvents() const {
    return testing_support::readFile(sandbox_->root() / "adapter-events.txt");
}

int SessionTest::slotOf(const std::string& sessionId) {
    return service_->table().slotOf(sessionId);
}

int SessionTest::slotsInUse() {
    int used = 0;
    for (int i = 0; i < sessionSlotCount; ++i) used += slot(i).sessionId.empty() ? 0 : 1;
    return used;
}

bool spareBecomesReady(SpareAdapter& spare) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        if (spare.ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

}  // namespace session_tests
