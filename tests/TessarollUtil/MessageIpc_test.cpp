// Instructions between two real processes: this test sends, the peer program receives.
#include <gtest/gtest.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "TessarollUtil/Message.h"
#include "doubles/IpcPeer/PeerProgram.h"
#include "doubles/LogCapture/LogCapture.h"
#include "doubles/LogindMock/LogindMock.h"
#include "platform/Channel.h"

using namespace std::chrono_literals;
using testing_support::PeerReceiver;

namespace {

std::string uniqueChannel(const char* what) {
    return std::string("Peer") + what + std::to_string(::getpid());
}

bool loggedTogether(const testing_support::LogCapture& log, const std::string& a,
                    const std::string& b) {
    for (const auto& line : log.lines()) {
        auto at = line.find(a);
        if (at != std::string::npos && line.find(b, at + a.size()) != std::string::npos)
            return true;
    }
    return false;
}

TEST(MessageIpc, SuicideThroughTheChannelRunsTheFinalFunctionBeforeTheSendReturns) {
    testing_support::LogCapture log;
    const std::string channel = uniqueChannel("Final");
    PeerReceiver peer(channel, "final-peer", {"final"});
    ASSERT_TRUE(peer.waitReady());

    EXPECT_TRUE(sendIPCMsgWin("TessarollWorker", channel.c_str(), kInstructionSuicide));
    EXPECT_TRUE(peer.marked("final"));  // the final function takes 300 ms; the send waited
    EXPECT_EQ(peer.process().wait(5s), 0);
    EXPECT_TRUE(log.contains("Execute final function"));
}

TEST(MessageIpc, SuicideWithoutAFinalFunctionEndsTheProcess) {
    testing_support::LogCapture log;
    // The worker's form and the monitor's form of the wrapper.
    struct Sender {
        const char* name;
        bool (*send)(const char* to);
    } senders[] = {
        {"Worker", [](const char* to) { return sendIPCMsg(to, kInstructionSuicide); }},
        {"Monitor", [](const char* to) { return sendIPCMsg(to); }},
    };
    for (const auto& sender : senders) {
        const std::string channel = uniqueChannel(sender.name);
        PeerReceiver peer(channel, std::string("exit-peer-") + sender.name, {"exit"});
        ASSERT_TRUE(peer.waitReady());
        EXPECT_TRUE(sender.send(channel.c_str())) << sender.name;
        EXPECT_EQ(peer.process().wait(5s), 0) << sender.name;
    }
    EXPECT_TRUE(log.contains("Execute exit"));
    EXPECT_TRUE(loggedTogether(log, "Send message final result: ", "Success"));
}

TEST(MessageIpc, MonitorStartInLockModeStartsTheWorker) {
    testing_support::LogCapture log;
    // A stand-in worker on PATH that records how it was started.
    const std::filesystem::path bin = std::filesystem::path(std::getenv("TMPDIR")) / "bin";
    const std::filesystem::path started =
        std::filesystem::path(std::getenv("TMPDIR")) / "worker-started";
    std::filesystem::create_directories(bin);
    testing_support::writeFile(bin / "ZEFAGPKITessarollWorker",
                               "#!/bin/sh\necho \"$@\" > '" + started.string() + "'\n");
    std::filesystem::permissions(bin / "ZEFAGPKITessarollWorker",
                                 std::filesystem::perms::owner_all);
    const std::string channel = uniqueChannel("MonitorStart");
    PeerReceiver peer(channel, "monitorstart-peer", {},
                      {{"PATH", bin.string() + ":" + std::getenv("PATH")}});
    ASSERT_TRUE(peer.waitReady());

    EXPECT_TRUE(
        sendIPCMsgWin("TessarollWorker-1234ABCD_SID", channel.c_str(), kInstructionMonitorStart));
    EXPECT_TRUE(testing_support::waitUntil([&] { return std::filesystem::exists(started); }, 3s));
    EXPECT_TRUE(testing_support::waitUntil(
        [&] { return testing_support::readFile(started) == "-start\n"; }, 1s));
    // Through the channel only the monitor's tray window knows this instruction.
    EXPECT_TRUE(loggedTogether(log, "Receive UNKNOW instruction: ", kInstructionMonitorStart));
    EXPECT_TRUE(loggedTogether(log, "IPC Message Lock Mode: ", "Recivie MonitorStart message"));
    EXPECT_TRUE(loggedTogether(log, "hideNOWaitCommand: ", "ZEFAGPKITessarollWorker.exe -start"));
}

TEST(MessageIpc, WithoutTheSocketThePollerSeesTheLockModeSignal) {
    testing_support::LogCapture log;
    const std::string channel = uniqueChannel("Lock");
    PeerReceiver peer(channel, "lock-peer", {});
    ASSERT_TRUE(peer.waitReady());
    ASSERT_EQ(::unlink(channelSocketPath(channel).c_str()), 0);
    ASSERT_FALSE(findChannel(channel));

    EXPECT_TRUE(sendIPCMsgWin("TessarollWorker", channel.c_str(), kInstructionStart));
    EXPECT_TRUE(peer.waitMarked("start"));
    EXPECT_TRUE(loggedTogether(log, "sendIPCMsgWin can't find window ", channel));
    EXPECT_TRUE(loggedTogether(log, "IPC Message Lock Mode: ", "Recivie start message"));
}

TEST(MessageIpc, SecondReceiverOnAChannelFailsAndTheFirstKeepsWorking) {
    testing_support::LogCapture log;
    const std::string channel = uniqueChannel("Twice");
    PeerReceiver first(channel, "first-peer", {});
    ASSERT_TRUE(first.waitReady());
    PeerReceiver second(channel, "second-peer", {});
    ASSERT_TRUE(second.waitMarked("ready", 10s));
    EXPECT_TRUE(testing_support::waitUntil([&] {
        return loggedTogether(
            log, "[Catastrophic failure] Start Windows API IPC message receiver: ", "Fail");
    }));

    EXPECT_TRUE(sendIPCMsgWin("TessarollWorker", channel.c_str(), kInstructionStop));
    EXPECT_TRUE(first.marked("stop"));  // through the channel, before the send returned
    EXPECT_TRUE(first.process().running());
}

TEST(MessageIpc, SessionSignalsReachTheReceiver) {
    testing_support::LogindMock logind;
    ASSERT_TRUE(logind.ready());
    testing_support::LogCapture log;

    // A program with a lock flag follows the session.
    PeerReceiver follower(uniqueChannel("Follow"), "follow-peer", {"lockflag"},
                          logind.environment());
    ASSERT_TRUE(follower.waitReady());
    ASSERT_TRUE(logind.lock());
    EXPECT_TRUE(follower.waitMarked("lock-1"));
    ASSERT_TRUE(logind.unlock());
    EXPECT_TRUE(follower.waitMarked("lock-0"));
    EXPECT_TRUE(log.contains("Receive windows lock signal"));
    EXPECT_TRUE(log.contains("Receive windows unlock signal"));
    follower.process().kill();

    // One with only a final function ends when the user leaves the session.
    PeerReceiver leaver(uniqueChannel("Leave"), "leave-peer", {"final"}, logind.environment());
    ASSERT_TRUE(leaver.waitReady());
    ASSERT_TRUE(logind.setActive(false));
    EXPECT_TRUE(leaver.waitMarked("final"));
    EXPECT_EQ(leaver.process().wait(5s), 0);
    EXPECT_TRUE(log.contains("Receive disconnect signal"));
}

}  // namespace
