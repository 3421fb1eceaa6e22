// The monitor's three switches and the file "ZEFAGPKITessarollConfig" in the main
// program's data folder that keeps them; and the update check.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kConfigFileName = "ZEFAGPKITessarollConfig";

// Shared by the monitor's threads; written by the window's thread and at start-up.
extern std::atomic<bool> isScreenShot;     // start value false
extern std::atomic<bool> silentmode;       // start value false
extern std::atomic<bool> autocheckupdate;  // start value true
// The configuration file; set at start-up before the file is read.
extern std::string configPath;

// "<dataFolder>/ZEFAGPKITessarollConfig".
std::string makeConfigPath(std::string_view dataFolder);

// "isScreenShot=..\nsilentmode=..\nautocheckupdate=..\n" of the flags in memory.
std::optional<std::string> buildConfigText();
// Writes buildConfigText() as the whole of configPath; a failed write changes nothing else.
void saveConfig();
// Start-up: sets the flags from configPath, rewriting the file when it is missing, empty or
// lacks a key.
void readConfig();

// Command 61017: starts "TessarollUpgrader.exe -checkupdate" hidden from the monitor's own
// folder without waiting, then pauses a second.
void checkForUpdate();

// Tests only: the flags back to their start values, configPath cleared.
void resetMonitorConfigForTests();
