// What the service leaves on disk is the user's alone: its log, the work folder with the
// session folders and adapter copies; and a log in a folder every user writes to is
// never one another user prepared.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <regex>
#include <sstream>

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

// What another user B can prepare in a folder A's programs use; A runs the real service.
class PlantedFilesTest : public PrivateFilesTest {
protected:
    void SetUp() override {
        other = OtherUser::get();
        if (!other) GTEST_SKIP() << "no second local user: " << OtherUser::whyNot();
        openTheWayDown("/", sandbox.root());
        fs::create_directory(shared);
        fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
        // B's own folder, open to all and not sticky: B may put anything there.
        fs::create_directory(theirs);
        ASSERT_EQ(chown(theirs.c_str(), other->uid(), other->gid()), 0);
        fs::permissions(theirs, fs::perms::all);
    }
    void asOther(const std::string& command) {
        auto run = other->run("/bin/sh", {"-c", command});
        ASSERT_EQ(run->wait(std::chrono::seconds(10)), std::optional<int>(0)) << run->errors();
    }
    // TMPDIR unset, and a runtime folder that is not the user's alone, so that the user's
    // temporary folder is made in the shared folder `shared`.
    ServiceOptions withoutTmpdir() {
        fs::permissions(sandbox.runtimeDir(), fs::perms::owner_all | fs::perms::others_exec,
                        fs::perm_options::replace);
        ServiceOptions options;
        options.logging = false;
        options.environment = {{"TMPDIR", ""},
                               {"TESSAROLL_SHARED_TEMP_DIR", shared.string()},
                               {"XDG_CACHE_HOME", (sandbox.home() / ".cache").string()}};
        return options;
    }
    void startAndAnswer(ServiceOptions options) {
        startService(std::move(options));
        HttpsClient client(clientOptions());
        EXPECT_FALSE(openSession(client).empty());
        EXPECT_EQ(service->stop(), std::optional<int>(0));
    }
    bool theirFolderIsEmpty() const { return fs::is_empty(theirs); }

    const OtherUser* other = nullptr;
    const fs::path shared = sandbox.root() / "shared";
    const fs::path theirs = sandbox.root() / "theirs";
    const fs::path ownTemp = shared / ("tessaroll-tmp-" + std::to_string(geteuid()));
};

