#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>

#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

TEST(Process, CommandLinesSplitIntoWords) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"ZEFAGPKITessarollWorker.exe -start", {"ZEFAGPKITessarollWorker.exe", "-start"}},
        {"  a   b\tc ", {"a", "b", "c"}},
        {"\"/opt/my tools/x\" \"two words\" \"\"", {"/opt/my tools/x", "two words", ""}},
        {"say \\\"hi\\\"", {"say", "\"hi\""}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(splitCommandLine(c.line), c.words) << c.line;
}

TEST(Process, ExitCodesComeBack) {
    struct Case {
        const char* line;
        int code;
    } cases[] = {
        {"/bin/sh -c \"exit 5\"", 5},
        {"cmd /c exit 7", 7},
        {"cmd /c kill -9 $$", 128 + 9},
        {"true", 0},
    };
    for (const auto& c : cases) {
        auto pid = startHiddenProcess(c.line);
        ASSERT_TRUE(pid) << c.line;
        EXPECT_EQ(waitForProcess(*pid), c.code) << c.line;
    }
    EXPECT_FALSE(startHiddenProcess("no-such-program-anywhere --x"));
    EXPECT_FALSE(startHiddenProcess("   "));
}

TEST(Process, BareNamesAreLookedForInTheOwnFolderFirst) {
    testing_support::Sandbox sandbox;
    fs::path own = fs::read_symlink("/proc/self/exe");
    // A program of the same name earlier on PATH loses against the own folder.
    fs::path decoy = sandbox.root() / "bin" / own.filename();
    fs::create_directories(decoy.parent_path());
    testing_support::writeFile(decoy, "#!/bin/sh\nexit 0\n");
    fs::permissions(decoy, fs::perms::owner_all);
    std::string oldPath = std::getenv("PATH");
    ::setenv("PATH", (decoy.parent_path().string() + ":" + oldPath).c_str(), 1);

    EXPECT_EQ(findProgram(own.filename().string() + ".exe"), own.string());
    testing_support::writeFile(sandbox.root() / "bin" / "onlyonpath", "#!/bin/sh\nexit 3\n");
    fs::permissions(sandbox.root() / "bin" / "onlyonpath", fs::perms::owner_all);
    EXPECT_EQ(findProgram("onlyonpath.exe"), (sandbox.root() / "bin" / "onlyonpath").string());
    auto pid = startHiddenProcess("onlyonpath.exe");
    ASSERT_TRUE(pid);
    EXPECT_EQ(waitForProcess(*pid), 3);
    ::setenv("PATH", oldPath.c_str(), 1);
}

TEST(Process, FoundByImageNameAndKilled) {
    testing_support::Sandbox sandbox;
    // A name of its own: the real programs may be running on this machine.
    const std::string name = "TessarollProbe" + std::to_string(::getpid());
    std::string upper = name, lower = name;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    fs::path program = sandbox.root() / name;
    fs::copy_file("/bin/sleep", program);
    testing_support::ChildProcess child(program, {"30"});
    ASSERT_TRUE(
        testing_support::waitUntil([&] { return !findProcessesByName(name, false).empty(); }));

    EXPECT_EQ(findProcessesByName(upper + ".EXE", true), std::vector<pid_t>{child.pid()});
    EXPECT_EQ(findProcessesByName(name + ".exe", false), std::vector<pid_t>{child.pid()});
    EXPECT_TRUE(findProcessesByName(lower + ".exe", false).empty());
    EXPECT_TRUE(killProcess(child.pid()));
    EXPECT_EQ(child.wait(5s), 128 + 9);
    EXPECT_TRUE(findProcessesByName(name + ".exe", true).empty());
}

// A new login session for the calling process (root may open one): its session id
// changes when its login user is written.
bool startLoginSession() {
    int fd = ::open("/proc/self/loginuid", O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ::write(fd, "0", 1) == 1;
    if (fd >= 0) ::close(fd);
    return ok;
}

// Two logins of the same user run a program of the same name: a scan from one login
// finds only its own. Where the scanning process has no login session, it finds both.
TEST(Process, ScansByNameStayInTheLoginSessionWhereItIsKnown) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to open login sessions";
    testing_support::Sandbox sandbox;
    const std::string name = "TessarollSessionProbe" + std::to_string(::getpid());
    const fs::path program = sandbox.root() / name;
    fs::copy_file("/bin/sleep", program);
    testing_support::ChildProcess otherLogin(
        "/bin/sh", {"-c", "echo 0 > /proc/self/loginuid && exec " + program.string() + " 30"});
    ASSERT_TRUE(
        testing_support::waitUntil([&] { return findProcessesByName(name, false).size() == 1; }));

    pid_t login = ::fork();
    if (login == 0) {
        // This login's own copy, then what a scan from here finds of the two.
        if (!startLoginSession()) _exit(2);
        pid_t own = ::fork();
        if (own == 0) {
            ::execl(program.c_str(), program.c_str(), "30", nullptr);
            _exit(127);
        }
        bool sawOnlyOwn = false;
        for (int i = 0; i < 250 && !sawOnlyOwn; ++i) {
            sawOnlyOwn = findProcessesByName(name, false) == std::vector<pid_t>{own};
            ::usleep(20000);
        }
        ::kill(own, SIGKILL);
        ::waitpid(own, nullptr, 0);
        _exit(sawOnlyOwn ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(login, &status, 0), login);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 2) << "no login session could be opened";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the scan saw the other login's program";
    EXPECT_EQ(findProcessesByName(name, false), std::vector<pid_t>{otherLogin.pid()});
}

}  // namespace
