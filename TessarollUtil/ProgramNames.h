// The names the programs know each other by. They are given in their Windows form: as channel
// and mutex names they stay so, and diskFileName() maps them to the files on disk.
#pragma once

#include "TessarollVersion.h"

inline constexpr const char* kMainProgramName = "ZEFAGPKITessarollMain.exe";
inline constexpr const char* kMonitorProgramName = "ZEFAGPKITessarollMonitor.exe";
inline constexpr const char* kWorkerProgramName = "ZEFAGPKITessarollWorker.exe";
// The event the monitor pulses when it turns debug mode on or off.
inline constexpr const char* kDebugModeEventName = "ZEFAGPKITessaroll_DEBUG_MODE";
