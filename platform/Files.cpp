#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool fileExistsOnDisk(std::string_view path) {
    std::string name(path);
    struct stat info {};
    if (stat(name.c_str(), &info) != 0) {
        // Only "not there" is a clear no; anything else (say, a folder we may not
        // search) does not prove the file absent.
        return !(errno == ENOENT || errno == ENOTDIR || name.empty());
    }
    return S_ISREG(info.st_mode);
}

std::optional<std::string> readWholeFile(std::string_view path) {
    FilePtr file(std::fopen(std::string(path).c_str(), "rb"));
    if (!file) return std::nullopt;
    std::string content;
    char buffer[8192];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        content.append(buffer, count);
    return content;
}

int openTrustedFile(const char* path, std::string& refusal) {
    refusal.clear();
    int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            refusal = "a symbolic link";
        else if (errno != ENOENT && errno != ENOTDIR)
            refusal = std::strerror(errno);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        refusal = std::strerror(errno);
    else if (!S_ISREG(info.st_mode))
        refusal = "not a regular file";
    else if (info.st_uid != ::geteuid() && info.st_uid != 0)
        refusal = "owned by uid " + std::to_string(info.st_uid);
    else if (info.st_mode & (S_IWGRP | S_IWOTH))
        refusal = "writable by others";
    if (refusal.empty()) return fd;
    ::close(fd);
    return -1;
}

bool writeWholeFile(std::string_view path, std::string_view text) {
    FilePtr file(std::fopen(std::string(path).c_str(), "wb"));
    if (!file) return false;
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file.get()) != text.size())
        return false;
    return std::fclose(file.release()) == 0;
}

bool makeFolder(std::string_view path) {
    std::string name(path);
    if (mkdir(name.c_str(), 0777) == 0) return true;
    struct stat info {};
    return stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
