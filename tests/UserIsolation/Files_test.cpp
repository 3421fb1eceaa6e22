// What the service leaves on disk is the user's alone: its log, the work folder with the
// session folders and adapter copies; and a log in a folder every user writes to is
// never one another user prepared.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>

#include "OtherUser.h"
#include "Tessaroll/ServiceFixture.h"
#include "doubles/LogCapture/LogCapture.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class PrivateFilesTest : public ServiceTest {
protected:
    void SetUp() override {}
};

TEST_F(PrivateFilesTest, LogWorkFolderSessionFoldersAndAdapterCopiesAreTheUsersAlone) {
    startService();
    HttpsClient client(clientOptions());
    ASSERT_FALSE(openSession(client).empty());
    ASSERT_TRUE(service->waitForLog("Copied adapter: Active")) << service->log();

    std::vector<fs::path> made;
    for (const auto& entry : fs::directory_iterator(sandbox.tempDir() / "log"))
        made.push_back(entry.path());
    ASSERT_FALSE(made.empty());
    made.push_back(service->workFolder());
    for (const auto& entry : fs::recursive_directory_iterator(service->workFolder()))
        made.push_back(entry.path());
    bool sawCopy = false;
    for (const fs::path& path : made) {
        EXPECT_EQ(modeOf(path) & 077, 0u) << path << " is open to others";
        sawCopy = sawCopy || path.extension() == ".so";
    }
    EXPECT_TRUE(sawCopy) << "no adapter copy in the work folder";

    REQUIRE_OTHER_USER(other);
    openTheWayDown("/", sandbox.tempDir() / "log");
    openTheWayDown("/", sandbox.dataHome());
    const fs::path control = sandbox.tempDir() / "log/readable-control";
    writeFile(control, "");
    fs::permissions(control, fs::perms::others_read, fs::perm_options::add);
    ASSERT_EQ(other->openError(control), 0) << "the way down is still closed";
    for (const fs::path& path : made) {
        if (fs::is_directory(path) || path == control) continue;
        EXPECT_EQ(other->openError(path), EACCES) << path;
    }
}

// Another user was first in a shared temporary folder and left a file of theirs, or a
// link to one of our files, under the name of today's log.
TEST_F(PrivateFilesTest, ALogInASharedFolderIsNeverOneAnotherUserPrepared) {
    REQUIRE_OTHER_USER(other);
    const fs::path shared = sandbox.tempDir() / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    openTheWayDown("/", shared);
    const fs::path log = shared / ("service_" + today() + ".log");
    const fs::path victim = sandbox.root() / "victim";
    writeFile(
        sandbox.windowsDir() / "ZEFAGPKITessaroll.ini",
        "[ZEFAGPKITessaroll]\nLog File=" + (shared / "service.log").string() + "\nLog Level=5\n");
    struct Case {
        const char* name;
        std::string plant;
    } cases[] = {
        {"their file", "touch " + log.string()},
        {"a link to our file", "ln -s " + victim.string() + " " + log.string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(victim, "ours\n");
        auto planting = other->run("/bin/sh", {"-c", c.plant});
        ASSERT_EQ(planting->wait(std::chrono::seconds(5)), std::optional<int>(0))
            << planting->errors();
        ServiceOptions options;
        options.logging = false;  // the ini above
        startService(options);
        HttpsClient client(clientOptions());
        EXPECT_FALSE(openSession(client).empty());
        service->stop();
        EXPECT_EQ(readFile(victim), "ours\n");
        struct stat info {};
        ASSERT_EQ(lstat(log.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, other->uid());
        if (S_ISREG(info.st_mode)) {
            EXPECT_EQ(info.st_size, 0) << "the service wrote into their file";
        }
        fs::remove(log);
    }
}

}  // namespace
