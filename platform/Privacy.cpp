#include "platform/Privacy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <string>

void keepFilesPrivate() {
    ::umask(077);
}

bool isSharedFolder(std::string_view folder) {
    struct stat info {};
    std::string name(folder.empty() ? std::string_view(".") : folder);
    return ::stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) &&
           (info.st_mode & S_IWOTH);
}

int openOwnFile(const char* path, bool truncate) {
    // Non-blocking: a FIFO at the name fails at once instead of waiting for a reader.
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (truncate ? 0 : O_APPEND);
    // Created exclusively, so that nobody can slip a file or link in between.
    int fd = ::open(path, flags | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST) fd = ::open(path, flags);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        info.st_nlink != 1) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    // Our own file from before may still be open to others.
    if ((info.st_mode & 077) != 0) ::fchmod(fd, info.st_mode & 0700);
    if (truncate && info.st_size != 0) ::ftruncate(fd, 0);
    return fd;
}
