// Signed instructions between the programs of the system. An instruction travels as a
// JSON text over the receiver's channel, signed with a SHA-512 over its fields, its time
// and the programs' shared key block, and at the same time as a per-user mutex that the
// sender holds for 100 ms while the receiver polls for it ("Lock Mode").
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "TessarollUtil/ProgramNames.h"

inline constexpr const char* kInstructionSuicide = "TessarollInstruction_Suicide";
inline constexpr const char* kInstructionStart = "TessarollInstruction_Start";
inline constexpr const char* kInstructionStop = "TessarollInstruction_Stop";
inline constexpr const char* kInstructionRestart = "TessarollInstruction_Restart";
inline constexpr const char* kInstructionMonitorStart = "TessarollInstruction_MonitorStart";

// Channels of the receivers, and the monitor's tray window.
inline constexpr const char* kChannelMain = kMainProgramName;
inline constexpr const char* kChannelMonitorReceiver = "ZEFAGPKIMonitor";
inline constexpr const char* kChannelWatchdog = "ZEFAGPKITessarollWatchdog";
inline constexpr const char* kChannelMonitorWindow = kMonitorProgramName;

// Senders' names.
inline constexpr const char* kSenderWorker = "TessarollWorker";
inline constexpr const char* kSenderMonitor = kMonitorProgramName;

// One instruction. Fields that a received text lacks stay empty (nothing), which is not
// the same as an empty text.
struct TessarollMessage {
    std::optional<std::string> From;
    std::optional<std::string> To;
    std::optional<std::string> Instruction;
    std::optional<std::string> Message;
    // The time text cut into characters [0,3), [3,7), [7,11), [11,16).
    std::array<std::optional<std::string>, 4> TimeValue;
    std::optional<std::string> HashValue;  // 128 upper-case hexadecimal digits
};
using TessarollMessagePtr = std::unique_ptr<TessarollMessage>;

// A signed message stamped now; nothing when `from` or `to` is null. `instruction` may be
// null. `Message` is the empty text.
TessarollMessagePtr createMessage(const char* from, const char* to, const char* instruction);
// Upper-case hex SHA-512 over From, To, the four time pieces, the key block, Instruction
// and Message; absent fields count as empty.
std::string getMessageHashValue(const TessarollMessage& message);
// The message as the text a channel carries; nothing when From, To, Message or
// HashValue is missing.
std::optional<std::string> messageWireText(const TessarollMessage& message);
// Reads every field of a wire text; missing keys (and empty values) give empty fields.
TessarollMessagePtr parseMessage(std::string_view text);
// True when the message is at most 2 seconds old (not from the future) and its hash
// matches. False for a null message and for one that lacks a field other than Message.
bool verifyMessage(const TessarollMessage* message);

// ---- sending --------------------------------------------------------------------------

// Sends over the channel `to` when a receiver listens there (returning once its handler
// has run), then holds the per-user mutex `to` + `instruction` for 100 ms. False only when
// an argument is null: nothing was sent then. True after a send attempt, because a
// lock-mode signal cannot be confirmed.
bool sendIPCMsgWin(const char* from, const char* to, const char* instruction);
// The monitor's form: from the monitor, always "TessarollInstruction_Suicide".
bool sendIPCMsgWin(const char* to);
// The worker's wrapper: from "TessarollWorker"; false for a null `to` or an empty
// instruction.
bool sendIPCMsg(const char* to, const char* instruction);
// The monitor's wrapper: sendIPCMsgWin(to); false for a null `to`.
bool sendIPCMsg(const char* to);

// ---- receiving ------------------------------------------------------------------------

// What a program registers before it starts its receiver; the receiver's threads read it
// without a lock.
struct IPCHandlerTable {
    std::function<void()> startFunction;
    std::function<void()> stopFunction;
    std::function<void()> restartFunction;
    std::function<void()> finalFunction;
    // Set to 1 when the user leaves the session (locked, switched away), 0 when back.
    std::atomic<uint8_t>* lockFlag = nullptr;
    // Set to 1 by a Suicide through the channel; ends the lock-mode poller.
    std::atomic<uint8_t> stopFlag{0};
};
extern IPCHandlerTable IPCHandlers;

// Messages the receiver's procedure handles.
inline constexpr unsigned kWmCopyData = 0x004A;
inline constexpr unsigned kWmSessionChange = 0x02B1;
// The receiver's procedure: kWmCopyData with the received text in `data`, or
// kWmSessionChange with the session change code in `code`.
void ipcWindowProc(unsigned message, int code, const char* data);

// Thread bodies. The channel receiver returns only when it could not claim the channel
// or lost it; the poller returns when stopFlag is set.
void ipcWindowReceiver(std::string channel);
void ipcLockModePoller(const char* channel);
// Starts both threads, detached, on the program's channel.
void startIPCReceiver(const char* channel);
