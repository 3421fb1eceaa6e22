#include "platform/User.h"

#include <pwd.h>
#include <unistd.h>
#include <cstdlib>
#include <vector>

std::optional<std::string> currentUserName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name)
        return std::string(found->pw_name);
    // A uid without a password entry (containers): the login variables are all there is.
    for (const char* variable : {"USER", "LOGNAME"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return std::string(value);
    }
    return std::nullopt;
}
