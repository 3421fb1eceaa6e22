// Raises windows that the card component opens during one adapter call above all others.
// Started right before the call and stopped right after it.
#pragma once

#include <cstdint>

// Watches the windows of `processId`, or of every process when `allProcesses` is set.
void startTopmostWatcher(uint32_t processId, bool allProcesses);
void stopTopmostWatcher();
