// The names the programs know each other by. They are given in their Windows form: as channel
// and mutex names they stay so, and diskFileName() maps them to the files on disk.
#pragma once

#include <string>
#include <string_view>

#include "TessarollVersion.h"

inline constexpr const char* kMainProgramName = "ZEFAGPKITessarollMain.exe";
inline constexpr const char* kMonitorProgramName = "ZEFAGPKITessarollMonitor.exe";
inline constexpr const char* kWorkerProgramName = "ZEFAGPKITessarollWorker.exe";
// The main program's folder in the user's data folder: its name without ".exe".
inline constexpr std::string_view kMainFolderName =
    std::string_view(kMainProgramName).substr(0, std::string_view(kMainProgramName).size() - 4);
// The event the monitor pulses when it turns debug mode on or off.
inline constexpr const char* kDebugModeEventName = "ZEFAGPKITessaroll_DEBUG_MODE";

// The command line that starts the worker with one option, e.g. "-reset".
inline std::string workerCommand(std::string_view option) {
    return std::string(kWorkerProgramName) + " " + std::string(option);
}
