#include "TessarollUtil/Message.h"

#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <future>
#include <thread>

#include "TessarollUtil/System.h"
#include "doubles/LogCapture/LogCapture.h"
#include "helpers/ChildProcess.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kWorker = "TessarollWorker";
constexpr const char* kMain = "ZEFAGPKITessarollMain.exe";

class MessageTest : public ::testing::Test {
protected:
    void SetUp() override { clearHandlers(); }
    void TearDown() override { clearHandlers(); }
    static void clearHandlers() {
        IPCHandlers.startFunction = nullptr;
        IPCHandlers.stopFunction = nullptr;
        IPCHandlers.restartFunction = nullptr;
        IPCHandlers.finalFunction = nullptr;
        IPCHandlers.lockFlag = nullptr;
        IPCHandlers.stopFlag = 0;
    }
    bool logged(const std::string& a, const std::string& b = "") {
        for (const auto& line : log.lines()) {
            auto at = line.find(a);
            if (at != std::string::npos && line.find(b, at + a.size()) != std::string::npos)
                return true;
        }
        return false;
    }
    testing_support::LogCapture log;
};

// A message stamped with the given time value, signed as a sender would.
TessarollMessagePtr stampedAt(uint64_t value, const char* instruction = kInstructionStart) {
    auto m = createMessage(kWorker, kMain, instruction);
    char text[32] = {};
    std::snprintf(text, sizeof text, "%" PRIx64, value);
    std::string t(text);
    const std::size_t bounds[] = {0, 3, 7, 11, 16};
    for (std::size_t i = 0; i < 4; ++i) {
        m->TimeValue[i] =
            bounds[i] < t.size() ? t.substr(bounds[i], bounds[i + 1] - bounds[i]) : "";
    }
    m->HashValue = getMessageHashValue(*m);
    return m;
}

// Waits for the start of a second, so a case has a whole second before the clock moves.
int64_t freshSecond() {
    int64_t start = getTimeValue();
    while (getTimeValue() == start) std::this_thread::sleep_for(2ms);
    return getTimeValue();
}

TEST_F(MessageTest, TimeWindowAcceptsUpToTwoSecondsOld) {
    struct Case {
        int64_t age;
        bool accepted;
    } cases[] = {{0, true}, {1, true}, {2, true}, {3, false}, {-1, false}, {1000, false}};
    for (const auto& c : cases) {
        int64_t now = freshSecond();
        auto m = stampedAt(static_cast<uint64_t>(now - c.age));
        log.take();
        EXPECT_EQ(verifyMessage(m.get()), c.accepted) << "age " << c.age;
        bool replay = false;
        for (const auto& line : log.take())
            replay = replay || line.find("Replay attack") != std::string::npos;
        EXPECT_EQ(replay, !c.accepted) << "age " << c.age;
    }
}

TEST_F(MessageTest, EightDigitTimeTextIsCutThreeFourOneNoneAndReadBack) {
    int64_t now = freshSecond();
    ASSERT_EQ(getTimeValueHex().size(), 8u) << "the clock no longer gives 8 digits";
    auto m = createMessage(kWorker, kMain, kInstructionStop);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->TimeValue[0]->size(), 3u);
    EXPECT_EQ(m->TimeValue[1]->size(), 4u);
    EXPECT_EQ(m->TimeValue[2]->size(), 1u);
    EXPECT_EQ(m->TimeValue[3]->size(), 0u);
    char expected[32];
    std::snprintf(expected, sizeof expected, "%" PRIx64, static_cast<uint64_t>(now));
    EXPECT_EQ(*m->TimeValue[0] + *m->TimeValue[1] + *m->TimeValue[2] + *m->TimeValue[3], expected);
    // Read back through the wire text: a wrong reading would be refused as a replay.
    auto back = parseMessage(*messageWireText(*m));
    EXPECT_TRUE(verifyMessage(back.get()));
    EXPECT_FALSE(logged("Replay attack"));
}

