// The configuration file: what start-up reads from it, when it rewrites it and with what,
// and the update check that starts the upgrader from the program's folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "MonitorTestSupport.h"
#include "TessarollMonitor/MonitorConfig.h"
#include "TessarollUtil/System.h"
#include "doubles/LogCapture/LogCapture.h"
#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

constexpr const char* kDefaults = "isScreenShot=false\nsilentmode=false\nautocheckupdate=true\n";

class MonitorConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        dataFolder_ = sandbox_.dataHome() / "ZEFAGPKITessarollMain";
        fs::create_directories(dataFolder_);
        config().path = makeConfigPath(dataFolder_.string());
    }
    fs::path file() const { return dataFolder_ / "ZEFAGPKITessarollConfig"; }
    MonitorConfig& config() { return (*state_)->config; }

    testing_support::Sandbox sandbox_;
    std::optional<testing_support::FreshMonitorState> state_{std::in_place};
    fs::path dataFolder_;
};

TEST_F(MonitorConfigTest, PathIsTheConfigFileInTheDataFolder) {
    EXPECT_EQ(config().path, file().string());
}

TEST_F(MonitorConfigTest, StartUpReadsTheFlagsAndRewritesWhatIsMissing) {
    struct Case {
        const char* name;
        std::optional<std::string> content;  // nothing: no file
        bool screenShot, silent, autoCheck;
        std::string fileAfter;  // empty: as before
    };
    const Case cases[] = {
        {"first start", std::nullopt, false, false, true, kDefaults},
        {"empty file", "", false, false, true, kDefaults},
        {"all keys", "isScreenShot=true\nsilentmode=true\nautocheckupdate=false\n", true, true,
         false, ""},
        {"other order and lines, no final line feed",
         "# x\nautocheckupdate=false\nsilentmode=true\nisScreenShot=true", true, true, false, ""},
        {"lines of a file written on the other system",
         "isScreenShot=true\r\nsilentmode=false\r\nautocheckupdate=true\r\n", true, false, true,
         ""},
        {"both values of a key: false wins",
         "isScreenShot=true isScreenShot=false silentmode=false autocheckupdate=true", false, false,
         true, ""},
        // The rewrite at the first key writes the later keys' start values, while memory
        // takes them from the text.
        {"no isScreenShot", "silentmode=true\nautocheckupdate=true\n", false, true, true,
         kDefaults},
        {"no isScreenShot nor autocheckupdate", "silentmode=true\n", false, true, true,
         "isScreenShot=false\nsilentmode=true\nautocheckupdate=true\n"},
        {"odd values count as missing",
         "isScreenShot=TRUE\nsilentmode=yes\nautocheckupdate=false\n", false, false, false,
         kDefaults},
        {"keys are case-sensitive", "isscreenshot=true\nSilentMode=true\nautocheckupdate=true\n",
         false, false, true, kDefaults},
    };
    for (const Case& c : cases) {
        state_.emplace();  // a monitor that starts afresh
        config().path = file().string();
        fs::remove(file());
        if (c.content) writeFile(file(), *c.content);

        readConfig();

        EXPECT_EQ(config().isScreenShot.load(), c.screenShot) << c.name;
        EXPECT_EQ(config().silentmode.load(), c.silent) << c.name;
        EXPECT_EQ(config().autocheckupdate.load(), c.autoCheck) << c.name;
        ASSERT_TRUE(fs::exists(file())) << c.name;
        EXPECT_EQ(readFile(file()), c.fileAfter.empty() ? c.content.value_or("") : c.fileAfter)
            << c.name;
    }
}

TEST_F(MonitorConfigTest, EachToggleWritesTheFlagsInMemoryAndTwoLeaveTheFileAsBefore) {
    readConfig();
    const std::string before = readFile(file());
    config().silentmode = !config().silentmode;
    saveConfig();
    EXPECT_EQ(readFile(file()), "isScreenShot=false\nsilentmode=true\nautocheckupdate=true\n");
    config().silentmode = !config().silentmode;
    saveConfig();
    EXPECT_EQ(readFile(file()), before);
}

TEST_F(MonitorConfigTest, AFileThatCannotBeWrittenLeavesTheFlagsInMemory) {
    config().path = (dataFolder_ / "missing" / "ZEFAGPKITessarollConfig").string();
    readConfig();
    EXPECT_FALSE(config().isScreenShot.load());
    EXPECT_FALSE(config().silentmode.load());
    EXPECT_TRUE(config().autocheckupdate.load());
    config().isScreenShot = true;
    saveConfig();
    EXPECT_TRUE(config().isScreenShot.load());
    EXPECT_FALSE(fs::exists(config().path));
}

TEST(UpdateCheck, StartsTheUpgraderFromTheProgramFolderWithItsOption) {
    testing_support::LogCapture log;
    const fs::path folder = *getModuleFolder();
    const fs::path upgrader = folder / "TessarollUpgrader";
    const fs::path record = fs::path(getUserTempPath()) / "upgrader-args";
    writeFile(upgrader, "#!/bin/sh\necho \"$@\" > '" + record.string() + "'\n");
    fs::permissions(upgrader, fs::perms::owner_all);

    checkForUpdate();

    EXPECT_TRUE(testing_support::waitUntil(
        [&] { return fs::exists(record) && !readFile(record).empty(); }));
    fs::remove(upgrader);
    EXPECT_EQ(readFile(record), "-checkupdate\n");
    EXPECT_TRUE(log.contains("Check Tessaroll: " + (folder / "TessarollUpgrader.exe").string()));
    EXPECT_TRUE(log.contains("ShellExecute error:0"));
}

}  // namespace
