// The name of the user the process runs as.
#pragma once

#include <optional>
#include <string>

// The login name of the effective user (password entry), else $USER / $LOGNAME.
// Nothing when none can be had.
std::optional<std::string> currentUserName();
