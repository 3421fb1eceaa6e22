#include "TessarollUtil/Message.h"

#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "TessarollUtil/Crypto.h"
#include "TessarollUtil/JsonMap.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/MessageKey.h"
#include "TessarollUtil/ProcessTools.h"
#include "TessarollUtil/ProgramNames.h"
#include "TessarollUtil/Secure.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/Channel.h"
#include "platform/SessionNotify.h"

IPCHandlerTable IPCHandlers;

namespace {

constexpr std::size_t kPieceBounds[5] = {0, 3, 7, 11, 16};
// Names of the lock-mode mutexes are built in 512 bytes.
constexpr std::size_t kNameBound = 511;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string piece(std::string_view text, int index) {
    std::size_t start = kPieceBounds[index];
    std::size_t end = std::min(kPieceBounds[index + 1], text.size());
    return start < end ? std::string(text.substr(start, end - start)) : std::string();
}

std::string joinedTime(const TessarollMessage& m) {
    std::string joined;
    for (const auto& p : m.TimeValue) joined += p.value_or("");
    if (joined.size() > 16) joined.resize(16);
    return joined;
}

std::string bounded(std::string_view text, std::size_t bound) {
    return std::string(text.substr(0, std::min(text.size(), bound)));
}

// Ends the process from a receiver thread: the other threads are still running, so the
// program's static objects are not torn down under them.
[[noreturn]] void endProcess() {
    std::fflush(nullptr);
    ::_exit(0);
}

// A sender signals by holding the mutex. One that we obtain is free, also when its last
// holder died with it (a killed program is no sender): it is given back at once.
bool heldBySender(NamedMutex& mutex) {
    switch (mutex.wait(0)) {
        case MutexWait::Obtained:
        case MutexWait::Abandoned: mutex.release(); return false;
        case MutexWait::TimedOut: return true;
        case MutexWait::Failed: break;
    }
    return false;
}

void runRegistered(const std::function<void()>& function, const char* executeText,
                   const char* missingText) {
    if (function) {
        writeNormalLog(executeText, "");
        function();
    } else {
        writeNormalLog(missingText, "");
    }
}

}  // namespace

TessarollMessagePtr createMessage(const char* from, const char* to, const char* instruction) {
    if (!from || !to) return nullptr;
    auto message = std::make_unique<TessarollMessage>();
    message->From = from;
    message->To = to;
    if (instruction) message->Instruction = instruction;
    message->Message = "";
    char timeText[32] = {};
    std::snprintf(timeText, sizeof timeText, "%" PRIx64, static_cast<uint64_t>(getTimeValue()));
    for (int i = 0; i < 4; ++i)
        message->TimeValue[static_cast<std::size_t>(i)] = piece(timeText, i);
    message->HashValue = getMessageHashValue(*message);
    return message;
}

std::string getMessageHashValue(const TessarollMessage& m) {
    SecretString input;  // holds the key block
    input += m.From.value_or("");
    input += m.To.value_or("");
    for (const auto& p : m.TimeValue) input += p.value_or("");
    input.append(reinterpret_cast<const char*>(kMessageKeyBlock.data()), kMessageKeyLength);
    input += m.Instruction.value_or("");
    input += m.Message.value_or("");
    // The hash covers the text up to its first zero byte, as the senders build it.
    std::string_view hashed(input.c_str());

    Sha512Context context;
    sha512Init(context);
    sha512Update(context, hashed);
    Sha512Digest digest{};
    sha512Final(context, digest);
    std::string hex = digestToHex(digest);
    secureWipe(digest.data(), digest.size());
    return hex;
}

std::optional<std::string> messageWireText(const TessarollMessage& m) {
    if (!m.From || !m.To || !m.Message || !m.HashValue) return std::nullopt;
    std::string text;
    text.reserve(160 + m.From->size() + m.To->size() + m.Message->size());
    text += "{\"From\":\"" + *m.From + "\", \"To\":\"" + *m.To + "\", \"Instruction\":\"" +
            m.Instruction.value_or("") + "\", \"Message\":\"" + *m.Message +
            "\", \"TimeValue\":\"" + joinedTime(m) + "\", \"HashValue\":\"" + *m.HashValue + "\"}";
    return text;
}

