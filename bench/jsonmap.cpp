// The JSON map on a typical request: parse, decoded lookups, set the result, serialise.
#include <benchmark/benchmark.h>

#include <string>

#include "TessarollUtil/JsonMap.h"

namespace {

const std::string kRequest =
    R"({"FunctionName": "GPKI_SignData", "SessionId": "AbCdEfGh_SID", "PathID": "0", "LibDir": "ZEFAGPKI", )"
    R"("ComName": "ZEFAVZDediGPKICryptATLAdapter", "minServerVersion": "1.0.23.0510", "minLibVersion": "1.0.0.1", )"
    R"("strData": "SGVsbG8sIHdvcmxkIQ%3D%3D", "strData_TessarollBase64Flag": "true", "iFlags": "0", )"
    R"("strPath": "C:*tmp*x", "strPath_TessarollFlag": "true", "AdapterJsonKeyCheck": "true"})";

std::string fullMapText() {
    std::string json = "{";
    for (int i = 0; i < kJsonMapCapacity; ++i) json += (i ? ",\"key" : "\"key") + std::to_string(i) + "\":\"value\"";
    return json + "}";
}

void BM_ParseRequest(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(parseJsonMap(kRequest));
}
BENCHMARK(BM_ParseRequest);

void BM_ParseFullMap(benchmark::State& state) {
    const std::string json = fullMapText();
    for (auto _ : state) benchmark::DoNotOptimize(parseJsonMap(json));
}
BENCHMARK(BM_ParseFullMap);

void BM_DecodedLookups(benchmark::State& state) {
    auto map = parseJsonMap(kRequest);
    for (auto _ : state) {
        benchmark::DoNotOptimize(getJsonMapValue(map.get(), "functionname"));
        benchmark::DoNotOptimize(getJsonMapValue(map.get(), "strData"));
        benchmark::DoNotOptimize(getJsonMapValue(map.get(), "strPath"));
        benchmark::DoNotOptimize(getJsonMapBool(map.get(), "AdapterJsonKeyCheck"));
    }
}
BENCHMARK(BM_DecodedLookups);

void BM_AnswerRoundTrip(benchmark::State& state) {
    for (auto _ : state) {
        auto answer = newJsonMap();
        setJsonMapValue(answer.get(), "SessionID", "AbCdEfGh_SID");
        setJsonMapValue(answer.get(), "ServerVersion", "1.0.23.0510");
        setJsonMapValue(answer.get(), "LibVersion", "1.0.0.1");
        setJsonMapResult(answer.get(), 0);
        benchmark::DoNotOptimize(serializeJsonMap(answer.get()));
    }
}
BENCHMARK(BM_AnswerRoundTrip);

}  // namespace

BENCHMARK_MAIN();
