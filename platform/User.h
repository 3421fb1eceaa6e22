// The name of the user the process runs as.
#pragma once

#include <sys/types.h>
#include <optional>
#include <string>

// The login name of a user from its password entry; nothing for a uid without one.
std::optional<std::string> userNameOf(uid_t uid);
// The login name of the effective user; nothing when it has no password entry.
std::optional<std::string> currentUserName();
