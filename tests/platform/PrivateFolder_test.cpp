// The folders of the user's objects: only a real folder of the user's that nobody else may
// enter is used; what another user made first is passed over, with a line that names them,
// for the next private place.
#include "platform/PrivateFolder.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "helpers/Sandbox.h"

namespace fs = std::filesystem;
using testing_support::Sandbox;

namespace {

constexpr uid_t kOtherUid = 65534;

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(PrivateFolder, OnlyARealFolderOfTheUsersOwnIsUsed) {
    Sandbox sandbox;
    const bool root = ::geteuid() == 0;
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> prepare;
        bool used;
        const char* refusalNames;  // a part of the refusal, when refused
    };
    const Case cases[] = {
        {"missing", [](const fs::path&) {}, true, ""},
        {"ours, opened up",
         [](const fs::path& p) {
             ::mkdir(p.c_str(), 0777);
             ::chmod(p.c_str(), 0777);
         },
         true, ""},
        {"a link to ours",
         [&](const fs::path& p) { fs::create_directory_symlink(sandbox.home(), p); }, false,
         "is not a folder"},
        {"a file", [](const fs::path& p) { testing_support::writeFile(p, ""); }, false,
         "is not a folder"},
        {"another user's",
         [](const fs::path& p) {
             ::mkdir(p.c_str(), 0777);
             ::chmod(p.c_str(), 0777);
             ASSERT_EQ(::chown(p.c_str(), kOtherUid, kOtherUid), 0);
         },
         false, "belongs to uid 65534"},
    };
    for (const Case& c : cases) {
        if (std::string(c.what) == "another user's" && !root) continue;  // needs chown
        const fs::path folder = sandbox.root() / c.what;
        c.prepare(folder);
        std::string refusal;
        EXPECT_EQ(ensurePrivateFolder(folder.string(), &refusal), c.used) << c.what;
        if (c.used) {
            EXPECT_EQ(modeOf(folder), 0700u) << c.what;
            EXPECT_TRUE(refusal.empty()) << c.what;
        } else {
            EXPECT_NE(refusal.find(folder.string()), std::string::npos)
                << c.what << ": " << refusal;
            EXPECT_NE(refusal.find(c.refusalNames), std::string::npos) << c.what << ": " << refusal;
        }
    }
}

// Runs `body` in a child with a /dev/shm and a /run of its own, so a folder planted there
// is seen by nobody else on the machine; the child's exit code is the result.
int inPrivateMounts(const std::function<int()>& body) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0 ||
            ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
            ::_exit(100);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

// Without a runtime folder the objects go to /dev/shm; a folder there that another user made
// first sends them to /run/user/<uid> when it is there, else into the home.
TEST(PrivateFolder, APlantedSharedMemoryFolderIsPassedOverForAPrivatePlace) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace and chown";
    Sandbox sandbox;
    const std::string uid = std::to_string(::geteuid());
    const std::string home = sandbox.home().string();
    const int result = inPrivateMounts([&] {
        ::unsetenv("XDG_RUNTIME_DIR");
        ::setenv("HOME", home.c_str(), 1);
        if (userObjectFolder() != "/dev/shm/tessaroll-u" + uid) return 1;
        if (::rmdir(("/dev/shm/tessaroll-u" + uid).c_str()) != 0) return 2;

        const std::string planted = "/dev/shm/tessaroll-u" + uid;
        if (::mkdir(planted.c_str(), 0777) != 0 ||
            ::chown(planted.c_str(), kOtherUid, kOtherUid) != 0)
            return 3;
        std::vector<std::string> refused;
        if (userObjectFolder(&refused) != home + "/.cache/tessaroll-u" + uid) return 4;
        if (refused.size() != 1 || refused[0].find(planted + " belongs to uid 65534") != 0)
            return 5;

        const std::string runUser = "/run/user/" + uid;
        fs::create_directories(runUser);
        ::chmod(runUser.c_str(), 0700);
        if (userObjectSubfolder("tessaroll-channels") != runUser + "/tessaroll-channels") return 6;
        return modeOf(runUser + "/tessaroll-channels") == 0700u ? 0 : 7;
    });
    EXPECT_EQ(result, 0);
}

}  // namespace
