// What tells one file from a replacement or a rewrite of it: for keeping something made
// from a file (a copy, a parsed table) until the file changes. Header-only, so the COM
// runtime library can use it too.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNanoseconds = 0;
    int64_t changedNanoseconds = 0;

    bool operator==(const FileIdentity&) const = default;

    static FileIdentity of(const struct stat& status) {
        auto nanoseconds = [](const timespec& time) {
            return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
        };
        return {status.st_dev, status.st_ino, status.st_size, nanoseconds(status.st_mtim),
                nanoseconds(status.st_ctim)};
    }
};

// The identity of the file at `path` (links followed); nothing when it cannot be read.
inline std::optional<FileIdentity> fileIdentity(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity::of(status);
}
