// Starts a real program for a test, with the environment of the calling process
// (so a Sandbox's variables reach it), its output captured in files, and waits,
// signals or kills it.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
    // `program` is a path; `extraEnv` is added to (and overrides) the current environment.
    ChildProcess(const std::filesystem::path& program, std::vector<std::string> args,
                 std::map<std::string, std::string> extraEnv = {});
    ~ChildProcess();  // kills the program if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Exit code, or 128 + signal number; nothing if it did not end within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void signal(int sig);
    void kill();
    std::string output() const;  // what it wrote to standard output so far
    std::string errors() const;  // what it wrote to standard error so far

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path outFile_, errFile_;
};

// Runs a shell command; answers its standard output, and its exit status through `status`.
std::string shell(const std::string& command, int* status = nullptr);

// Whether the process is stopped by a signal (a stop takes effect when it is next scheduled).
bool isStopped(pid_t pid);

// Polls `condition` every 20 ms until it holds or `timeout` passes.
template <typename F>
bool waitUntil(F condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        struct timespec ts {
            0, 20'000'000
        };
        nanosleep(&ts, nullptr);
    }
    return condition();
}

}  // namespace testing_support
