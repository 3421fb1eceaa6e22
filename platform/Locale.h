// The user's locale under the names the monitor's language detection was written for
// ("Chinese (Simplified)_China.936", "English_United States.1252", "Japanese_Japan.932").
#pragma once

#include <string>
#include <string_view>

// The locale name the user's environment asks for, as POSIX names it ("zh_TW.UTF-8"):
// LC_ALL, else LC_MESSAGES, else LANG, the first that is set and not empty; "C" when none
// is. Read from the environment, so a locale that is not installed still counts.
std::string posixLocaleName();
// A POSIX locale name under its Windows name: zh_CN and zh_SG to "Chinese (Simplified)",
// every other zh_* to "Chinese (Traditional)", en_* to "English", ja_* to "Japanese".
// Any other name comes back as it is.
std::string windowsLocaleName(std::string_view posixName);
// windowsLocaleName(posixLocaleName()).
std::string userLocaleName();
