// The start-up steps of the main program that belong to other parts of the system: the
// crash handler and the message receiver. Each is one call here, so start-up keeps its
// order while those parts are filled in.
#pragma once

#include <functional>

// Installs the fatal-signal handlers that write the crash report.
void installCrashHandler();

// Starts the inter-process message receiver with `finalFunction` as its final function
// (run on the receiver's thread for "TessarollInstruction_Suicide" or a session end).
void startMessageReceiver(std::function<void()> finalFunction);
