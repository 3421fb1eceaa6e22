// A second, throwaway local user for the tests of one run: made with useradd when the
// tests run as root and removed again at the end; without root every test that needs it
// skips with a message saying so.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "helpers/ChildProcess.h"

namespace testing_support {

class OtherUser : public ::testing::Environment {
public:
    // The user, or null (with the reason in `whyNot()`) when none could be made.
    static const OtherUser* get() { return instance().made_ ? &instance() : nullptr; }
    static const std::string& whyNot() { return instance().whyNot_; }

    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }

    // Runs a program as this user, with the current environment and `env` on top.
    std::unique_ptr<ChildProcess> run(const std::filesystem::path& program,
                                      std::vector<std::string> args,
                                      std::map<std::string, std::string> env = {}) const {
        std::vector<std::string> words{"--reuid=" + std::to_string(uid_),
                                       "--regid=" + std::to_string(gid_), "--clear-groups",
                                       program.string()};
        words.insert(words.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>("/usr/bin/setpriv", std::move(words), std::move(env));
    }
    // Whether this user may open the path for reading: 0, or the errno of the refusal.
    int openError(const std::filesystem::path& path) const {
        pid_t child = fork();
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0) _exit(255);
            _exit(open(path.c_str(), O_RDONLY | O_CLOEXEC) >= 0 ? 0 : errno);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
    }

    void SetUp() override {
        if (geteuid() != 0) {
            whyNot_ = "needs root to make a second local user with useradd";
            return;
        }
        if (access("/usr/sbin/useradd", X_OK) != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
            whyNot_ = "needs useradd and setpriv";
            return;
        }
        name_ = "tsrlpeer" + std::to_string(getpid() % 100000);
        std::string command =
            "/usr/sbin/useradd --system --no-create-home --user-group --shell /usr/sbin/nologin " +
            name_ + " >/dev/null 2>&1";
        passwd* entry = std::system(command.c_str()) == 0 ? getpwnam(name_.c_str()) : nullptr;
        if (!entry) {
            whyNot_ = "useradd " + name_ + " failed";
            return;
        }
        uid_ = entry->pw_uid;
        gid_ = entry->pw_gid;
        made_ = true;
    }
    void TearDown() override {
        if (!made_) return;
        std::system(("/usr/sbin/userdel " + name_ + " >/dev/null 2>&1").c_str());
        made_ = false;
    }

private:
    static OtherUser& instance() {
        // Owned by the test framework once registered.
        static OtherUser* user =
            static_cast<OtherUser*>(::testing::AddGlobalTestEnvironment(new OtherUser));
        return *user;
    }
    friend struct OtherUserRegistration;
    std::string name_;
    std::string whyNot_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool made_ = false;
};

// Registered before the tests run, so SetUp makes the user first.
struct OtherUserRegistration {
    OtherUserRegistration() { OtherUser::get(); }
};
inline OtherUserRegistration otherUserRegistration;

#define REQUIRE_OTHER_USER(user)                                                    \
    const ::testing_support::OtherUser* user = ::testing_support::OtherUser::get(); \
    if (!user) GTEST_SKIP() << "no second local user: " << ::testing_support::OtherUser::whyNot()

// Lets every user pass through the folders from `top` down to `path` (not list them), so
// that only the modes of what the programs made keep another user out.
inline void openTheWayDown(const std::filesystem::path& top, const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    for (fs::path at = path;; at = at.parent_path()) {
        std::error_code ec;
        fs::permissions(at, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add,
                        ec);
        if (at == top || at == at.parent_path()) break;
    }
}

}  // namespace testing_support
