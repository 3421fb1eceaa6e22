#include "Tessaroll/StartupHooks.h"

#include <cerrno>
#include <memory>

#include "TessarollUtil/Message.h"
#include "core/Forensic.h"
#include "platform/Folders.h"
#include "platform/NamedEvent.h"

namespace {

constexpr int kDumpKeepCount = 3;
constexpr const char* kDumpPrefix = "ZEFAGPKITessaroll";
constexpr const char* kDebugModeEventName = "ZEFAGPKITessaroll_DEBUG_MODE";

// Never destroyed: the detached log-state thread waits on it until the process ends, also
// while static destructors run at exit.
NamedEvent* debugModeEvent = nullptr;
int debugModeOpenError = 0;

}  // namespace

void installCrashHandler() {
    using namespace VZ::OS::Win32::Forensic;
    // Errors here are not caught: a program that cannot report its crashes does not start.
    auto& handler = getForensicInstance();
    handler.setFilterInstaller(std::make_unique<Detail::ExceptionHandler::UEF>());
    handler.filterInstaller()->call();
    // Crash reports go to the user's temporary folder, three at most.
    handler.add(std::make_unique<CrashDumpCallBack>(kDumpKeepCount, userTempFolder(), kDumpPrefix));
}

void startMessageReceiver(std::function<void()> finalFunction) {
    // The main program registers only a final function: a Suicide or the user leaving
    // the session releases everything and ends the service.
    IPCHandlers.finalFunction = std::move(finalFunction);
    startIPCReceiver(kChannelMain);
}

bool openDebugModeEvent() {
    if (debugModeEvent) return false;
    debugModeEvent = NamedEvent::open(kDebugModeEventName).release();
    // No event means no monitor runs: reported as a missing file.
    debugModeOpenError = debugModeEvent ? 0 : ENOENT;
    return debugModeEvent != nullptr;
}

bool waitDebugModeEvent() { return debugModeEvent && debugModeEvent->wait(); }

int debugModeEventError() { return debugModeOpenError; }