// B's ini tries to send A's log into B's folder: without TMPDIR it is not even in A's
// temporary folder, and with TMPDIR naming the shared folder it is refused as B's.
TEST_F(PlantedFilesTest, AnotherUsersIniIsIgnored) {
    const fs::path ini = shared / "ZEFAGPKITessaroll.ini";
    asOther("printf '[ZEFAGPKITessaroll]\\nLog File=" + (theirs / "steered.log").string() +
            "\\nLog Level=5\\n' > " + ini.string() + " && chmod 644 " + ini.string());
    struct Case {
        const char* name;
        bool tmpdirShared;
    } cases[] = {{"TMPDIR unset", false}, {"TMPDIR is the shared folder", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceOptions options = withoutTmpdir();
        if (c.tmpdirShared) options.environment["TMPDIR"] = shared.string();
        startAndAnswer(std::move(options));
        EXPECT_TRUE(theirFolderIsEmpty());
        if (c.tmpdirShared) {
            EXPECT_NE(service->process().errors().find("ini file " + ini.string() +
                                                       " ignored: owned by uid " +
                                                       std::to_string(other->uid())),
                      std::string::npos)
                << service->process().errors();
        }
    }
}

// A's own ini names a log in B's folder (neither shared nor sticky): whatever B put under
// the log's name first is never written, and a FIFO does not hold the start up.
TEST_F(PlantedFilesTest, WhatAnotherUserPutAtTheLogNameIsNeverWritten) {
    const fs::path log = theirs / ("service_" + today() + ".log");
    const fs::path profile = sandbox.home() / ".profile";
    writeFile(
        sandbox.windowsDir() / "ZEFAGPKITessaroll.ini",
        "[ZEFAGPKITessaroll]\nLog File=" + (theirs / "service.log").string() + "\nLog Level=5\n");
    struct Case {
        const char* name;
        std::string plant;
    } cases[] = {
        {"a link to our login profile", "ln -s " + profile.string() + " " + log.string()},
        {"their file open to all", "touch " + log.string() + " && chmod 666 " + log.string()},
        {"their FIFO", "mkfifo -m 666 " + log.string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(profile, "ours\n");
        asOther(c.plant);
        struct stat before {};
        ASSERT_EQ(lstat(log.c_str(), &before), 0);
        ServiceOptions options;
        options.logging = false;  // the ini above
        startAndAnswer(std::move(options));
        EXPECT_EQ(readFile(profile), "ours\n");
        struct stat after {};
        ASSERT_EQ(lstat(log.c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, other->uid());
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size) << "the service wrote into it";
        EXPECT_NE(service->process().errors().find("log file " + log.string() + " not written"),
                  std::string::npos)
            << service->process().errors();
        asOther("rm -f " + log.string());
    }
}

// An administrator's ini without "Log File" puts the log in the user's temporary folder:
// a folder of the user's own, never the shared one, where B's FIFO lies at the old name;
// and a folder B made under the user's name is refused for one in the user's cache.
TEST_F(PlantedFilesTest, TheDefaultLogGoesToAFolderOfTheUsersOwn) {
    writeFile(sandbox.windowsDir() / "ZEFAGPKITessaroll.ini", "[ZEFAGPKITessaroll]\nLog Level=5\n");
    const std::string logName = "VZLog_" + today() + ".log";
    const fs::path cacheTemp = sandbox.home() / ".cache/tessaroll-tmp";
    struct Case {
        const char* name;
        std::string plant;
        fs::path folder;
        bool warns;
    } cases[] = {
        {"their FIFO at the shared name", "mkfifo -m 666 " + (shared / logName).string(), ownTemp,
         false},
        {"their folder at our name", "mkdir -m 777 " + ownTemp.string(), cacheTemp, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        asOther(c.plant);
        startAndAnswer(withoutTmpdir());
        EXPECT_NE(readFile(c.folder / logName).find("Log Enable '"), std::string::npos);
        struct stat info {};
        ASSERT_EQ(lstat(c.folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, geteuid());
        EXPECT_EQ(info.st_mode & 07777, 0700u);
        const std::string errors = service->process().errors();
        const std::string warning = "temporary folder " + ownTemp.string() + " belongs to ";
        EXPECT_EQ(errors.find(warning) != std::string::npos, c.warns) << errors;
        if (c.warns) {
            EXPECT_NE(errors.find("uid " + std::to_string(other->uid())), std::string::npos)
                << errors;
            EXPECT_TRUE(fs::is_empty(ownTemp)) << "something was written into their folder";
        }
        fs::remove_all(shared / logName);
        fs::remove_all(ownTemp);
        fs::remove_all(cacheTemp);
    }
}

// A page's values that hold line breaks stay on their line in the real log, so no page
// text begins a line (one that a shell reading the file would run, say).
TEST_F(PrivateFilesTest, LineBreaksFromAPageStayOnTheirLine) {
    startService();
    HttpsClient client(clientOptions());
    const std::string session = openSession(client);
    ASSERT_FALSE(session.empty());
    const std::string bodies[] = {
        sessionRequest(session, "Echo\ntouch /tmp/x #"),
        "{\"FunctionName\": \"Echo\ntouch /tmp/y #\r\n",  // no JSON: logged by its length
    };
    for (const std::string& body : bodies) postRequest(client, body, {{"Origin", pageOrigin}});
    ASSERT_TRUE(service->waitForLog("FunctionName: Echo\\ntouch /tmp/x #")) << service->log();
    ASSERT_TRUE(service->waitForLog("Error json: ")) << service->log();
    const std::string log = service->log();
    std::istringstream lines(log);
    const std::regex head(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} .*)");
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(std::regex_match(line, head)) << "a line of its own: " << line;
}

}  // namespace
