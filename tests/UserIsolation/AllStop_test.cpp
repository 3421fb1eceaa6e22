// The worker's -allstop run by root (as an installer does) ends root's programs only: a
// program of another user under the same name goes on.
#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <thread>

#include "OtherUser.h"
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

}  // namespace
