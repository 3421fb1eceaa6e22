#include "TessarollMonitor/TrayWindow.h"

#include "TessarollMonitor/DebugMode.h"
#include "TessarollMonitor/Keeper.h"
#include "TessarollMonitor/KeySequence.h"
#include "TessarollMonitor/Languages.h"
#include "TessarollMonitor/MonitorConfig.h"
#include "TessarollMonitor/MonitorState.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Message.h"
#include "TessarollUtil/ProgramNames.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/Encoding.h"
#include "platform/FolderEntries.h"

namespace {

constexpr std::size_t kTextCharacters = 512;
constexpr std::string_view kDisplayNameFile = "DisplayName.txt";
constexpr std::string_view kVersionFile = "Version.txt";

void logClick(const char* what) {
    writeNormalLog(what, "");
}

TrayWindowState& window() {
    return monitorState().window;
}

MonitorConfig& config() {
    return monitorState().config;
}

void toggle(std::atomic<bool>& flag) {
    flag = !flag.load();
    saveConfig();
}

void handleCommand(int id) {
    switch (id) {
        case kCmdQuitHidden:
        case kCmdQuit:
            logClick("Click MonitorFinal");
            MonitorFinal();
            break;
        case kCmdStop:
            logClick("Click Tessaroll Stop");
            stopMainProgram();
            break;
        case kCmdStart:
            logClick("Click Tessaroll Start");
            monitorState().keeper.state = kKeeperRun;
            break;
        case kCmdRestart:
            logClick("Click Tessaroll Restart");
            restartMainProgram();
            break;
        case kCmdAbout:
            logClick("Click ShowMonitorAbout");
            ShowMonitorAbout();
            break;
        case kCmdStartDebugModeHidden:
        case kCmdStartDebugMode:
            logClick("Click startDebugMode");
            startDebugMode();
            break;
        case kCmdStopDebugModeHidden:
        case kCmdStopDebugMode:
            logClick("Click stopDebugMode");
            stopDebugMode();
            break;
        case kCmdTradChinese: switchLanguage(Language_TradChinese, MonitorText::TradChinese); break;
        case kCmdEnglish: switchLanguage(Language_English, MonitorText::English); break;
        case kCmdSimpChinese: switchLanguage(Language_SimpChinese, MonitorText::SimpChinese); break;
        case kCmdJapanese: switchLanguage(Language_Japan, MonitorText::Japanese); break;
        case kCmdSystemHint: toggle(config().silentmode); break;
        case kCmdScreenshots:
            logClick("Click ScreenCutter");
            toggle(config().isScreenShot);
            break;
        case kCmdCheckUpdate: checkForUpdate(); break;
        case kCmdAutoCheckUpdate: toggle(config().autocheckupdate); break;
        default: break;
    }
}

void handleCopyData(std::string_view text) {
    TessarollMessagePtr message = parseMessage(text);
    if (!verifyMessage(message.get())) {
        writeWarningLog("Verify TessarollMessage fail", "");
        return;
    }
    const std::string instruction = message->Instruction.value_or("");
    writeNormalLog("Receive COPYDATA message: ", instruction);
    if (instruction == kInstructionMonitorStart || instruction == kInstructionStart) {
        monitorState().keeper.state = kKeeperRun;
    } else if (instruction == kInstructionStop) {
        stopMainProgram();
    } else if (instruction == kInstructionRestart) {
        restartMainProgram();
    } else if (instruction == kInstructionSuicide) {
        MonitorFinal();
    } else {
        writeNormalLog("Receive unknow instruction: ", instruction);
        writeNormalLog("Receive unknow message: ", message->Message.value_or(""));
    }
}

TrayMenuItem command(int id, MonitorText text, bool checked = false) {
    return {TrayMenuItem::Kind::Command, id, languageText(text), checked, {}};
}

TrayMenuItem separator() {
    return {TrayMenuItem::Kind::Separator, 0, {}, false, {}};
}

}  // namespace

intptr_t monitorWindowProc(unsigned message, uintptr_t wParam, intptr_t lParam,
                           std::string_view data) {
    TrayUi* ui = trayUi();
    switch (message) {
        case kWmTaskbarCreated:
            if (ui == nullptr || !ui->addTrayIcon(kIconMonitor, kTrayTip))
                writeNormalLog("Add icon: ", "fail");
            return 0;
        case kWmCreate:
            refreshNotificationArea();
            return ui != nullptr && ui->addTrayIcon(kIconMonitor, kTrayTip) ? 0 : -1;
        case kWmDestroy:
        case kWmClose: MonitorFinal(); return 0;
        case kWmCopyData: handleCopyData(data); return 0;
        case kWmCommand: handleCommand(static_cast<int>(wParam & 0xFFFF)); return 0;
        case kWmTrayCallback:
            if (lParam == kWmLButtonDblClk) {
                ShowMonitorAbout();
            } else if (lParam == kWmRButtonDown) {
                showTrayMenu();
            }
            return 0;
        default: return 0;
    }
}

