// The start-up steps of the main program that belong to other parts of the system: the
// crash handler, the message receiver and the monitor's debug-mode event. Each is one call
// here, so start-up keeps its order while those parts are filled in.
#pragma once

#include <functional>

// Installs the fatal-signal handlers that write the crash report.
void installCrashHandler();

// Starts the inter-process message receiver with `finalFunction` as its final function
// (run on the receiver's thread for "TessarollInstruction_Suicide" or a session end).
void startMessageReceiver(std::function<void()> finalFunction);

// Opens the monitor's debug-mode event. False when there is none (no monitor runs).
bool openDebugModeEvent();
// Waits without time limit for the next pulse of the event; false when the wait failed.
bool waitDebugModeEvent();
// The error code of the last failed open, for the start-up log.
int debugModeEventError();
