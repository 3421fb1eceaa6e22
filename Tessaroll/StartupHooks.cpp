#include "Tessaroll/StartupHooks.h"

// These bodies do nothing yet: the crash handler, the message receiver and the debug-mode
// event are built with their own parts and take these call sites over. Until then the
// service ends through SIGTERM/SIGINT (see Main.cpp) and logs with the settings found at
// start-up.

void installCrashHandler() {}

void startMessageReceiver(void (*)()) {}

bool openDebugModeEvent() { return false; }

bool waitDebugModeEvent() { return false; }

int debugModeEventError() { return 0; }
