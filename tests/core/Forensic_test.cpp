#include "core/Forensic.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <vector>

#include "doubles/IpcPeer/PeerProgram.h"
#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"

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
using VZ::OS::Win32::Forensic::CrashDumpCallBack;
using VZ::OS::Win32::Forensic::Detail::ExceptionHandler;
using VZ::OS::Win32::Forensic::Detail::IExceptionCallBack;
using VZ::OS::Win32::Forensic::Detail::IHandler;

namespace {

constexpr const char* kPrefix = "ZEFAGPKITessaroll";

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A folder with old reports and things that only look like them.
fs::path dumpFolder(const testing_support::Sandbox& sandbox, int oldReports) {
    fs::path folder = sandbox.root() / "dumps";
    fs::create_directories(folder / "ZEFAGPKITessaroll1500000000.dmp");  // a folder, not a report
    for (int i = 0; i < oldReports; ++i) {
        testing_support::writeFile(
            folder / ("ZEFAGPKITessaroll160000000" + std::to_string(i) + ".dmp"), "old");
    }
    for (const char* name :
         {"other.dmp", "ZEFAGPKITessaroll160000000.dmp", "ZEFAGPKITessaroll1600000000.dmp.txt",
          "xZEFAGPKITessaroll1400000000.dmp"}) {
        testing_support::writeFile(folder / name, "keep");
    }
    return folder;
}

TEST(CrashDumpCallBack, KeepsTheNewestReportsAndNothingElseIsTouched) {
    testing_support::Sandbox sandbox;
    fs::path folder = dumpFolder(sandbox, 3);
    CrashDumpCallBack callback(3, folder, kPrefix);
    std::string path = callback.dumpFilePath();
    EXPECT_TRUE(std::regex_match(
        path, std::regex(std::regex_replace(folder.string(), std::regex("[.]"), "\\.") +
                         "/ZEFAGPKITessaroll[0-9]{10}\\.dmp")))
        << path;
    EXPECT_EQ(
        namesIn(folder),
        (std::vector<std::string>{
            "ZEFAGPKITessaroll1500000000.dmp", "ZEFAGPKITessaroll160000000.dmp",
            "ZEFAGPKITessaroll1600000000.dmp.txt", "ZEFAGPKITessaroll1600000001.dmp",
            "ZEFAGPKITessaroll1600000002.dmp", "other.dmp", "xZEFAGPKITessaroll1400000000.dmp"}));

    // Two old reports and a keep count of 3: nothing goes.
    CrashDumpCallBack again(3, folder, kPrefix);
    again.dumpFilePath();
    EXPECT_EQ(namesIn(folder).size(), 7u);
}

TEST(CrashDumpCallBack, TheDotOfTheExpressionMatchesAnyCharacter) {
    testing_support::Sandbox sandbox;
    fs::path folder = sandbox.root();
    testing_support::writeFile(folder / "ZEFAGPKITessaroll1600000000xdmp", "");
    CrashDumpCallBack callback(1, folder, kPrefix);
    EXPECT_TRUE(callback.isOldDump(folder / "ZEFAGPKITessaroll1600000000xdmp"));
    EXPECT_FALSE(callback.isOldDump(folder / "ZEFAGPKITessaroll1600000000.dmpx"));
    EXPECT_FALSE(callback.isOldDump(folder / "missing1600000000.dmp"));
}

TEST(CrashDumpCallBack, WritesAReportWithoutACrashToo) {
    testing_support::Sandbox sandbox;
    CrashDumpCallBack callback(3, sandbox.root(), kPrefix);
    callback.call(nullptr);
    std::vector<std::string> reports;
    for (const auto& name : namesIn(sandbox.root())) {
        if (callback.isOldDump(sandbox.root() / name)) reports.push_back(name);
    }
    ASSERT_EQ(reports.size(), 1u);
    std::string text = testing_support::readFile(sandbox.root() / reports[0]);
    EXPECT_NE(text.find("Signal: none"), std::string::npos);
    EXPECT_NE(text.find("Memory map:"), std::string::npos);

    CrashDumpCallBack nowhere(3, sandbox.root() / "missing", kPrefix);
    EXPECT_NO_THROW(nowhere.call(nullptr));  // the folder is not created
    EXPECT_FALSE(fs::exists(sandbox.root() / "missing"));
}

TEST(ExceptionHandler, EntriesRunOnceLastAddedFirst) {
    struct Handler : IHandler {
        explicit Handler(std::vector<int>& order) : order(order) {}
        void call() override { order.push_back(0); }
        std::vector<int>& order;
    };
    struct CallBack : IExceptionCallBack {
        CallBack(std::vector<int>& order, int id) : order(order), id(id) {}
        void call(const CrashContext*) override { order.push_back(id); }
        std::vector<int>& order;
        int id;
    };
    ExceptionHandler& handler = getForensicInstance();
    EXPECT_EQ(&handler, &getForensicInstance());
    std::vector<int> order;
    handler.add(std::make_unique<CallBack>(order, 1));
    handler.add(std::make_unique<Handler>(order));
    handler.add(std::make_unique<CallBack>(order, 2));
    handler.handleException(nullptr);
    EXPECT_EQ(order, (std::vector<int>{2, 0, 1}));
    EXPECT_EQ(handler.entryCount(), 0u);
    handler.handleException(nullptr);
    EXPECT_EQ(order.size(), 3u);
}

TEST(CrashHandler, ACrashingProgramLeavesAReportAndDiesOfItsSignal) {
    testing_support::Sandbox sandbox;
    fs::path folder = dumpFolder(sandbox, 3);
    testing_support::ChildProcess crasher(testing_support::peerProgram(),
                                          {"crash", folder.string(), kPrefix});
    EXPECT_EQ(crasher.wait(20s), 128 + 11);  // the default action ran after the report

    CrashDumpCallBack match(3, folder, kPrefix);
    std::vector<std::string> reports;
    for (const auto& name : namesIn(folder)) {
        if (match.isOldDump(folder / name)) reports.push_back(name);
    }
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0], "ZEFAGPKITessaroll1600000001.dmp");  // the oldest went
    EXPECT_EQ(reports[1], "ZEFAGPKITessaroll1600000002.dmp");
    std::string report = testing_support::readFile(folder / reports[2]);
    for (const char* part :
         {"Signal: 11 (SIGSEGV)", "Fault address: 0x0000000000000010", "Thread: ", "rip 0x",
          "Backtrace:", "Memory map:", "tessaroll_ipc_peer"}) {
        EXPECT_NE(report.find(part), std::string::npos) << part;
    }
    EXPECT_TRUE(fs::exists(folder / "other.dmp"));
    EXPECT_TRUE(fs::is_directory(folder / "ZEFAGPKITessaroll1500000000.dmp"));
}

}  // namespace
