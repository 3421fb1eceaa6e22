#include "TessarollMonitor/DebugMode.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "TessarollMonitor/Languages.h"
#include "TessarollMonitor/MonitorState.h"
#include "TessarollMonitor/TrayUi.h"
#include "TessarollUtil/DebugModeFollower.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/NamedEvent.h"

namespace {

constexpr const char* kProductName = "ZEFAGPKITessaroll";
constexpr const char* kLogFolderName = "TessarollLog";
constexpr std::size_t kIniTextBuffer = 512;
constexpr std::size_t kIniPathBuffer = 512;

DebugModeState& debugMode() {
    return monitorState().debugMode;
}

std::string desktopText() {
    return getDesktopPath().value_or(std::string());
}

std::string logFolderPath() {
    return desktopText() + "/" + kLogFolderName;
}

void closeAboutBox() {
    if (TrayUi* ui = trayUi()) ui->closeMessageBox(kAboutCaption);
}

// Shown whatever silent mode says.
void showDebugBalloon(bool on) {
    showBalloon(languageText(on ? MonitorText::TurnOnDebugMode : MonitorText::TurnOffDebugMode));
}

}  // namespace

// The program's state is never destroyed, so its event stays open for the life of the
// process: detached threads pulse it until it ends, also while static destructors run.
DebugModeState::~DebugModeState() {
    delete event.exchange(nullptr);
}

bool openDebugEvent() {
    std::atomic<NamedEvent*>& debugStatusUpdateEvent = debugMode().event;
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
    if (!openDebugEvent() && !debugMode().event.load())
        writeErrorLogInt("Monitor debugStatusUpdateEvent init failed. ", errno);
}

void pulseDebugEvent() {
    if (NamedEvent* event = debugMode().event.load()) event->pulse();
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
    debugMode().logIniText = cutToBuffer(text, kIniTextBuffer);

    debugMode().on = fileExists(logIniPath) ? 1 : 0;
}

void writeLogIni() {
    if (!writeTextFile(logIniPath, debugMode().logIniText))
        writeWarningLog("[Warning] ", "Write log ini file fail");

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
    debugMode().on = 1;
    closeAboutBox();
    writeLogIni();
    pulseDebugEvent();
    showDebugBalloon(true);
}

void stopDebugMode() {
    debugMode().on = 0;
    closeAboutBox();
    std::error_code ignored;  // a missing file is no error
    std::filesystem::remove(logIniPath, ignored);
    disableLog();
    pulseDebugEvent();
    showDebugBalloon(false);
}

void toggleDebugMode() {
    if (debugMode().on.load())
        stopDebugMode();
    else
        startDebugMode();
}
