#include "platform/User.h"

#include <pwd.h>
#include <unistd.h>
#include <vector>

std::optional<std::string> userNameOf(uid_t uid) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name)
        return std::string(found->pw_name);
    return std::nullopt;
}

std::optional<std::string> currentUserName() {
    return userNameOf(geteuid());
}
