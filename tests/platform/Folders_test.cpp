#include "platform/Folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "helpers/Sandbox.h"

using testing_support::Sandbox;
using testing_support::writeFile;

namespace {

// Sets or clears one variable for the length of a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_)
            setenv(name_, saved_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

TEST(Folders, FollowTheSandboxVariables) {
    Sandbox sandbox;
    EXPECT_EQ(commonAppDataFolder(), sandbox.dataHome().string());
    EXPECT_EQ(windowsFolder(), sandbox.windowsDir().string());
    EXPECT_EQ(userTempFolder(), sandbox.tempDir().string() + "/");
    EXPECT_EQ(homeFolder(), sandbox.home().string());
    EXPECT_EQ(desktopFolder(), sandbox.desktopDir().string());
    EXPECT_EQ(defaultLogFilePath(), sandbox.tempDir().string() + "/VZLog.log");
}

TEST(Folders, DefaultsWhenTheVariablesAreUnsetOrEmpty) {
    Sandbox sandbox;
    ScopedEnv data("XDG_DATA_HOME", "");
    ScopedEnv windows("TESSAROLL_WINDOWS_DIR", std::nullopt);
    ScopedEnv temp("TMPDIR", std::nullopt);
    ScopedEnv desktop("XDG_DESKTOP_DIR", std::nullopt);
    const std::string home = sandbox.home().string();
    EXPECT_EQ(commonAppDataFolder(), home + "/.local/share");
    EXPECT_EQ(windowsFolder(), "/etc");
    EXPECT_EQ(userTempFolder(), "/tmp/");
    EXPECT_EQ(desktopFolder(), home + "/Desktop");
    EXPECT_EQ(defaultLogFilePath(), "/tmp/VZLog.log");
}

TEST(Folders, TemporaryFolderEndsInExactlyOneSlash) {
    for (const char* value : {"/var/tmp/x", "/var/tmp/x/", "/var/tmp/x//"}) {
        ScopedEnv temp("TMPDIR", value);
        EXPECT_EQ(userTempFolder(), "/var/tmp/x/") << value;
    }
    ScopedEnv root("TMPDIR", "/");
    EXPECT_EQ(userTempFolder(), "/");
}

TEST(Folders, UserFoldersFromUserDirsWhenNoVariableNamesThem) {
    Sandbox sandbox;
    ScopedEnv desktop("XDG_DESKTOP_DIR", std::nullopt);
    ScopedEnv download("XDG_DOWNLOAD_DIR", std::nullopt);
    ScopedEnv documents("XDG_DOCUMENTS_DIR", std::nullopt);
    const std::string home = sandbox.home().string();
    EXPECT_EQ(downloadFolder(), home + "/Downloads");
    EXPECT_EQ(documentsFolder(), home + "/Documents");
    std::filesystem::create_directories(sandbox.home() / ".config");
    writeFile(sandbox.home() / ".config/user-dirs.dirs",
              "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Telechargements\"\n"
              "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_DOCUMENTS_DIR=\"/srv/docs/\"\n");
    EXPECT_EQ(desktopFolder(), home + "/Schreibtisch");
    EXPECT_EQ(downloadFolder(), home + "/Telechargements");
    EXPECT_EQ(documentsFolder(), "/srv/docs");
}

TEST(Folders, ModuleFolderHoldsTheRunningProgram) {
    auto folder = moduleFolder();
    ASSERT_TRUE(folder);
    EXPECT_TRUE(std::filesystem::is_regular_file(*folder + "/platform_tests"));
}

TEST(Folders, WindowsFileNamesMapToTheFilesOnDisk) {
    struct Case {
        const char* windows;
        const char* disk;
    } cases[] = {
        {"ZEFAGPKITessarollMain.exe", "ZEFAGPKITessarollMain"},
        {"ZEFAVZDediGPKICryptATLAdapter.dll", "ZEFAVZDediGPKICryptATLAdapter.so"},
        {"Un_A.EXE", "Un_A"},
        {"Lib.Dll", "Lib.so"},
        {"/opt/x/Worker.exe", "/opt/x/Worker"},
        {"notes.exe.txt", "notes.exe.txt"},
        {"ZEFAGPKITessarollConfig", "ZEFAGPKITessarollConfig"},
        {".exe", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(diskFileName(c.windows), c.disk) << c.windows;
}

}  // namespace
