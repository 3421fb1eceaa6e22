// What a log call costs: filtered out by the level (logging off), and one line written
// to the real file (logging on, with and without the size check of rotation), against the
// same line with its time stamp appended to a file with stdio and flushed.
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/Log.h"

#include "BenchRows.h"
#include "helpers/Sandbox.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

namespace {

void enableLogging(const testing_support::Sandbox& sandbox, const std::string& extra) {
    resetLogForTests();
    resetLoggerForTests();
    std::filesystem::path ini = sandbox.windowsDir() / "ZEFAGPKITessaroll.ini";
    testing_support::writeFile(
        ini, "[ZEFAGPKITessaroll]\nLog File=" + (sandbox.tempDir() / "bench.log").string() + "\n" +
                 extra + "Log Level=5\n");
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

// The reference: what writing such a line costs at the least.
void PlainFileLine(benchmark::State& state) {
    testing_support::Sandbox sandbox;
    FILE* file = std::fopen((sandbox.tempDir() / "plain.log").c_str(), "a");
    for (auto _ : state) {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        std::fprintf(file, "%s [%d][ZEFAGPKITessaroll][Normal] Port: 56482\n", stamp, 1);
        std::fflush(file);
    }
    std::fclose(file);
}
BENCHMARK(PlainFileLine);

}  // namespace

int main(int argc, char** argv) {
    return bench_rows::runAndPrintRows(
        argc, argv,
        {
            {"log call filtered out by the level", "FilteredLogCall", ""},
            {"log writer filtered out", "FilteredWriterCall", ""},
            {"log line written (vs stdio line + flush)", "WrittenLine", "PlainFileLine"},
            {"log line written with size limit (vs stdio line + flush)", "WrittenLineWithSizeLimit",
             "PlainFileLine"},
        });
}
