// The tray window's procedure, driven as the Qt layer drives it, with a recording UI.
#include <filesystem>

#include "MonitorTestSupport.h"
#include "TessarollUtil/Message.h"
#include "platform/Encoding.h"

using namespace testing_support;

namespace {

using TrayWindowTest = MonitorTest;

intptr_t command(int id) {
    return monitorWindowProc(kWmCommand, static_cast<uintptr_t>(id), 0);
}

std::vector<int> ids(const std::vector<TrayMenuItem>& menu) {
    std::vector<int> out;
    for (const TrayMenuItem& item : menu)
        out.push_back(item.kind == TrayMenuItem::Kind::Separator ? 0 : item.id);
    return out;
}

const TrayMenuItem* findItem(const std::vector<TrayMenuItem>& menu, int id) {
    for (const TrayMenuItem& item : menu) {
        if (item.kind == TrayMenuItem::Kind::Command && item.id == id) return &item;
        if (const TrayMenuItem* inner = findItem(item.items, id)) return inner;
    }
    return nullptr;
}

std::string signedInstruction(const char* instruction) {
    auto message = createMessage(kSenderWorker, kChannelMonitorWindow, instruction);
    return messageWireText(*message).value();
}

}  // namespace

TEST_F(TrayWindowTest, MenuCommandsDriveTheKeeperState) {
    struct Case {
        int id;
        int32_t before, after;
        const char* logLine;
    };
    const Case cases[] = {
        {kCmdStop, kKeeperRun, kKeeperStop, "Click Tessaroll Stop"},
        {kCmdStart, kKeeperStop, kKeeperRun, "Click Tessaroll Start"},
        {kCmdStart, kKeeperRestart, kKeeperRun, "Click Tessaroll Start"},
        {kCmdRestart, kKeeperRun, kKeeperRestart, "Click Tessaroll Restart"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logLine);
        state_->keeper.state = c.before;
        state_->window.restartNotice = 0;
        EXPECT_EQ(command(c.id), 0);
        EXPECT_EQ(state_->keeper.state.load(), c.after);
        EXPECT_TRUE(log_.contains(c.logLine));
        // Only a restart asks for the restarted balloon, and it leaves the gate open.
        EXPECT_EQ(state_->window.restartNotice.load(), c.id == kCmdRestart ? 1 : 0);
        EXPECT_EQ(state_->keeper.startGate.load(), 1);
    }
}

TEST_F(TrayWindowTest, QuitEndsTheMessageLoopAndStopsTheMainProgram) {
    for (unsigned message : {kWmClose, kWmDestroy}) {
        state_->keeper.state = kKeeperRun;
        monitorWindowProc(message, 0, 0);
        EXPECT_EQ(state_->keeper.state.load(), kKeeperStop);
    }
    for (int id : {kCmdQuit, kCmdQuitHidden}) {
        state_->keeper.state = kKeeperRun;
        command(id);
        EXPECT_EQ(state_->keeper.state.load(), kKeeperStop);
    }
    EXPECT_EQ(ui_.quits(), 4);
    EXPECT_EQ(ui_.removals(), 4);
    EXPECT_TRUE(log_.contains("Click MonitorFinal"));
}

TEST_F(TrayWindowTest, SignedInstructionsAreFollowedExactly) {
    struct Case {
        std::string text;
        int32_t before, after;
        int quits;
        const char* logLine;
    };
    std::string tampered = signedInstruction(kInstructionStop);
    tampered.replace(tampered.find("Stop"), 4, "Stap");
    const Case cases[] = {
        {signedInstruction(kInstructionStart), kKeeperStop, kKeeperRun, 0,
         "Receive COPYDATA message: TessarollInstruction_Start"},
        {signedInstruction(kInstructionMonitorStart), kKeeperRestart, kKeeperRun, 0,
         "Receive COPYDATA message: TessarollInstruction_MonitorStart"},
        {signedInstruction(kInstructionStop), kKeeperRun, kKeeperStop, 0,
         "Receive COPYDATA message: TessarollInstruction_Stop"},
        {signedInstruction(kInstructionRestart), kKeeperRun, kKeeperRestart, 0,
         "Receive COPYDATA message: TessarollInstruction_Restart"},
        {signedInstruction(kInstructionSuicide), kKeeperRun, kKeeperStop, 1,
         "Receive COPYDATA message: TessarollInstruction_Suicide"},
        // A known instruction with more after it is unknown.
        {signedInstruction("TessarollInstruction_StartNow"), kKeeperStop, kKeeperStop, 0,
         "Receive unknow instruction: TessarollInstruction_StartNow"},
        {tampered, kKeeperRun, kKeeperRun, 0, "Verify TessarollMessage fail"},
        {"not a message", kKeeperRun, kKeeperRun, 0, "Verify TessarollMessage fail"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logLine);
        state_->keeper.state = c.before;
        const int quitsBefore = ui_.quits();
        log_.take();
        EXPECT_EQ(monitorWindowProc(kWmCopyData, 0, 0, c.text), 0);
        EXPECT_EQ(state_->keeper.state.load(), c.after);
        EXPECT_EQ(ui_.quits() - quitsBefore, c.quits);
        bool logged = false;
        for (const std::string& line : log_.take())
            logged = logged || line.find(c.logLine) != std::string::npos;
        EXPECT_TRUE(logged);
    }
}

