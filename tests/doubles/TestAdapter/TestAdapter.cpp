// Test adapter: behaves towards the service like the card adapter plug-in (the two entry
// points, "TessarollFunctionIndex" selecting the system functions, the answer text owned
// here until the next call) without any card component behind it.
//
// Every loaded copy has its own counters and a random instance id, so a test can tell
// copies apart and see which calls reached which copy. Behaviour the tests vary is read
// from the environment at each call:
//   TESSAROLL_TEST_ADAPTER_VERSION  answer of "Tessaroll_GetVersion" (default "1,0,21,827")
//   TESSAROLL_TEST_ADAPTER_UNLOCK   answer of "Tessaroll_Unlock" (default "0")
//   TESSAROLL_TEST_ADAPTER_EVENTS   file that gets one line "<instance> <function>" per call,
//                                   and "<instance> unloaded" from a static destructor
//
// Test functions (by name, case-insensitive):
//   "TestAdapter_Counters"  "instance=<id> unlock=<n> version=<n> release=<n> calls=<n>"
//   "TestAdapter_Origin"    the "url" of this copy's last unlock
//   "TestAdapter_Echo"      the value of the request's "text" (decoded by its flags)
//   "TestAdapter_Crash"     dies of SIGSEGV inside the call (for the crash handler's tests)
//   "TestAdapter_Sleep"     waits the request's "ms" milliseconds, as a card call that waits
//                           for the user does, then answers "slept <ms>"; with "thread":
//                           "name", "slept <ms> on <the name of the thread that ran it>";
//                           with "until": "<file>", it ends once that file exists, at most
//                           after "ms", and answers "woken" then
// Anything else answers "61005", as the real adapter does for an unknown name.
#include <pthread.h>
#include <strings.h>
#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "TessarollUtil/JsonMap.h"

namespace {

struct Counters {
    int unlock = 0;
    int version = 0;
    int release = 0;
    int calls = 0;
};

Counters counters;
std::string answer;  // handed out; valid until the next call into this copy
std::string unlockedOrigin;

const std::string& instanceId() {
    static const std::string id = [] {
        std::random_device rd;
        char text[17];
        std::snprintf(text, sizeof text, "%08x%08x", rd(), rd());
        return std::string(text);
    }();
    return id;
}

std::string fromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value ? value : fallback;
}

void recordEvent(std::string_view function) {
    const char* path = std::getenv("TESSAROLL_TEST_ADAPTER_EVENTS");
    if (!path || !*path) return;
    if (FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s %.*s\n", instanceId().c_str(), static_cast<int>(function.size()),
                     function.data());
        std::fclose(file);
    }
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The function index as the real adapter reads it: absent 0, "true" 1, "false" 0, else
// the leading decimal number.
long functionIndex(const JsonMap* map) {
    std::optional<std::string> text = getJsonMapValue(map, "TessarollFunctionIndex");
    if (!text) return 0;
    if (sameName(*text, "true")) return 1;
    if (sameName(*text, "false")) return 0;
    return std::strtol(text->c_str(), nullptr, 10);
}

// Its destructor runs when the copy is unloaded, as every static destructor of a copy must.
// It keeps its own copy of the instance id: the function-local one is destroyed first.
struct UnloadRecorder {
    ~UnloadRecorder() {
        const char* path = std::getenv("TESSAROLL_TEST_ADAPTER_EVENTS");
        if (instance.empty() || !path || !*path) return;
        if (FILE* file = std::fopen(path, "a")) {
            std::fprintf(file, "%s unloaded\n", instance.c_str());
            std::fclose(file);
        }
    }
    std::string instance;
} unloadRecorder;

[[maybe_unused]] std::string run(const JsonMap* map, std::string_view name) {
    ++counters.calls;
    if (unloadRecorder.instance.empty()) unloadRecorder.instance = instanceId();
    recordEvent(name);
    long index = functionIndex(map);
    if (index == -1 || sameName(name, "Tessaroll_GetVersion")) {
        ++counters.version;
        return fromEnvironment("TESSAROLL_TEST_ADAPTER_VERSION", "1,0,21,827");
    }
    if (index == -2 || sameName(name, "Tessaroll_Unlock")) {
        ++counters.unlock;
        unlockedOrigin = getJsonMapValue(map, "url").value_or("");
        return fromEnvironment("TESSAROLL_TEST_ADAPTER_UNLOCK", "0");
    }
    if (index == -3 || sameName(name, "Tessaroll_Release")) {
        ++counters.release;
        return "";
    }
    if (sameName(name, "TestAdapter_Counters")) {
        char text[160];
        std::snprintf(text, sizeof text, "instance=%s unlock=%d version=%d release=%d calls=%d",
                      instanceId().c_str(), counters.unlock, counters.version, counters.release,
                      counters.calls);
        return text;
    }
    if (sameName(name, "TestAdapter_Origin")) return unlockedOrigin;
    if (sameName(name, "TestAdapter_Echo")) return getJsonMapValue(map, "text").value_or("");
    if (sameName(name, "TestAdapter_Sleep")) {
        const long ms = std::strtol(getJsonMapValue(map, "ms").value_or("0").c_str(), nullptr, 10);
        const std::optional<std::string> until = getJsonMapValue(map, "until");
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        if (until) {
            for (; std::chrono::steady_clock::now() < end;
                 std::this_thread::sleep_for(std::chrono::milliseconds(10)))
                if (access(until->c_str(), F_OK) == 0) return "woken";
        }
        std::this_thread::sleep_until(end);
        std::string slept = "slept " + std::to_string(ms);
        if (getJsonMapValue(map, "thread") == "name") {
            char thread[32] = {};
            pthread_getname_np(pthread_self(), thread, sizeof thread);
            slept += std::string(" on ") + thread;
        }
        return slept;
    }
    if (sameName(name, "TestAdapter_Crash")) {
        // An unmapped address that is not null (a null store would be caught before the
        // fault by the undefined-behaviour checks); volatile keeps the store.
        volatile int* volatile nowhere = reinterpret_cast<volatile int*>(uintptr_t{16});
        *nowhere = 1;
    }
    return "61005";
}

}  // namespace

extern "C" {

#ifndef TEST_ADAPTER_NO_JSON_MAP_ENTRY
__attribute__((visibility("default"))) const char* callJsonMapMethod(const JsonMap* map,
                                                                     const char* functionName) {
    answer.clear();
    if (map && functionName) answer = run(map, functionName);
    return answer.c_str();
}
#endif

#ifndef TEST_ADAPTER_NO_TEXT_ENTRY
__attribute__((visibility("default"))) const char* callMethod(const char* jsonText) {
    answer.clear();
    if (!jsonText) return answer.c_str();
    JsonMapPtr map = parseJsonMap(jsonText);
    if (!map) return answer.c_str();
    std::optional<std::string> name = getJsonMapValue(map.get(), "FunctionName");
    answer = name ? run(map.get(), *name) : std::string("61005");
    return answer.c_str();
}
#endif

#if defined(TEST_ADAPTER_NO_JSON_MAP_ENTRY) && defined(TEST_ADAPTER_NO_TEXT_ENTRY)
// Something to export, so the library still loads.
__attribute__((visibility("default"))) int testAdapterWithoutEntryPoints() {
    return 0;
}
#endif

}  // extern "C"
