// The monitor's three switches and the file "ZEFAGPKITessarollConfig" in the main
// program's data folder that keeps them; and the update check.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kConfigFileName = "ZEFAGPKITessarollConfig";

// The switches are shared by the monitor's threads and written by the window's thread and
// at start-up; the file is set at start-up before it is read.
struct MonitorConfig {
    std::atomic<bool> isScreenShot{false};
    std::atomic<bool> silentmode{false};
    std::atomic<bool> autocheckupdate{true};
    std::string path;
};

// "<dataFolder>/ZEFAGPKITessarollConfig".
std::string makeConfigPath(std::string_view dataFolder);

// The functions below act on the monitor's configuration (monitorState().config).
// "isScreenShot=..\nsilentmode=..\nautocheckupdate=..\n" of the flags in memory.
std::optional<std::string> buildConfigText();
// Writes buildConfigText() as the whole of the file; a failed write changes nothing else.
void saveConfig();
// Start-up: sets the flags from the file, rewriting it when it is missing, empty or lacks
// a key.
void readConfig();

// Command 61017: starts "TessarollUpgrader.exe -checkupdate" hidden from the monitor's own
// folder without waiting, then pauses a second.
void checkForUpdate();
