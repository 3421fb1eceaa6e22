#include "TessarollMonitor/DebugMode.h"

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/NamedEvent.h"

std::atomic<uint8_t> debugState{0};
std::string logIniText;

namespace {

constexpr const char* kProductName = "ZEFAGPKITessaroll";
constexpr const char* kLogFolderName = "TessarollLog";
constexpr std::size_t kIniTextBuffer = 512;
constexpr std::size_t kIniPathBuffer = 512;

// Both handles stay open for the life of the process: detached threads pulse and wait on
// them until it ends, also while static destructors run at exit.
std::atomic<NamedEvent*> debugStatusUpdateEvent{nullptr};  // the monitor's, created if need be
std::atomic<NamedEvent*> debugModeWatchEvent{nullptr};     // the main program's and the watchdog's

// Never destroyed: detached threads may still read the hooks while the process exits.
std::mutex hooksMutex;
MonitorUiHooks& hooks = *new MonitorUiHooks();

std::string desktopText() { return getDesktopPath().value_or(std::string()); }

std::string logFolderPath() { return desktopText() + "/" + kLogFolderName; }

void closeAboutBox() {
    std::function<void()> close = monitorUiHooks().closeAboutBox;
    if (close) close();
}

void showDebugBalloon(bool on) {
    MonitorUiHooks current = monitorUiHooks();
    const std::function<std::string()>& text = on ? current.debugOnText : current.debugOffText;
    if (current.showBalloon) current.showBalloon(text ? text() : std::string());
}

void closeEvent(std::atomic<NamedEvent*>& handle) { delete handle.exchange(nullptr); }

}  // namespace

void setMonitorUiHooks(MonitorUiHooks newHooks) {
    std::lock_guard guard(hooksMutex);
    hooks = std::move(newHooks);
}

MonitorUiHooks monitorUiHooks() {
    std::lock_guard guard(hooksMutex);
    return hooks;
}

bool openDebugEvent() {
    if (debugStatusUpdateEvent.load()) return false;
    std::unique_ptr<NamedEvent> event = NamedEvent::open(kDebugModeEventName);
    if (!event) event = NamedEvent::create(kDebugModeEventName);
    if (!event) return false;
    NamedEvent* expected = nullptr;
    // Another thread that got there first keeps its handle.
    if (!debugStatusUpdateEvent.compare_exchange_strong(expected, event.get())) return false;
    event.release();
    return true;
}

void initDebugModeEvent() {
    errno = 0;
    if (!openDebugEvent() && !debugStatusUpdateEvent.load())
        writeErrorLogInt("Monitor debugStatusUpdateEvent init failed. ", errno);
}

void pulseDebugEvent() {
    if (NamedEvent* event = debugStatusUpdateEvent.load()) event->pulse();
}

bool isDebugMode() {
    if (debugModeWatchEvent.load()) return false;
    std::unique_ptr<NamedEvent> event = NamedEvent::open(kDebugModeEventName);
    if (!event) return false;
    NamedEvent* expected = nullptr;
    if (!debugModeWatchEvent.compare_exchange_strong(expected, event.get())) return false;
    event.release();
    return true;
}

bool waitDebugModeChange(std::optional<std::chrono::milliseconds> timeout) {
    NamedEvent* event = debugModeWatchEvent.load();
    return event && event->wait(timeout);
}

void initDebugLogSettings() {
    logIniPath = cutToBuffer(getUserTempPath(), kIniPathBuffer);
    createPathFolders();
    logIniPath = cutToBuffer(logIniPath + kProductName + ".ini", kIniPathBuffer);

    std::string text = "[";
    text += kProductName;
    text += "]\nLog File=";
    text += logFolderPath();
    text += "/";
    text += kProductName;
    text += ".txt\nLog Level=5";
    logIniText = cutToBuffer(text, kIniTextBuffer);

    debugState = fileExists(logIniPath) ? 1 : 0;
}

void writeLogIni() {
    if (!writeTextFile(logIniPath, logIniText)) writeWarningLog("[Warning] ", "Write log ini file fail");

    const std::string folder = logFolderPath();
    writeNormalLog("Try to create: ", folder);
    // The desktop folder itself may be missing on this system (it always exists where a
    // desktop shell runs the monitor elsewhere): without it the log file could never be
    // opened, so every level is made. An existing folder is no error.
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);

    setLog();
}

void startDebugMode() {
    debugState = 1;
    closeAboutBox();
    writeLogIni();
    pulseDebugEvent();
    showDebugBalloon(true);
}

void stopDebugMode() {
    debugState = 0;
    closeAboutBox();
    std::error_code ignored;  // a missing file is no error
    std::filesystem::remove(logIniPath, ignored);
    disableLog();
    pulseDebugEvent();
    showDebugBalloon(false);
}

void toggleDebugMode() {
    if (debugState.load())
        stopDebugMode();
    else
        startDebugMode();
}

void resetDebugModeForTests() {
    closeEvent(debugStatusUpdateEvent);
    closeEvent(debugModeWatchEvent);
    debugState = 0;
    logIniText.clear();
    logIniPath.clear();
    setMonitorUiHooks({});
}
