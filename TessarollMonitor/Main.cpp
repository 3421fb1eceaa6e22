// The monitor program: the tray icon and its menu, the keeper of the main program, debug
// mode and the screen capture hotkey. One per user; a second start ends at once.
#include <QApplication>

#include <memory>
#include <thread>

#include "TessarollMonitor/DebugMode.h"
#include "TessarollMonitor/Keeper.h"
#include "TessarollMonitor/Languages.h"
#include "TessarollMonitor/MonitorConfig.h"
#include "TessarollMonitor/MonitorState.h"
#include "TessarollMonitor/ScreenCapture.h"
#include "TessarollMonitor/TrayWindow.h"
#include "TessarollMonitor/qt/QtTray.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Message.h"
#include "TessarollUtil/ProcessTools.h"
#include "TessarollUtil/ProgramNames.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/Channel.h"
#include "platform/Files.h"
#include "platform/Privacy.h"

namespace {

constexpr const char* kMonitorMutex = kMonitorProgramName;
constexpr const char* kWatchdogMutex = "ZEFAGPKITessarollWatchdog";

void logEnvironment() {
    const uint32_t mask = getOSVersion();
    if (mask == 0) return;
    writeNormalLog("Environment: ",
                   cutToBuffer(getOSName(mask) + ((mask & 0x200000) ? " 64 bit" : " 32 bit"), 512));
}

void startWatchdogUnlessRunning() {
    std::unique_ptr<NamedMutex> watchdog = lockUserMutex(kWatchdogMutex, 500);
    if (!watchdog) return;  // a watchdog holds it
    unlockUserMutex(watchdog);
    hideNOWaitCommand(workerCommand("-watchdog").c_str());
}

// The folder with every missing level above it: a fresh account may not have its data
// folder yet.
void makeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        makeFolder(path.substr(0, slash));
    }
    makeFolder(path);
}

// The window part: claims the window channel, puts up the icon and runs the message loop
// until MonitorFinal ends it.
void runTrayWindow(int argc, char** argv) {
    if (!qtDisplayAvailable()) {
        writeErrorLog("Create tray window fail: ", "no display");
        return;
    }
    auto receiver = ChannelReceiver::open(kChannelMonitorWindow);
    if (!receiver) return;
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // Left alive on purpose: the keeper and debug-mode threads may still hold it while the
    // process ends.
    auto* tray = new QtTray(std::move(receiver));
    setTrayUi(tray);
    if (monitorWindowProc(kWmCreate, 0, 0) != 0) {
        setTrayUi(nullptr);
        return;
    }
    QApplication::exec();
    setTrayUi(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    keepFilesPrivate();
    setProgramPrefix("TessarollMonitor-" + makeInstanceId());
    setLog();

    std::unique_ptr<NamedMutex> instance = lockUserMutex(kMonitorMutex, 2000);
    if (!instance) return 0;  // the user's monitor runs already

    logEnvironment();
    detectLanguage();
    currentLanguage = detectedLanguage.load();
    buildLanguageTexts();

    MonitorState& state = monitorState();
    state.window.dataFolder = cutToBuffer(getCopyPath(removeExeExtension(kChannelMain)), 512);
    makeFolders(state.window.dataFolder);
    state.config.path = makeConfigPath(state.window.dataFolder);
    readConfig();

    initDebugModeEvent();
    startWatchdogUnlessRunning();
    initDebugLogSettings();

    // The receiver threads read the table without a lock: fill it before any starts.
    IPCHandlers.finalFunction = MonitorFinal;
    IPCHandlers.startFunction = startMainProgram;
    IPCHandlers.stopFunction = stopMainProgram;
    IPCHandlers.restartFunction = restartMainProgram;
    std::thread([] { screenshotKeyPoller(); }).detach();
    std::thread(keeperThread).detach();

    if (auto other = findChannel(kChannelMonitorWindow)) {
        // Another window of ours is up: let it show its About box.
        other->send(kOpenAboutRequest);
    } else {
        runTrayWindow(argc, argv);
    }

    unlockUserMutex(instance);
    return 0;
}
