// A crash inside an adapter call: the main program leaves its crash report and dies of
// the signal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <chrono>
#include <ctime>
#include <filesystem>

#include "TessarollIpc/MainService.h"

// GCC 12 warns about its own std::function inside <regex> when sanitizers and optimisation
// are both on (a false positive in the library header).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testing_support;

namespace {

TEST(CrashMain, AdapterCrashLeavesAReportInTheDumpFolder) {
    Sandbox sandbox;
    // The dump folder is the user's temporary folder; three older reports lie there.
    fs::create_directories(sandbox.tempDir());
    for (const char* name : {"ZEFAGPKITessaroll1600000000.dmp", "ZEFAGPKITessaroll1600000001.dmp",
                             "ZEFAGPKITessaroll1600000002.dmp", "other.dmp"}) {
        writeFile(sandbox.tempDir() / name, "old");
    }
    auto service = startMainService(sandbox);
    ASSERT_TRUE(service);
    HttpsClient client(mainClientOptions());
    std::string session = openSession(client);
    ASSERT_FALSE(session.empty()) << service->log();

    auto answer = postRequest(
        client, R"({"SessionId": ")" + session + R"(", "FunctionName": "TestAdapter_Crash"})");
    EXPECT_FALSE(answer) << service->log();  // the connection died with the program
    EXPECT_EQ(service->process().wait(20s), 128 + 11);

    std::vector<std::string> reports;
    for (const auto& entry : fs::directory_iterator(sandbox.tempDir())) {
        std::string name = entry.path().filename().string();
        if (std::regex_match(name, std::regex("ZEFAGPKITessaroll[0-9]{10}\\.dmp")))
            reports.push_back(name);
    }
    std::sort(reports.begin(), reports.end());
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0], "ZEFAGPKITessaroll1600000001.dmp");
    EXPECT_EQ(reports[1], "ZEFAGPKITessaroll1600000002.dmp");
    std::string report = readFile(sandbox.tempDir() / reports[2]);
    EXPECT_NE(report.find("Signal: 11 (SIGSEGV)"), std::string::npos);
    EXPECT_NE(report.find("ZEFAVZDediGPKICryptATLAdapter.so"),
              std::string::npos);  // the adapter copy is mapped
    EXPECT_TRUE(fs::exists(sandbox.tempDir() / "other.dmp"));
}

// FIFOs at the names of the next reports (as another user could plant them in a shared
// folder): the report is skipped at once and the program dies of its signal without delay.
TEST(CrashMain, FifoAtTheReportNameIsSkippedAtOnce) {
    Sandbox sandbox;
    fs::create_directories(sandbox.tempDir());
    auto service = startMainService(sandbox);
    ASSERT_TRUE(service);
    HttpsClient client(mainClientOptions());
    std::string session = openSession(client);
    ASSERT_FALSE(session.empty()) << service->log();
    std::vector<fs::path> fifos;
    const long long now = static_cast<long long>(std::time(nullptr));
    for (long long second = now; second < now + 120; ++second) {
        fifos.push_back(sandbox.tempDir() /
                        ("ZEFAGPKITessaroll" + std::to_string(second) + ".dmp"));
        ASSERT_EQ(mkfifo(fifos.back().c_str(), 0666), 0);
    }

    auto answer = postRequest(
        client, R"({"SessionId": ")" + session + R"(", "FunctionName": "TestAdapter_Crash"})");
    EXPECT_FALSE(answer) << service->log();
    // Well inside the crash filter's own time limit (30 s), which a blocked open would reach.
    EXPECT_EQ(service->process().wait(15s), 128 + 11);
    for (const fs::path& fifo : fifos) EXPECT_TRUE(fs::is_fifo(fifo)) << fifo;
}

}  // namespace
