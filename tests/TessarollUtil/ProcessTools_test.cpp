#include "TessarollUtil/ProcessTools.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>

#include "doubles/IpcPeer/PeerProgram.h"
#include "doubles/LogCapture/LogCapture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

TEST(ProcessTools, RunHiddenAndWaitGivesTheExitCode) {
    struct Case {
        const char* command;
        bool useCmd;
        int code;
    } cases[] = {
        {"exit 5", true, 5},
        {"/bin/sh -c \"exit 4\"", false, 4},
        {"no-such-program-anywhere", false, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(runHiddenAndWait(c.command, c.useCmd), c.code) << c.command;
    EXPECT_EQ(runHiddenAndWait(nullptr, true), 1);
}

TEST(ProcessTools, HideNoWaitReturnsAtOnce) {
    testing_support::LogCapture log;
    auto started = std::chrono::steady_clock::now();
    hideNOWaitCommand("sleep 3");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_TRUE(log.contains("hideNOWaitCommand: sleep 3"));
}

TEST(ProcessTools, AProgramThatIgnoresTheInstructionIsKilled) {
    testing_support::LogCapture log;
    // A copy under a name of its own, so that nothing else of that name can be hit.
    const std::string name = "TessarollStubborn" + std::to_string(::getpid());
    const std::string image = name + ".exe";
    const char* temp = std::getenv("TMPDIR");
    fs::path program = fs::path(temp) / name;
    fs::copy_file(testing_support::peerProgram(), program);
    testing_support::PeerReceiver peer(image, "stubborn", {"ignore"}, {}, program);
    ASSERT_TRUE(peer.waitReady());
    ASSERT_TRUE(isProcessRunning(image.c_str()));

    EXPECT_TRUE(killProcessByName(image.c_str()));
    EXPECT_TRUE(peer.marked("ignored"));  // the instruction arrived and was ignored
    EXPECT_EQ(peer.process().wait(5s), 128 + 9);
    EXPECT_FALSE(isProcessRunning(image.c_str()));
    EXPECT_TRUE(log.contains("TessarollWorker kill " + image + " success"));
    EXPECT_TRUE(log.contains("[TessarollWorker] kill " + image + " shutdown state: Success"));
}

TEST(ProcessTools, KillingWhatDoesNotRunStillAsksAndSucceeds) {
    testing_support::LogCapture log;
    const std::string image = "TessarollAbsent" + std::to_string(::getpid()) + ".exe";
    EXPECT_TRUE(killProcessByName(image.c_str(), ProgramForm::Monitor));
    EXPECT_TRUE(log.contains("sendIPCMsgWin can't find window " + image));
    EXPECT_TRUE(log.contains("ZEFAGPKITessarollMonitor.exe kill " + image + " success"));
    EXPECT_FALSE(log.contains("Start command kill mode"));
    EXPECT_TRUE(killProcessByName(nullptr));
    EXPECT_FALSE(isProcessRunning(nullptr));
}

}  // namespace