TessarollMessagePtr parseMessage(std::string_view text) {
    auto message = std::make_unique<TessarollMessage>();
    message->From = getJsonTextValue(text, "From");
    message->To = getJsonTextValue(text, "To");
    message->Instruction = getJsonTextValue(text, "Instruction");
    message->Message = getJsonTextValue(text, "Message");
    message->HashValue = getJsonTextValue(text, "HashValue");
    if (auto time = getJsonTextValue(text, "TimeValue")) {
        std::string first16 = bounded(*time, 16);
        for (int i = 0; i < 4; ++i)
            message->TimeValue[static_cast<std::size_t>(i)] = piece(first16, i);
    }
    return message;
}

bool verifyMessage(const TessarollMessage* message) {
    if (!message) return false;
    // Every sender sends an empty Message, which reads back as absent; the other fields
    // must all be there.
    if (!message->From || !message->To || !message->Instruction || !message->HashValue ||
        !message->TimeValue[0]) {
        return false;
    }
    const uint64_t now = static_cast<uint64_t>(getTimeValue());

    std::string aligned = alignRight16(joinedTime(*message));
    uint64_t sent = 0;
    constexpr int shifts[4] = {52, 36, 20, 0};
    for (int i = 0; i < 4; ++i) {
        std::string p = piece(aligned, i);
        std::size_t digits = p.find_first_not_of(' ');
        int32_t value =
            digits == std::string::npos ? 0 : hexStringToLong(std::string_view(p).substr(digits));
        sent |= static_cast<uint64_t>(static_cast<uint32_t>(value)) << shifts[i];
    }
    // Unsigned: a time from the future wraps around and is refused as well.
    if (now - sent > 2) {
        char number[32];
        std::snprintf(number, sizeof number, "%" PRIx64, now);
        writeWarningLog("TessarollMessage now time value: ", number);
        std::snprintf(number, sizeof number, "%" PRIx64, sent);
        writeWarningLog("TessarollMessage message time value: ", number);
        writeWarningLog("TessarollMessage verify fail: ", "Replay attack");
        return false;
    }
    bool same = getMessageHashValue(*message) == *message->HashValue;
    if (isLogOn()) {
        if (same) {
            writeNormalLog("TessarollMessage verify state: ", "Success");
        } else {
            writeWarningLog("TessarollMessage verify state: ", "Fail");
        }
    }
    return same;
}

bool sendIPCMsgWin(const char* from, const char* to, const char* instruction) {
    // Nothing is sent without all three: say so to the caller.
    if (!from || !to || !instruction) {
        if (!from) TESSAROLL_NULL_PARAMETER("kcstrInputFrom");
        if (!to) TESSAROLL_NULL_PARAMETER("kcstrInputTo");
        if (!instruction) TESSAROLL_NULL_PARAMETER("kcstrInputInstruction");
        return false;
    }
    writeNormalLog("sendIPCMsgWin: ", "Windows API Mode");
    if (auto connection = findChannel(to)) {
        auto message = createMessage(from, to, instruction);
        if (auto text = message ? messageWireText(*message) : std::nullopt) {
            message.reset();
            // A receiver that is stopped or hung does not answer: the caller goes on
            // (a kill by name to its forced end) instead of waiting for it.
            if (!connection->send(*text))
                writeErrorLog("sendIPCMsgWin no answer from window ", bounded(to, 255));
        }
    } else {
        writeErrorLog("sendIPCMsgWin can't find window ", bounded(to, 255));
    }

    writeNormalLog("sendIPCMsgWin: ", "Lock Mode");
    std::string name = bounded(std::string(to) + instruction, kNameBound);
    auto mutex = lockUserMutex(name, 100);
    sleepMs(100);
    if (mutex) {
        mutex->release();
        mutex.reset();
    }
    return true;
}

bool sendIPCMsgWin(const char* to) {
    return sendIPCMsgWin(kSenderMonitor, to, kInstructionSuicide);
}

namespace {

bool finishSend(bool result) {
    if (isLogOn()) {
        if (result) {
            writeNormalLog("Send message final result: ", "Success");
        } else {
            writeErrorLog("Send message final result: ", "Fail");
        }
    }
    return result;
}

}  // namespace

