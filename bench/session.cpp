// A new session's set-up inside the session service: the adapter copy (made ahead or now)
// moved into the slot folder and loaded, unlock, version query and gates, with the staged
// adapter plug-in and component. For comparison, a request on a session
// that is already open, and the file copy on its own. And the memory a full table keeps
// per evicted session, and what pages can pin in the value store.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "BenchRows.h"
#include "TessarollSession/SessionService.h"
#include "helpers/Sandbox.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* origin = "https://pages.example.com";

struct Install {
    testing_support::Sandbox sandbox;
    fs::path install = sandbox.root() / "install";
    fs::path work = sandbox.dataHome() / "ZEFAGPKITessarollMain";
    fs::path adapter = install / "ZEFAGPKI" / "ZEFAVZDediGPKICryptATLAdapter.so";
    std::optional<SessionService> service;

    Install() {
        fs::create_directories(install / "ZEFAGPKI");
        fs::copy_file(TEST_ADAPTER_PATH, adapter, fs::copy_options::overwrite_existing);
        service.emplace(work.string(), install.string(), 0);
    }
    ~Install() { service->releaseAll(); }

    JsonMapPtr send(const JsonMapPtr& request) { return service->handle(*request, origin); }
};

JsonMapPtr openRequest() {
    return parseJsonMap(
        R"({"FunctionName": "Echo", "PathID": "5D27C0A91B3E4F68A2C7E0B9146D83F2", "minServerVersion": "1.0.23.0510"})");
}

JsonMapPtr requestOf(const std::string& id, const char* function) {
    return parseJsonMap(R"({"FunctionName": ")" + std::string(function) + R"(", "SessionId": ")" +
                        id + R"("})");
}

// Pages open sessions as they load: `pause` between two sessions lets the service make the
// next session's adapter ahead, as it does between page loads; 0 opens them back to back.
void newSessions(benchmark::State& state, std::chrono::microseconds pause) {
    Install install;
    JsonMapPtr echo = openRequest();
    for (auto _ : state) {
        JsonMapPtr answer = install.send(echo);
        state.PauseTiming();
        if (!answer || getJsonMapValue(answer.get(), "result") != "0")
            state.SkipWithError("set-up failed");
        install.send(requestOf(getJsonMapValue(answer.get(), "SessionID").value_or(""),
                               "TessarollForceRelease"));
        std::this_thread::sleep_for(pause);
        state.ResumeTiming();
    }
}
void BM_NewSessionSetUp(benchmark::State& state) {
    newSessions(state, std::chrono::milliseconds(2));
}
void BM_NewSessionSetUpBackToBack(benchmark::State& state) {
    newSessions(state, std::chrono::microseconds(0));
}
BENCHMARK(BM_NewSessionSetUp)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_NewSessionSetUpBackToBack)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

void BM_EchoOnOpenSession(benchmark::State& state) {
    Install install;
    JsonMapPtr answer = install.send(openRequest());
    JsonMapPtr echo = requestOf(getJsonMapValue(answer.get(), "SessionID").value_or(""), "Echo");
    for (auto _ : state) benchmark::DoNotOptimize(install.send(echo));
}
BENCHMARK(BM_EchoOnOpenSession)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

void BM_AdapterCopyOnly(benchmark::State& state) {
    Install install;
    const fs::path to = install.work / "Tempfile" / "Session_0" / "copy.so";
    for (auto _ : state) {
        fs::copy_file(install.adapter, to);
        state.PauseTiming();
        fs::remove(to);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_AdapterCopyOnly)->Unit(benchmark::kMicrosecond);

long residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Heap in use and resident memory per evicted session, once the table is full and warm:
// every new session evicts the oldest. The first thousands of evictions bring the allocator
// and the loader to the size they keep (about 0.6 MiB resident here), so the count starts
// after them.
void BM_MemoryPerEviction(benchmark::State& state) {
    Install install;
    JsonMapPtr echo = openRequest();
    for (int i = 0; i < 10'000; ++i) install.send(echo);
    const std::size_t heapBefore = mallinfo2().uordblks;
    const long residentBefore = residentKilobytes();
    int64_t evictions = 0;
    for (auto _ : state) {
        for (int i = 0; i < 10'000; ++i) benchmark::DoNotOptimize(install.send(echo));
        evictions += 10'000;
    }
    state.counters["heap_bytes_per_eviction"] =
        static_cast<double>(static_cast<int64_t>(mallinfo2().uordblks) -
                            static_cast<int64_t>(heapBefore)) /
        static_cast<double>(evictions);
    state.counters["resident_bytes_per_eviction"] =
        static_cast<double>(residentKilobytes() - residentBefore) * 1024.0 /
        static_cast<double>(evictions);
}
BENCHMARK(BM_MemoryPerEviction)->Unit(benchmark::kMillisecond)->Iterations(1);

// The heap the value store holds once a page has set all 16 channels with values of
// `valueBytes` each (a request carries up to 64 MB): each value over its limit is refused,
// and the store keeps at most its total.
void valueStoreFlood(benchmark::State& state, std::size_t valueBytes) {
    // Blocks this large are mapped on their own: counted apart from the heap's arena.
    auto heapInUse = [] {
        const struct mallinfo2 info = mallinfo2();
        return static_cast<int64_t>(info.uordblks + info.hblkhd);
    };
    for (auto _ : state) {
        ValueStore store;
        const int64_t heapBefore = heapInUse();
        for (int i = 0; i < valueChannelCount; ++i) {
            const std::optional<std::string> value{std::string(valueBytes, 'v')};
            benchmark::DoNotOptimize(store.set("channel" + std::to_string(i),
                                               std::string("pages.example.com"), 5, value, origin));
        }
        state.counters["held_mib"] =
            static_cast<double>(heapInUse() - heapBefore) / (1024.0 * 1024.0);
    }
}
void BM_ValueStoreFloodOf40MB(benchmark::State& state) {
    valueStoreFlood(state, 40u * 1024 * 1024);
}
void BM_ValueStoreFloodOfLargestValues(benchmark::State& state) {
    valueStoreFlood(state, valueSizeLimit);
}
BENCHMARK(BM_ValueStoreFloodOf40MB)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ValueStoreFloodOfLargestValues)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    return bench_rows::runAndPrintRows(
        argc, argv,
        {{"new session set-up, one every 2 ms (vs Echo on an open session)", "BM_NewSessionSetUp",
          "BM_EchoOnOpenSession"},
         {"new session set-up, back to back (vs Echo on an open session)",
          "BM_NewSessionSetUpBackToBack", "BM_EchoOnOpenSession"},
         {"adapter copy into a slot folder", "BM_AdapterCopyOnly", ""},
         {"heap in use per evicted session, over 10,000 after 10,000 (bytes)",
          "BM_MemoryPerEviction", "", "heap_bytes_per_eviction"},
         {"resident memory per evicted session, over 10,000 after 10,000 (bytes)",
          "BM_MemoryPerEviction", "", "resident_bytes_per_eviction"},
         {"value store heap after 16 sets of 40 MB (MiB)", "BM_ValueStoreFloodOf40MB", "",
          "held_mib"},
         {"value store heap after 16 sets of 16 MB, the largest value (MiB)",
          "BM_ValueStoreFloodOfLargestValues", "", "held_mib"}});
}
