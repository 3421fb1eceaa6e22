#include "platform/Privacy.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <filesystem>

#include "helpers/Sandbox.h"
#include "platform/CrashSignals.h"
#include "platform/Files.h"

using testing_support::readFile;
using testing_support::Sandbox;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(Privacy, FilesAndFoldersMadeAfterwardsAreTheUsersAlone) {
    Sandbox sandbox;
    const mode_t before = umask(022);
    keepFilesPrivate();
    const fs::path folder = sandbox.root() / "made";
    ASSERT_TRUE(makeFolder(folder.string()));
    ASSERT_TRUE(writeWholeFile((folder / "file").string(), "x"));
    fs::create_directories(folder / "deeper/still");
    umask(before);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder / "file"), 0600u);
    EXPECT_EQ(modeOf(folder / "deeper/still"), 0700u);
}

TEST(Privacy, OnlyAStickyFolderEveryoneWritesToIsShared) {
    Sandbox sandbox;
    const fs::path root = sandbox.root();
    struct Case {
        const char* name;
        mode_t mode;
        bool shared;
    } cases[] = {{"tmp-like", 01777, true},
                 {"open", 0777, false},
                 {"sticky-private", 01700, false},
                 {"private", 0700, false}};
    for (const Case& c : cases) {
        fs::create_directory(root / c.name);
        chmod((root / c.name).c_str(), c.mode);
        EXPECT_EQ(isSharedFolder((root / c.name).string()), c.shared) << c.name;
    }
    writeFile(root / "file", "");
    EXPECT_FALSE(isSharedFolder((root / "file").string()));
    EXPECT_FALSE(isSharedFolder((root / "missing").string()));
}

// What someone else may have left under the name before we open it.
TEST(Privacy, OwnFileIsCreatedPrivateAndNothingPlantedIsWrittenThrough) {
    Sandbox sandbox;
    const fs::path root = sandbox.root();
    const fs::path victim = root / "victim";
    struct Case {
        const char* name;
        void (*plant)(const fs::path& at, const fs::path& victim);
        bool opens;
    } cases[] = {
        {"nothing", [](const fs::path&, const fs::path&) {}, true},
        {"own file", [](const fs::path& at, const fs::path&) { writeFile(at, "old\n"); }, true},
        {"own file open to all",
         [](const fs::path& at, const fs::path&) {
             writeFile(at, "old\n");
             chmod(at.c_str(), 0666);
         },
         true},
        {"symbolic link", [](const fs::path& at, const fs::path& v) { fs::create_symlink(v, at); },
         false},
        {"dangling link",
         [](const fs::path& at, const fs::path&) { fs::create_symlink(at.string() + ".gone", at); },
         false},
        {"hard link", [](const fs::path& at, const fs::path& v) { fs::create_hard_link(v, at); },
         false},
        {"folder", [](const fs::path& at, const fs::path&) { fs::create_directory(at); }, false},
        // Fails at once instead of waiting for a reader.
        {"FIFO",
         [](const fs::path& at, const fs::path&) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); },
         false},
    };
    for (const Case& c : cases) {
        for (bool truncate : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (truncate ? ", emptied" : ", appended"));
            writeFile(victim, "secret\n");
            const fs::path at = root / "log";
            c.plant(at, victim);
            int fd = openOwnFile(at.c_str(), truncate);
            EXPECT_EQ(fd >= 0, c.opens);
            if (fd >= 0) {
                ASSERT_EQ(write(fd, "new\n", 4), 4);
                close(fd);
                EXPECT_EQ(modeOf(at), 0600u);
                const bool hadOld = std::string(c.name).starts_with("own");
                EXPECT_EQ(readFile(at), hadOld && !truncate ? "old\nnew\n" : "new\n");
            }
            EXPECT_EQ(readFile(victim), "secret\n");
            fs::remove_all(at);
            fs::remove(at.string() + ".gone");
        }
    }
}

TEST(Privacy, CrashReportIsNeverWrittenThroughALink) {
    Sandbox sandbox;
    const fs::path victim = sandbox.root() / "victim";
    const fs::path report = sandbox.root() / "report.dmp";
    writeFile(victim, "keep");
    fs::create_symlink(victim, report);
    EXPECT_EQ(createCrashReportFile(report.c_str()), -1);
    EXPECT_EQ(readFile(victim), "keep");

    fs::remove(report);
    writeFile(report, "an older report");
    int fd = createCrashReportFile(report.c_str());
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(readFile(report), "");
    EXPECT_EQ(modeOf(report), 0600u);
}

}  // namespace