TEST_F(MessageTest, WireTextHasTheFixedShape) {
    auto m = stampedAt(0x1a2b3c4d5);
    EXPECT_EQ(
        *messageWireText(*m),
        "{\"From\":\"TessarollWorker\", \"To\":\"ZEFAGPKITessarollMain.exe\", \"Instruction\":"
        "\"TessarollInstruction_Start\", \"Message\":\"\", \"TimeValue\":\"1a2b3c4d5\", "
        "\"HashValue\":\"" +
            *m->HashValue + "\"}");
    EXPECT_EQ(m->HashValue->size(), 128u);
    EXPECT_EQ(m->HashValue->find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_FALSE(createMessage(nullptr, kMain, kInstructionStart));
    EXPECT_FALSE(createMessage(kWorker, nullptr, kInstructionStart));
}

TEST_F(MessageTest, AnyChangedFieldFailsVerification) {
    freshSecond();
    const std::string wire = *messageWireText(*createMessage(kWorker, kMain, kInstructionSuicide));
    ASSERT_TRUE(verifyMessage(parseMessage(wire).get()));
    auto lowerHash = [](std::string text) {
        auto at = text.find("\"HashValue\":\"") + 13;
        for (auto i = at; i < at + 128; ++i)
            text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        return text;
    };
    auto replace = [&](const std::string& from, const std::string& to) {
        std::string text = wire;
        auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const std::string tampered[] = {
        replace("\"From\":\"TessarollWorker\"", "\"From\":\"TessarollWorkeR\""),
        replace("\"To\":\"ZEFAGPKITessarollMain.exe\"", "\"To\":\"ZEFAGPKITessarollMonitor.exe\""),
        replace("TessarollInstruction_Suicide", "TessarollInstruction_Restart"),
        replace("\"Message\":\"\"", "\"Message\":\"x\""),
        lowerHash(wire),
        replace("\"HashValue\":\"", "\"HashValue\":\"0"),
        replace("\"From\":\"TessarollWorker\", ", ""),
        replace("\"TimeValue\":\"", "\"TimeValue\":\"1"),
    };
    for (const auto& text : tampered) {
        log.take();
        EXPECT_FALSE(verifyMessage(parseMessage(text).get())) << text;
    }
    EXPECT_TRUE(logged("TessarollMessage verify state: ", "Fail"));
    EXPECT_FALSE(verifyMessage(nullptr));
}

TEST_F(MessageTest, InstructionsRunTheirRegisteredFunction) {
    struct Case {
        const char* instruction;
        std::function<void()> IPCHandlerTable::*slot;
        const char* executed;
        const char* missing;
    } cases[] = {
        {kInstructionStart, &IPCHandlerTable::startFunction, "Execute start function",
         "No start function"},
        {kInstructionStop, &IPCHandlerTable::stopFunction, "Execute stop function",
         "No stop function"},
        {kInstructionRestart, &IPCHandlerTable::restartFunction, "Execute restart function",
         "No restart function"},
    };
    for (const auto& c : cases) {
        clearHandlers();
        freshSecond();
        std::string wire = *messageWireText(*createMessage(kWorker, kMain, c.instruction));
        ipcWindowProc(kWmCopyData, 0, wire.c_str());
        EXPECT_TRUE(logged(c.missing)) << c.instruction;

        int calls = 0;
        IPCHandlers.*c.slot = [&calls] { ++calls; };
        ipcWindowProc(kWmCopyData, 0, wire.c_str());
        EXPECT_EQ(calls, 1) << c.instruction;
        EXPECT_TRUE(logged(c.executed)) << c.instruction;
    }
}

TEST_F(MessageTest, SuicideSetsTheStopFlagAndRunsTheFinalFunction) {
    int finals = 0;
    IPCHandlers.finalFunction = [&finals] { ++finals; };
    freshSecond();
    std::string wire = *messageWireText(*createMessage(kWorker, kMain, kInstructionSuicide));
    ipcWindowProc(kWmCopyData, 0, wire.c_str());
    EXPECT_EQ(finals, 1);
    EXPECT_EQ(IPCHandlers.stopFlag.load(), 1);
    EXPECT_TRUE(logged("Execute final function"));
}

TEST_F(MessageTest, UnknownOrUnverifiedInstructionsAreOnlyLogged) {
    int calls = 0;
    IPCHandlers.startFunction = [&calls] { ++calls; };
    IPCHandlers.finalFunction = [&calls] { ++calls; };
    freshSecond();
    std::string wire =
        *messageWireText(*createMessage(kWorker, kMain, "TessarollInstruction_Dance"));
    ipcWindowProc(kWmCopyData, 0, wire.c_str());
    EXPECT_TRUE(logged("Receive UNKNOW instruction: ", "TessarollInstruction_Dance"));
    EXPECT_TRUE(logged("Receive UNKNOW message: "));

    ipcWindowProc(kWmCopyData, 0, "{\"Instruction\":\"TessarollInstruction_Suicide\"}");
    ipcWindowProc(kWmCopyData, 0, "not json at all");
    ipcWindowProc(kWmCopyData, 0, nullptr);
    EXPECT_TRUE(logged("Verify TessarollMessage fail"));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(IPCHandlers.stopFlag.load(), 0);
}

TEST_F(MessageTest, SessionChangesFollowTheLockFlagOrEndTheProgram) {
    struct Case {
        int code;
        const char* text;
        int flagAfter;  // lock flag registered, starting at 5
        int finalsWithoutFlag;
    } cases[] = {
        {1, "Receive connect signal", 0, 0},         {2, "Receive disconnect signal", 1, 1},
        {3, "Receive remote connect signal", 0, 0},  {4, "Receive remote disconnect signal", 1, 1},
        {7, "Receive windows lock signal", 1, 1},    {8, "Receive windows unlock signal", 0, 0},
        {5, "Receive unknow system signal: ", 5, 0},
    };
    for (const auto& c : cases) {
        clearHandlers();
        std::atomic<uint8_t> flag{5};
        int finals = 0;
        IPCHandlers.finalFunction = [&finals] { ++finals; };
        IPCHandlers.lockFlag = &flag;
        ipcWindowProc(kWmSessionChange, c.code, nullptr);
        EXPECT_EQ(flag.load(), c.flagAfter) << c.code;
        EXPECT_EQ(finals, 0) << c.code;
        EXPECT_TRUE(logged(c.text)) << c.code;

        IPCHandlers.lockFlag = nullptr;
        ipcWindowProc(kWmSessionChange, c.code, nullptr);
        EXPECT_EQ(finals, c.finalsWithoutFlag) << c.code;
    }
}

TEST_F(MessageTest, SendWithoutAnArgumentSendsNothingAndSaysSo) {
    EXPECT_FALSE(sendIPCMsgWin(nullptr, kMain, kInstructionStart));
    EXPECT_FALSE(sendIPCMsgWin(kWorker, nullptr, kInstructionStart));
    EXPECT_FALSE(sendIPCMsgWin(kWorker, kMain, nullptr));
    EXPECT_TRUE(logged("kcstrInputFrom"));
    EXPECT_TRUE(logged("kcstrInputInstruction"));
    EXPECT_FALSE(logged("sendIPCMsgWin: "));

    EXPECT_FALSE(sendIPCMsg(nullptr, kInstructionStart));
    EXPECT_FALSE(sendIPCMsg(kMain, ""));
    EXPECT_TRUE(logged("Instruction is empty"));
    EXPECT_FALSE(sendIPCMsg(nullptr));
    EXPECT_TRUE(logged("Send message final result: ", "Fail"));
}

TEST_F(MessageTest, SendToAMissingChannelHoldsTheLockModeMutex) {
    const std::string channel = "NobodyHere" + std::to_string(::getpid());
    auto started = std::chrono::steady_clock::now();
    auto sending = std::async(std::launch::async, [&] {
        return sendIPCMsgWin(kWorker, channel.c_str(), kInstructionRestart);
    });
    // Another thread sees the mutex held, which is what a polling receiver looks for.
    bool seen = testing_support::waitUntil(
        [&] { return lockUserMutex(channel + kInstructionRestart, 0) == nullptr; }, 2s);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(sending.get());
    EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
    EXPECT_TRUE(logged("sendIPCMsgWin can't find window ", channel));
    EXPECT_TRUE(logged("sendIPCMsgWin: ", "Lock Mode"));
    EXPECT_TRUE(lockUserMutex(channel + kInstructionRestart, 0) != nullptr);
}

}  // namespace