TEST_F(TrayWindowTest, MenuFollowsMainProgramAndDebugState) {
    state_->window.mainRunning = 0;
    EXPECT_EQ(ids(buildTrayMenu()),
              (std::vector<int>{kCmdStart, 0, kCmdSystemHint, kCmdAbout, 0, kCmdQuit}));
    state_->window.mainRunning = 1;
    state_->debugMode.on = 1;
    state_->config.isScreenShot = true;
    const auto menu = buildTrayMenu();
    EXPECT_EQ(ids(menu), (std::vector<int>{kCmdStop, kCmdRestart, 0, kCmdSystemHint, kCmdAbout, 0,
                                           kCmdScreenshots, kCmdStopDebugMode, 0, kCmdQuit}));
    // The submenu (id 0 above) holds the four languages, the current one checked.
    ASSERT_EQ(menu[2].kind, TrayMenuItem::Kind::Submenu);
    EXPECT_EQ(menu[2].text, "Language");
    EXPECT_EQ(ids(menu[2].items),
              (std::vector<int>{kCmdTradChinese, kCmdEnglish, kCmdJapanese, kCmdSimpChinese}));
    EXPECT_TRUE(findItem(menu, kCmdEnglish)->checked);
    EXPECT_FALSE(findItem(menu, kCmdJapanese)->checked);
    EXPECT_TRUE(findItem(menu, kCmdScreenshots)->checked);
    // "System hint" is checked while hints are shown.
    EXPECT_TRUE(findItem(menu, kCmdSystemHint)->checked);
    state_->config.silentmode = true;
    EXPECT_FALSE(findItem(buildTrayMenu(), kCmdSystemHint)->checked);
    EXPECT_EQ(findItem(menu, kCmdStopDebugMode)->text, "Turn off debug mode");
}

TEST_F(TrayWindowTest, OnlyRightButtonAndDoubleClickReachTheUser) {
    monitorWindowProc(kWmTrayCallback, 0, 0x0201);  // left button down
    monitorWindowProc(kWmTrayCallback, 0, 0x0205);  // right button up
    EXPECT_TRUE(ui_.menus().empty());
    EXPECT_TRUE(ui_.boxes().empty());
    monitorWindowProc(kWmTrayCallback, 0, kWmRButtonDown);
    EXPECT_EQ(ui_.menus().size(), 1u);
    monitorWindowProc(kWmTrayCallback, 0, kWmLButtonDblClk);
    ASSERT_EQ(ui_.boxes().size(), 1u);
    EXPECT_EQ(ui_.boxes()[0].caption, "ZEFAGPKITessaroll Monitor");
    EXPECT_EQ(ui_.boxes()[0].icon, kIconMonitor);
}

TEST_F(TrayWindowTest, LanguageSwitchRewritesTextsAndTellsTheUser) {
    struct Case {
        int id;
        int32_t language;
        const char* balloon;
        const char* start;
    };
    const Case cases[] = {
        {kCmdTradChinese, Language_TradChinese, "切換至繁體中文", "啟動"},
        {kCmdJapanese, Language_Japan, "に切り替え日本語", "起動する"},
        {kCmdSimpChinese, Language_SimpChinese, "切换至简体中文", "启动"},
        {kCmdEnglish, Language_English, "Switch toEnglish", "Start"},
    };
    state_->config.silentmode = true;  // the switch balloon is shown all the same
    for (const Case& c : cases) {
        SCOPED_TRACE(c.balloon);
        ui_.clear();
        command(c.id);
        EXPECT_EQ(currentLanguage.load(), c.language);
        EXPECT_EQ(ui_.balloons(), std::vector<std::string>{c.balloon});
        const auto menu = buildTrayMenu();
        EXPECT_EQ(menu[0].text, c.start);
        EXPECT_TRUE(findItem(menu, c.id)->checked);
    }
}

