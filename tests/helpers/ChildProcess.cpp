#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <thread>

extern char** environ;
namespace fs = std::filesystem;

namespace testing_support {

ChildProcess::ChildProcess(const fs::path& program, std::vector<std::string> args,
                           std::map<std::string, std::string> extraEnv) {
    static std::atomic<int> counter{0};
    auto base = fs::temp_directory_path() /
                ("child-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    outFile_ = base.string() + ".out";
    errFile_ = base.string() + ".err";

    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (auto& [k, v] : extraEnv) env[k] = v;
    std::vector<std::string> envStrings;
    for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string path = program.string();
    std::vector<char*> argv{path.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // fork and exec rather than posix_spawn, so the child can be tied to the test: it dies
    // with the test process (a crashed test leaves no service holding the ports) and keeps
    // none of the test's descriptors (such as a lock file the test runs under).
    // Only async-signal-safe calls between fork and exec.
    int out = open(outFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open(errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0)
        throw std::runtime_error("cannot open output files for " + path);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close_range(3, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
    if (pid_ < 0) throw std::runtime_error("cannot start " + path);
}

ChildProcess::~ChildProcess() {
    if (running()) {
        kill();
        wait(std::chrono::seconds(5));
    }
    std::error_code ignored;
    fs::remove(outFile_, ignored);
    fs::remove(errFile_, ignored);
}

bool ChildProcess::running() {
    if (status_) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return r == 0;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    waitUntil([this] { return !running(); }, timeout);
    return status_;
}

void ChildProcess::signal(int sig) {
    if (running()) ::kill(pid_, sig);
}

void ChildProcess::kill() {
    signal(SIGKILL);
}

std::string ChildProcess::output() const {
    return readFile(outFile_);
}
std::string ChildProcess::errors() const {
    return readFile(errFile_);
}

bool isStopped(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto end = stat.rfind(") ");  // the name in parentheses may hold anything
    return end != std::string::npos && stat.compare(end + 2, 1, "T") == 0;
}

std::string shell(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

}  // namespace testing_support
