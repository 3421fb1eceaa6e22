// A new session's set-up inside the dispatcher: copy of the adapter into the slot folder,
// load, unlock, version query and gates, with the test adapter plug-in. For comparison,
// a request on a session that is already open, and the file copy on its own.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <optional>

#include "TessarollSession/Dispatcher.h"
#include "TessarollSession/SessionTable.h"
#include "helpers/Sandbox.h"

namespace fs = std::filesystem;

namespace {

struct Install {
    testing_support::Sandbox sandbox;
    fs::path install = sandbox.root() / "install";
    fs::path work = sandbox.dataHome() / "ZEFAGPKITessarollMain";

    Install() {
        fs::create_directories(install / "ZEFAGPKI");
        fs::copy_file(TEST_ADAPTER_PATH, install / "ZEFAGPKI" / "ZEFAVZDediGPKICryptATLAdapter.so");
        initSessionTable(work.string(), install.string());
        markAllSessionAgesFree();
        requestOrigin = "https://pages.example.com";
    }
    ~Install() {
        for (int i = findOldestSessionSlot(); i != -1; i = findOldestSessionSlot()) {
            releaseSessionSlot(i);
            sessionAge[static_cast<std::size_t>(i)] = freeSessionAge;
        }
        requestOrigin.reset();
        requestMap = nullptr;
    }
};

JsonMapPtr dispatch(const JsonMapPtr& request) {
    requestMap = request.get();
    return dispatchSessionRequest();
}

void BM_NewSessionSetUp(benchmark::State& state) {
    Install install;
    JsonMapPtr echo = parseJsonMap(
        R"({"FunctionName": "Echo", "PathID": "5D27C0A91B3E4F68A2C7E0B9146D83F2", "minServerVersion": "1.0.23.0510"})");
    for (auto _ : state) {
        JsonMapPtr answer = dispatch(echo);
        state.PauseTiming();
        if (!answer || getJsonMapValue(answer.get(), "result") != "0") state.SkipWithError("set-up failed");
        releaseSessionSlot(0);
        sessionAge[0] = freeSessionAge;
        state.ResumeTiming();
    }
}
BENCHMARK(BM_NewSessionSetUp)->Unit(benchmark::kMicrosecond);

void BM_EchoOnOpenSession(benchmark::State& state) {
    Install install;
    JsonMapPtr open = parseJsonMap(
        R"({"FunctionName": "Echo", "PathID": "5D27C0A91B3E4F68A2C7E0B9146D83F2", "minServerVersion": "1.0.23.0510"})");
    JsonMapPtr answer = dispatch(open);
    const std::string id = getJsonMapValue(answer.get(), "SessionID").value_or("");
    JsonMapPtr echo = parseJsonMap(R"({"FunctionName": "Echo", "SessionId": ")" + id + R"("})");
    for (auto _ : state) benchmark::DoNotOptimize(dispatch(echo));
}
BENCHMARK(BM_EchoOnOpenSession)->Unit(benchmark::kMicrosecond);

void BM_AdapterCopyOnly(benchmark::State& state) {
    Install install;
    const fs::path from = install.install / "ZEFAGPKI" / "ZEFAVZDediGPKICryptATLAdapter.so";
    const fs::path to = install.work / "Tempfile" / "Session_0" / "copy.so";
    for (auto _ : state) {
        fs::copy_file(from, to);
        state.PauseTiming();
        fs::remove(to);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_AdapterCopyOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