TEST_F(TrayWindowTest, StartStopBalloonsObeySilentMode) {
    setRunningIcon();
    setStoppedIcon();
    EXPECT_EQ(ui_.balloons(), (std::vector<std::string>{"ZEFAGPKITessaroll turned on",
                                                        "ZEFAGPKITessaroll turned off"}));
    EXPECT_EQ(ui_.icons(), (std::vector<int>{kIconRunning, kIconStopped}));
    EXPECT_EQ(state_->window.mainRunning.load(), 0);

    // A restart: stopped without a notice, then the restarted notice instead of "turned on".
    ui_.clear();
    state_->window.restartNotice = 1;
    setStoppedIcon();
    setRunningIcon();
    EXPECT_EQ(ui_.balloons(), std::vector<std::string>{"ZEFAGPKITessaroll already restarted"});
    EXPECT_EQ(state_->window.restartNotice.load(), 0);

    // Silent: icons change, no notices; a restart notice does not outlive its start.
    ui_.clear();
    state_->config.silentmode = true;
    state_->window.restartNotice = 1;
    setStoppedIcon();
    setRunningIcon();
    EXPECT_TRUE(ui_.balloons().empty());
    EXPECT_EQ(ui_.icons(), (std::vector<int>{kIconStopped, kIconRunning}));
    EXPECT_EQ(state_->window.mainRunning.load(), 1);
    state_->config.silentmode = false;
    setStoppedIcon();
    EXPECT_EQ(ui_.balloons(), std::vector<std::string>{"ZEFAGPKITessaroll turned off"});
}

TEST_F(TrayWindowTest, SystemHintTogglesAndIsKeptInTheConfiguration) {
    command(kCmdSystemHint);
    EXPECT_TRUE(state_->config.silentmode.load());
    EXPECT_NE(readFile(state_->config.path).find("silentmode=true"), std::string::npos);
    command(kCmdSystemHint);
    EXPECT_FALSE(state_->config.silentmode.load());
    EXPECT_NE(readFile(state_->config.path).find("silentmode=false"), std::string::npos);
    command(kCmdScreenshots);
    EXPECT_TRUE(state_->config.isScreenShot.load());
    EXPECT_NE(readFile(state_->config.path).find("isScreenShot=true"), std::string::npos);
    EXPECT_TRUE(log_.contains("Click ScreenCutter"));
}

TEST_F(TrayWindowTest, AboutTextNamesVersionsAndTheInstalledComponent) {
    // The installer leaves the component's name and version in code page 950.
    const std::filesystem::path component =
        std::filesystem::path(state_->window.dataFolder) / "Components" / "Card";
    std::filesystem::create_directories(component);
    writeFile(component / "DisplayName.txt", utf16ToCodePage(u"憑證元件", kCodePageBig5).value());
    writeFile(component / "Version.txt", "2.1.0");

    state_->debugMode.on = 0;
    EXPECT_EQ(buildAboutText(),
              "憑證元件 Version:2.1.0 \nCopyright (C) ZEFA. All rights reserved. \n");

    state_->debugMode.on = 1;
    EXPECT_EQ(buildAboutText(),
              "憑證元件 Version:2.1.0 \nZEFAGPKITessaroll program version: 1.0.23.0510 \n"
              "Monitor version: 1.0.20.0309 \nCopyright (C) ZEFA. All rights reserved. \n");

    setLanguage(Language_TradChinese);
    EXPECT_EQ(buildAboutText(),
              "憑證元件 版本：2.1.0 \nZEFAGPKITessaroll 主程式版本：1.0.23.0510 \n"
              "Monitor 版本：1.0.20.0309 \nCopyright (C) ZEFA. All rights reserved. \n");
}

// The box does not hold the window up: while it is open the menu and instructions are
// served, and a further About request does nothing.
TEST_F(TrayWindowTest, AboutWithoutComponentAndOneBoxAtATime) {
    command(kCmdAbout);
    ASSERT_EQ(ui_.boxes().size(), 1u);
    EXPECT_EQ(ui_.boxes()[0].text, "Copyright (C) ZEFA. All rights reserved. \n");
    EXPECT_EQ(state_->window.aboutBoxIdle.load(), 0);

    monitorWindowProc(kWmTrayCallback, 0, kWmLButtonDblClk);
    command(kCmdAbout);
    EXPECT_EQ(ui_.boxes().size(), 1u);
    monitorWindowProc(kWmTrayCallback, 0, kWmRButtonDown);
    EXPECT_EQ(ui_.menus().size(), 1u);
    command(kCmdSystemHint);
    EXPECT_TRUE(state_->config.silentmode.load());

    // Closed again, a new request opens a new box.
    ASSERT_TRUE(ui_.closeBox());
    EXPECT_EQ(state_->window.aboutBoxIdle.load(), 1);
    monitorWindowProc(kWmTrayCallback, 0, kWmLButtonDblClk);
    EXPECT_EQ(ui_.boxes().size(), 2u);
    EXPECT_EQ(state_->window.aboutBoxIdle.load(), 0);
    EXPECT_TRUE(log_.contains("Click ShowMonitorAbout"));
}

TEST_F(TrayWindowTest, IconThatCannotBeAddedFailsTheWindow) {
    EXPECT_EQ(monitorWindowProc(kWmCreate, 0, 0), 0);
    ui_.addResult = false;
    EXPECT_EQ(monitorWindowProc(kWmCreate, 0, 0), -1);
    EXPECT_EQ(monitorWindowProc(kWmTaskbarCreated, 0, 0), 0);
    EXPECT_TRUE(log_.contains("Add icon: fail"));
    EXPECT_EQ(ui_.adds(), 3);
}
