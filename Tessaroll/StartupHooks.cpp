#include "Tessaroll/StartupHooks.h"

#include <memory>

#include "TessarollUtil/Message.h"
#include "core/Forensic.h"
#include "platform/Folders.h"

namespace {

constexpr int kDumpKeepCount = 3;
constexpr const char* kDumpPrefix = "ZEFAGPKITessaroll";

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
