// Where the folders the programs were written for live on this system. Every mapping is
// here, and each can be redirected by an environment variable (tests do, and the README
// lists them). Paths use "/".
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The common application-data folder: $XDG_DATA_HOME, else $HOME/.local/share. No
// trailing "/". Empty when neither variable nor the password entry gives a home.
std::string commonAppDataFolder();

// The Windows folder: $TESSAROLL_WINDOWS_DIR, else "/etc". No trailing "/".
std::string windowsFolder();

// The user's temporary folder, with a trailing "/" as the programs expect of one: $TMPDIR
// (when set and not empty); else $XDG_RUNTIME_DIR when it is a folder of the user's alone;
// else "tessaroll-tmp-<uid>" in the shared temporary folder ($TESSAROLL_SHARED_TEMP_DIR,
// default "/tmp"), made 0700 and used only when it is a real folder of the user's; else
// "tessaroll-tmp" in the user's cache folder ($XDG_CACHE_HOME, default ~/.cache), made the
// same way. Never the shared folder itself. Empty when none of them can be had.
std::string userTempFolder();

// The user's home: $HOME, else the home of the password entry. No trailing "/"; empty
// when neither gives one.
std::string homeFolder();

// The desktop: $XDG_DESKTOP_DIR, else XDG_DESKTOP_DIR of the user's user-dirs.dirs
// ($XDG_CONFIG_HOME, default ~/.config), else $HOME/Desktop. No trailing "/".
std::string desktopFolder();
// The same for downloads (XDG_DOWNLOAD_DIR, $HOME/Downloads) and documents
// (XDG_DOCUMENTS_DIR, $HOME/Documents).
std::string downloadFolder();
std::string documentsFolder();

// The user's configuration folder: $XDG_CONFIG_HOME, else $HOME/.config. No trailing "/";
// empty when there is no home.
std::string configFolder();

// The logger's default log file: "VZLog.log" in the user's temporary folder; empty when
// there is none.
std::string defaultLogFilePath();

// The folder of the running executable (from /proc/self/exe), without its last "/".
// Nothing when it cannot be read.
std::optional<std::string> moduleFolder();

// Maps a Windows file name as the programs name it to the file on disk: a final ".exe"
// is dropped ("X.exe" -> "X"), a final ".dll" becomes ".so" ("Y.dll" -> "Y.so"); both
// without regard to letter case. Any folder part is kept; other names are unchanged.
std::string diskFileName(std::string_view windowsName);