std::vector<TrayMenuItem> buildTrayMenu() {
    std::vector<TrayMenuItem> menu;
    if (window().mainRunning) {
        menu.push_back(command(kCmdStop, MonitorText::Stop));
        menu.push_back(command(kCmdRestart, MonitorText::Restart));
    } else {
        menu.push_back(command(kCmdStart, MonitorText::Start));
    }
    const int32_t language = currentLanguage;
    TrayMenuItem languages{
        TrayMenuItem::Kind::Submenu, 0, languageText(MonitorText::LanguageMenu), false, {}};
    languages.items = {
        command(kCmdTradChinese, MonitorText::TradChinese, language == Language_TradChinese),
        command(kCmdEnglish, MonitorText::English, language == Language_English),
        command(kCmdJapanese, MonitorText::Japanese, language == Language_Japan),
        command(kCmdSimpChinese, MonitorText::SimpChinese, language == Language_SimpChinese),
    };
    menu.push_back(std::move(languages));
    menu.push_back(command(kCmdSystemHint, MonitorText::SystemHint, !config().silentmode));
    menu.push_back(command(kCmdAbout, MonitorText::About));
    if (monitorState().debugMode.on) {
        menu.push_back(separator());
        menu.push_back(command(kCmdScreenshots, MonitorText::Screenshots, config().isScreenShot));
        menu.push_back(command(kCmdStopDebugMode, MonitorText::TurnOffDebugMode));
    }
    menu.push_back(separator());
    menu.push_back(command(kCmdQuit, MonitorText::Quit));
    return menu;
}

void showTrayMenu() {
    if (TrayUi* ui = trayUi()) ui->trackMenu(buildTrayMenu());
}

void switchLanguage(int32_t language, MonitorText nameText) {
    currentLanguage = language;
    buildLanguageTexts();
    // The name as the language just chosen writes it.
    showBalloon(cutToCharacters(languageText(MonitorText::SwitchTo) + languageText(nameText),
                                kTextCharacters));
}

std::string buildAboutText() {
    std::string text = languageText(monitorState().debugMode.on ? MonitorText::AboutDebugOn
                                                                : MonitorText::AboutDebugOff);
    text = replaceAll(text, "=TessarollName=", "ZEFAGPKITessaroll");
    text = replaceAll(text, "=ServerVersion=", kTessarollVersion);
    text = replaceAll(text, "=MonitorVersion=", kMonitorVersion);
    text = replaceAll(text, "=Publisher=", kPublisher);
    window().installedComponentText.clear();
    const std::string folder = getCopyPath(kMainFolderName);
    findInstalledComponent(folder.c_str());
    text = replaceAll(text, "=InstallerVersion=", window().installedComponentText);
    return cutToCharacters(text, kTextCharacters);
}

void ShowMonitorAbout() {
    std::atomic<uint8_t>& aboutBoxIdle = window().aboutBoxIdle;
    if (aboutBoxIdle == 0) return;
    aboutBoxIdle = 0;
    buildLanguageTexts();
    const std::string text = buildAboutText();
    registerCheatCodes([] { return window().aboutBoxIdle == 0; });
    TrayUi* ui = trayUi();
    if (ui == nullptr) {
        aboutBoxIdle = 1;
        return;
    }
    ui->messageBox(cutToCharacters(kAboutCaption, kTextCharacters), text, kIconMonitor,
                   [&aboutBoxIdle] { aboutBoxIdle = 1; });
}

void findInstalledComponent(const char* folder) {
    if (folder == nullptr) {
        logNullParameter("dirn", "TessarollMonitor", 376);
        return;
    }
    if (!window().installedComponentText.empty()) return;
    for (const FolderEntry& entry : listFolderEntries(folder)) {
        const std::string path = std::string(folder) + "/" + entry.name;
        if (endsWithDisplayName(path)) readDisplayName(path);
        if (entry.isFolder) findInstalledComponent(path.c_str());
    }
}

void readDisplayName(const std::string& displayNamePath) {
    std::string versionPath = displayNamePath;
    if (versionPath.ends_with(kDisplayNameFile)) {
        versionPath.replace(versionPath.size() - kDisplayNameFile.size(), kDisplayNameFile.size(),
                            kVersionFile);
    }
    // The installer writes both files in code page 950.
    auto readBig5 = [](const std::string& path) {
        std::string raw = readTextFile(path).value_or("");
        if (raw.size() > 512) raw.resize(512);
        std::optional<std::u16string> wide = codePageToUtf16(raw, kCodePageBig5);
        return wide ? utf16ToUtf8(*wide) : std::string();
    };
    const std::string line =
        cutToCharacters(readBig5(displayNamePath) + " " + languageText(MonitorText::VersionLabel) +
                            readBig5(versionPath) + " \n",
                        kTextCharacters);
    std::string& installed = window().installedComponentText;
    installed = cutToCharacters(installed + line, kTextCharacters);
}

void MonitorFinal() {
    stopMainProgram();
    sendIPCMsg(kChannelWatchdog);
    if (TrayUi* ui = trayUi()) {
        ui->removeTrayIcon();
        ui->quit();
    }
}