bool sendIPCMsg(const char* to, const char* instruction) {
    if (!to) {
        TESSAROLL_NULL_PARAMETER("kcstrInputTo");
        return finishSend(false);
    }
    if (!instruction || !*instruction) {
        writeWarningLog("[Warning] ", "Instruction is empty");
        return finishSend(false);
    }
    writeNormalLog("Send message mode: ", "Windows api mode");
    return finishSend(sendIPCMsgWin(kSenderWorker, to, instruction));
}

bool sendIPCMsg(const char* to) {
    if (!to) {
        TESSAROLL_NULL_PARAMETER("kcstrInputTo");
        return finishSend(false);
    }
    writeNormalLog("Send message mode: ", "Windows api mode");
    return finishSend(sendIPCMsgWin(to));
}

namespace {

void handleCopyData(const char* data) {
    auto message = data ? parseMessage(data) : nullptr;
    if (!verifyMessage(message.get())) {
        writeWarningLog("[Warning] ", "Verify TessarollMessage fail");
        return;
    }
    const std::string& instruction = *message->Instruction;
    writeNormalLog("Receive COPYDATA message: ", instruction);
    if (instruction == kInstructionSuicide) {
        writeNormalLog("Receive message: ", instruction);
        IPCHandlers.stopFlag.exchange(1);
        if (IPCHandlers.finalFunction) {
            writeNormalLog("Execute final function", "");
            IPCHandlers.finalFunction();
        } else {
            writeNormalLog("Execute exit", "");
            endProcess();
        }
    } else if (instruction == kInstructionStart) {
        writeNormalLog("Receive message: ", instruction);
        runRegistered(IPCHandlers.startFunction, "Execute start function", "No start function");
    } else if (instruction == kInstructionStop) {
        writeNormalLog("Receive message: ", instruction);
        runRegistered(IPCHandlers.stopFunction, "Execute stop function", "No stop function");
    } else if (instruction == kInstructionRestart) {
        writeNormalLog("Receive message: ", instruction);
        runRegistered(IPCHandlers.restartFunction, "Execute restart function",
                      "No restart function");
    } else {
        writeNormalLog("Receive UNKNOW instruction: ", instruction);
        writeNormalLog("Receive UNKNOW message: ", message->Message.value_or(""));
    }
}

// The user left the session: a program that follows the session (a lock flag) marks it;
// any other program ends, through its final function when it has one.
void leaveSession() {
    if (IPCHandlers.lockFlag) {
        IPCHandlers.lockFlag->store(1);
    } else if (IPCHandlers.finalFunction) {
        IPCHandlers.finalFunction();
    } else {
        endProcess();
    }
}

void backInSession() {
    if (IPCHandlers.lockFlag) IPCHandlers.lockFlag->store(0);
}

void handleSessionChange(int code) {
    switch (code) {
        case kSessionConsoleConnect:
            writeNormalLog("Receive connect signal", "");
            backInSession();
            break;
        case kSessionConsoleDisconnect:
            writeNormalLog("Receive disconnect signal", "");
            leaveSession();
            break;
        case kSessionRemoteConnect:
            writeNormalLog("Receive remote connect signal", "");
            backInSession();
            break;
        case kSessionRemoteDisconnect:
            writeNormalLog("Receive remote disconnect signal", "");
            leaveSession();
            break;
        case kSessionLock:
            writeNormalLog("Receive windows lock signal", "");
            leaveSession();
            break;
        case kSessionUnlock:
            writeNormalLog("Receive windows unlock signal", "");
            backInSession();
            break;
        default: writeNormalLogInt("Receive unknow system signal: ", code); break;
    }
}

}  // namespace

void ipcWindowProc(unsigned message, int code, const char* data) {
    if (message == kWmCopyData) {
        handleCopyData(data);
    } else if (message == kWmSessionChange) {
        handleSessionChange(code);
    }
}

