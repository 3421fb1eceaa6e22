// Everything the monitor keeps while it runs, in one object: the switches and their file,
// debug mode, the keeper and the tray window. The program fills in its own at start-up;
// each test builds a fresh one instead of resetting process-wide values.
#pragma once

#include "TessarollMonitor/DebugMode.h"
#include "TessarollMonitor/Keeper.h"
#include "TessarollMonitor/MonitorConfig.h"
#include "TessarollMonitor/TrayWindow.h"

struct MonitorState {
    MonitorConfig config;
    DebugModeState debugMode;
    KeeperState keeper;
    TrayWindowState window;
};

// The state the monitor's functions act on: the last one given to useMonitorState, else
// one of the process's own.
MonitorState& monitorState();
// Makes `state` (null: the process's own) the one they act on and returns the one before.
// The state must outlive every thread that still uses it.
MonitorState* useMonitorState(MonitorState* state);
