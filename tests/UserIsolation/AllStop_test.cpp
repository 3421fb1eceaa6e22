// The worker's -allstop run by root (as an installer does) ends root's programs only: a
// program of another user under the same name goes on; and folders another user made
// first for root's objects do not keep root from ending its programs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <thread>

#include "OtherUser.h"
#include "PrivateMounts.h"
#include "helpers/Sandbox.h"
#include "platform/Channel.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kMain = "ZEFAGPKITessarollMain";

TEST(AllStop, AnotherUsersProgramOfTheSameNameSurvives) {
    REQUIRE_OTHER_USER(other);
    Sandbox sandbox;
    const fs::path install = sandbox.root() / "install";
    const fs::path theirs = sandbox.root() / "theirs";
    for (const fs::path& folder : {install, theirs}) {
        fs::create_directories(folder);
        fs::copy_file(MAIN_STANDIN, folder / kMain);
    }
    fs::copy_file(fs::path(TESSAROLL_STAGE_DIR) / "ZEFAGPKITessarollWorker",
                  install / "ZEFAGPKITessarollWorker");
    openTheWayDown("/", theirs);
    fs::permissions(theirs / kMain, fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    // Their own runtime folder and home, as a login of theirs would have.
    const fs::path runtime = theirs / "run";
    fs::create_directory(runtime);
    ASSERT_EQ(chown(runtime.c_str(), other->uid(), other->gid()), 0);
    auto theirProgram = other->run(theirs / kMain, {},
                                   {{"XDG_RUNTIME_DIR", runtime.string()},
                                    {"HOME", runtime.string()},
                                    {"TMPDIR", runtime.string()},
                                    {"XDG_DATA_HOME", runtime.string()}});
    ChildProcess ours(install / kMain, {});
    ASSERT_TRUE(waitUntil([] { return findChannel("ZEFAGPKITessarollMain.exe").has_value(); }));
    ASSERT_TRUE(waitUntil([&] {
        return fs::exists(runtime / "tessaroll-channels/ZEFAGPKITessarollMain.exe.sock");
    })) << theirProgram->errors();

    ChildProcess worker(install / "ZEFAGPKITessarollWorker", {"-allstop"});
    ASSERT_TRUE(worker.wait(30s).has_value());
    EXPECT_TRUE(ours.wait(5s).has_value()) << "our program was not ended";
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(theirProgram->running()) << "the other user's program was ended";
}

// Without a runtime folder, another user made the folders of root's objects and channels in
// the shared folders first: root's programs pass them over for a private place, say whose
// they were, and -allstop still ends root's program without waiting for any lock.
TEST(AllStop, FoldersAnotherUserMadeFirstDoNotKeepTheUserFromStoppingItsPrograms) {
    REQUIRE_OTHER_USER(other);
    const std::string why = enterPrivateSharedFolders(true);
    ASSERT_TRUE(why.empty()) << why;
    const std::string uid = std::to_string(geteuid());
    const std::vector<std::string> planted{"/dev/shm/tessaroll-u" + uid, "/tmp/tessaroll-" + uid};
    pid_t planter = fork();
    if (planter == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(other->gid()) != 0 || setuid(other->uid()) != 0)
            _exit(2);
        umask(0);
        for (const std::string& folder : planted)
            if (mkdir(folder.c_str(), 0777) != 0) _exit(3);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(planter, &status, 0), planter);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    Sandbox sandbox;
    unsetenv("XDG_RUNTIME_DIR");  // restored with the sandbox
    const fs::path install = sandbox.root() / "install";
    fs::create_directories(install);
    fs::copy_file(MAIN_STANDIN, install / kMain);
    fs::copy_file(fs::path(TESSAROLL_STAGE_DIR) / "ZEFAGPKITessarollWorker",
                  install / "ZEFAGPKITessarollWorker");
    const fs::path log = sandbox.tempDir() / "worker.log";
    writeFile(sandbox.windowsDir() / "ZEFAGPKITessaroll.ini",
              "[ZEFAGPKITessaroll]\nLog File=" + log.string() + "\nLog Level=5\n");

    ChildProcess ours(install / kMain, {});
    ASSERT_TRUE(waitUntil([] { return findChannel("ZEFAGPKITessarollMain.exe").has_value(); }));
    ChildProcess worker(install / "ZEFAGPKITessarollWorker", {"-allstop"});
    ASSERT_TRUE(worker.wait(15s).has_value()) << "-allstop did not end";
    EXPECT_TRUE(ours.wait(5s).has_value()) << "our program was not ended";

    std::string logs;
    for (const auto& entry : fs::directory_iterator(sandbox.tempDir()))
        if (entry.path().filename().string().rfind("worker", 0) == 0)
            logs += readFile(entry.path());
    EXPECT_NE(logs.find("Refuse folder: " + planted[0] + " belongs to uid " +
                        std::to_string(other->uid())),
              std::string::npos)
        << logs;
    for (const char* never : {"Refuse named mutex", "Get mutex lock time out"})
        EXPECT_EQ(logs.find(never), std::string::npos) << never << "\n" << logs;
}

}  // namespace
