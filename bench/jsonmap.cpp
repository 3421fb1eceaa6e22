// The JSON map on a typical request: parse, decoded lookups, set the result, serialise.
// Parsing is set against jsmn's tokenising of the same text alone (what the map is built on).
#include "BenchRows.h"

#define JSMN_STATIC
#include <jsmn.h>

#include <string>

#include "TessarollUtil/JsonMap.h"
#include "TessarollVersion.h"

namespace {

const std::string kRequest =
    R"({"FunctionName": "GPKI_SignData", "SessionId": "AbCdEfGh_SID", "PathID": "0", "LibDir": "ZEFAGPKI", )"
    R"("ComName": "ZEFAVZDediGPKICryptATLAdapter", "minServerVersion": "1.0.23.0510", "minLibVersion": "1.0.0.1", )"
    R"("strData": "SGVsbG8sIHdvcmxkIQ%3D%3D", "strData_TessarollBase64Flag": "true", "iFlags": "0", )"
    R"("strPath": "C:*tmp*x", "strPath_TessarollFlag": "true", "AdapterJsonKeyCheck": "true"})";

std::string fullMapText() {
    std::string json = "{";
    for (int i = 0; i < kJsonMapCapacity; ++i)
        json += (i ? ",\"key" : "\"key") + std::to_string(i) + "\":\"value\"";
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
        setJsonMapValue(answer.get(), "ServerVersion", kTessarollVersion);
        setJsonMapValue(answer.get(), "LibVersion", "1.0.0.1");
        setJsonMapResult(answer.get(), 0);
        benchmark::DoNotOptimize(serializeJsonMap(answer.get()));
    }
}
BENCHMARK(BM_AnswerRoundTrip);

void BM_TokeniseOnly(benchmark::State& state) {
    jsmntok_t tokens[128];
    for (auto _ : state) {
        jsmn_parser parser;
        jsmn_init(&parser);
        benchmark::DoNotOptimize(
            jsmn_parse(&parser, kRequest.data(), kRequest.size(), tokens, 128));
    }
}
BENCHMARK(BM_TokeniseOnly);

}  // namespace

int main(int argc, char** argv) {
    return bench_rows::runAndPrintRows(
        argc, argv,
        {
            {"JSON map: parse a request (vs jsmn tokens only)", "BM_ParseRequest",
             "BM_TokeniseOnly"},
            {"JSON map: parse a full map", "BM_ParseFullMap", ""},
            {"JSON map: four decoded lookups", "BM_DecodedLookups", ""},
            {"JSON map: answer built and serialised", "BM_AnswerRoundTrip", ""},
        });
}
