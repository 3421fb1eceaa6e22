#include "platform/Folders.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <functional>
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
    const std::string runtime = sandbox.runtimeDir().string() + "/";  // private, so used
    EXPECT_EQ(userTempFolder(), runtime);
    EXPECT_EQ(desktopFolder(), home + "/Desktop");
    EXPECT_EQ(defaultLogFilePath(), runtime + "VZLog.log");
}

// Without TMPDIR the temporary folder is never the shared one itself, nor anything in it
// that is not a real folder of the user's alone.
TEST(Folders, TemporaryFolderWithoutTmpdirIsTheUsersAlone) {
    namespace fs = std::filesystem;
    Sandbox sandbox;
    const fs::path shared = sandbox.root() / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    ScopedEnv temp("TMPDIR", std::nullopt);
    ScopedEnv sharedTemp("TESSAROLL_SHARED_TEMP_DIR", shared.string());
    ScopedEnv cacheHome("XDG_CACHE_HOME", std::nullopt);
    const fs::path runtime = sandbox.runtimeDir();
    const fs::path own = shared / ("tessaroll-tmp-" + std::to_string(geteuid()));
    const fs::path cache = sandbox.home() / ".cache/tessaroll-tmp";
    const fs::path elsewhere = sandbox.root() / "elsewhere";
    fs::create_directory(elsewhere);
    fs::permissions(elsewhere, fs::perms::owner_all, fs::perm_options::replace);

    struct Case {
        const char* name;
        std::optional<std::string> runtimeVariable;
        std::function<void()> plant;
        fs::path chosen;
    } cases[] = {
        {"private runtime folder", runtime.string(), [] {}, runtime},
        {"runtime folder open to others", runtime.string(),
         [&] { fs::permissions(runtime, fs::perms::others_exec, fs::perm_options::add); }, own},
        {"runtime folder through a link", (sandbox.root() / "run-link").string(),
         [&] { fs::create_directory_symlink(elsewhere, sandbox.root() / "run-link"); }, own},
        {"no runtime folder", std::nullopt, [] {}, own},
        {"our folder left open is closed", std::nullopt,
         [&] {
             fs::create_directory(own);
             fs::permissions(own, fs::perms::all);
         },
         own},
        {"another user's folder", std::nullopt,
         [&] {
             fs::create_directory(own);
             fs::permissions(own, fs::perms::owner_all, fs::perm_options::replace);
             ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
         },
         cache},
        {"a link to a folder of ours", std::nullopt,
         [&] { fs::create_directory_symlink(elsewhere, own); }, cache},
        {"a file", std::nullopt, [&] { writeFile(own, ""); }, cache},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "another user's folder" && geteuid() != 0) continue;
        fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
        fs::remove(sandbox.root() / "run-link");
        fs::remove_all(own);
        fs::remove_all(cache);
        c.plant();
        ScopedEnv runtimeVariable("XDG_RUNTIME_DIR", c.runtimeVariable);

        const std::string folder = userTempFolder();
        EXPECT_EQ(folder, c.chosen.string() + "/");
        struct stat info {};
        ASSERT_EQ(lstat(folder.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_uid, geteuid());
        EXPECT_EQ(info.st_mode & 077, 0u);
    }
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
