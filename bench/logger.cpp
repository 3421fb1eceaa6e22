// What a log call costs: filtered out by the level (logging off), and one line written
// to the real file (logging on, with and without the size check of rotation).
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"

#include "helpers/Sandbox.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

namespace {

void enableLogging(const testing_support::Sandbox& sandbox, const std::string& extra) {
    resetLogForTests();
    resetLoggerForTests();
    std::filesystem::path ini = sandbox.windowsDir() / "ZEFAGPKITessaroll.ini";
    testing_support::writeFile(ini, "[ZEFAGPKITessaroll]\nLog File=" + (sandbox.tempDir() / "bench.log").string() +
                                        "\n" + extra + "Log Level=5\n");
    setLog("ZEFAGPKITessaroll");
}

void FilteredLogCall(benchmark::State& state) {
    testing_support::Sandbox sandbox;
    resetLogForTests();
    resetLoggerForTests();
    for (auto _ : state) benchmark::DoNotOptimize(logPrint(5, "value %d", 42));
}
BENCHMARK(FilteredLogCall);

void FilteredWriterCall(benchmark::State& state) {
    testing_support::Sandbox sandbox;
    resetLogForTests();
    resetLoggerForTests();
    for (auto _ : state) writeNormalLog("Port: ", "56482");
}
BENCHMARK(FilteredWriterCall);

void WrittenLine(benchmark::State& state) {
    testing_support::Sandbox sandbox;
    enableLogging(sandbox, "");
    for (auto _ : state) writeNormalLog("Port: ", "56482");
    disableLog();
}
BENCHMARK(WrittenLine);

void WrittenLineWithSizeLimit(benchmark::State& state) {
    testing_support::Sandbox sandbox;
    enableLogging(sandbox, "Log MaxSize=100000000\n");
    for (auto _ : state) writeNormalLog("Port: ", "56482");
    disableLog();
}
BENCHMARK(WrittenLineWithSizeLimit);

}  // namespace

BENCHMARK_MAIN();