namespace {

std::unique_ptr<SessionNotifier> openSessionNotifier() {
    std::string whyNot;
    auto session = SessionNotifier::open(&whyNot);
    if (session) {
        writeNormalLog("Session notification: ", session->sessionPath());
    } else {
        writeWarningLog("Session notification unavailable: ", whyNot);
    }
    return session;
}

// Hands the channel's texts and the session changes to the window procedure until the
// channel fails.
void serveWindowMessages(ChannelReceiver& receiver, std::unique_ptr<SessionNotifier> session) {
    auto onText = [](const std::string& text) { ipcWindowProc(kWmCopyData, 0, text.c_str()); };
    auto onStranger = [](uid_t uid) {
        writeWarningLog("Ignore IPC message of another user: uid ", std::to_string(uid));
    };
    auto onChange = [](int code) { ipcWindowProc(kWmSessionChange, code, nullptr); };
    while (true) {
        pollfd fds[2] = {{receiver.fd(), POLLIN, 0}, {session ? session->fd() : -1, POLLIN, 0}};
        int ready = ::poll(fds, session ? 2 : 1, 1000);
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents & (POLLERR | POLLNVAL)) break;
        while (receiver.serveOne(onText, onStranger)) {}
        if (session && !session->process(onChange)) {
            writeWarningLog("Session notification unavailable: ", "bus connection lost");
            session.reset();
        }
    }
}

}  // namespace

void ipcWindowReceiver(std::string channel) {
    channel = bounded(channel, kNameBound);
    if (auto receiver = ChannelReceiver::open(channel)) {
        writeNormalLog("Windows API IPC message channel: ", channel);
        writeNormalLog("Start Windows API IPC message receiver: ", "Success");
        serveWindowMessages(*receiver, openSessionNotifier());
    }
    writeWarningLog("[Catastrophic failure] Start Windows API IPC message receiver: ", "Fail");
}

void ipcLockModePoller(const char* channel) {
    if (!channel) {
        TESSAROLL_NULL_PARAMETER("inputChannel");
        return;
    }
    const std::string base = bounded(channel, kNameBound);
    static const char* const kOrder[] = {kInstructionSuicide, kInstructionMonitorStart,
                                         kInstructionStart, kInstructionStop, kInstructionRestart};
    // Opened once: an object that is not our own is refused (and logged) here, and never
    // read as a signal.
    std::vector<std::pair<const char*, std::unique_ptr<NamedMutex>>> signals;
    for (const char* instruction : kOrder)
        signals.emplace_back(instruction, openUserMutex(bounded(base + instruction, kNameBound)));
    while (IPCHandlers.stopFlag.load() == 0) {
        for (auto& [instruction, mutex] : signals) {
            if (!mutex || !heldBySender(*mutex)) continue;
            std::string_view which(instruction);
            if (which == kInstructionSuicide) {
                writeNormalLog("IPC Message Lock Mode: ", "Recivie Suicide message");
                if (IPCHandlers.finalFunction) {
                    writeNormalLog("IPC Message Lock Mode: ", "Exec final function");
                    IPCHandlers.finalFunction();
                }
                endProcess();
            } else if (which == kInstructionMonitorStart) {
                writeNormalLog("IPC Message Lock Mode: ", "Recivie MonitorStart message");
                hideNOWaitCommand(workerCommand("-start").c_str());
                sleepMs(100);
            } else {
                if (which == kInstructionStart) {
                    writeNormalLog("IPC Message Lock Mode: ", "Recivie start message");
                    runRegistered(IPCHandlers.startFunction, "Execute start function",
                                  "No start function");
                } else if (which == kInstructionStop) {
                    writeNormalLog("IPC Message Lock Mode: ", "Recivie stop message");
                    runRegistered(IPCHandlers.stopFunction, "Execute stop function",
                                  "No stop function");
                } else {
                    writeNormalLog("IPC Message Lock Mode: ", "Recivie restart message");
                    runRegistered(IPCHandlers.restartFunction, "Execute restart function",
                                  "No restart function");
                }
                sleepMs(100);
            }
        }
        sleepMs(50);
    }
}

void startIPCReceiver(const char* channel) {
    if (!channel) {
        TESSAROLL_NULL_PARAMETER("inputChannel");
        return;
    }
    std::string name(channel);
    // Each thread takes its own copy of the name.
    std::thread(ipcWindowReceiver, name).detach();
    std::thread([name] { ipcLockModePoller(name.c_str()); }).detach();
    if (getOSVersion() & 0x1) {
        writeNormalLog("IPC mode: ", "Windows API mode");
    } else {
        writeNormalLog("IPC mode: ", "Cross platform + Windows API mode");
        sleepMs(500);
    }
}
