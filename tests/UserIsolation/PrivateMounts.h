// Gives the test process, and every program it starts from then on, shared folders of its
// own (/dev/shm, and /tmp when asked): objects another user plants there for the test reach
// nobody else on the machine. Needs root and a process with no other thread yet; the reason
// when it cannot be had.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <cerrno>
#include <cstring>
#include <string>

namespace testing_support {

inline std::string enterPrivateSharedFolders(bool tmpToo) {
    if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("private /: ") + std::strerror(errno);
    for (const char* folder : {"/dev/shm", "/tmp"}) {
        if (std::string(folder) == "/tmp" && !tmpToo) continue;
        if (::mount("tmpfs", folder, "tmpfs", 0, "mode=1777") != 0)
            return std::string("tmpfs on ") + folder + ": " + std::strerror(errno);
    }
    return {};
}

}  // namespace testing_support
