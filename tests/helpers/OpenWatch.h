// Tells when a program opens a file: a sign that a call reached the point where it reads it.
// A test waits for the sign (with a generous bound), or checks it has not come yet.
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

namespace testing_support {

class OpenWatch {
public:
    explicit OpenWatch(const std::filesystem::path& file)
        : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        if (fd_ >= 0 && inotify_add_watch(fd_, file.c_str(), IN_OPEN) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~OpenWatch() {
        if (fd_ >= 0) close(fd_);
    }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool watching() const { return fd_ >= 0; }
    // True once the file has been opened since the watch began; waits up to `limit` for it.
    bool opened(std::chrono::milliseconds limit = std::chrono::milliseconds(0)) {
        if (seen_) return true;
        pollfd ready{fd_, POLLIN, 0};
        seen_ = fd_ >= 0 && poll(&ready, 1, static_cast<int>(limit.count())) == 1;
        return seen_;
    }

private:
    int fd_;
    bool seen_ = false;
};

}  // namespace testing_support
