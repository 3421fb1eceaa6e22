// Starting other programs without a terminal, testing whether a program runs, and ending
// a program by its name: asked politely first, then by force.
#pragma once

#include <memory>

#include "platform/NamedMutex.h"

// Runs the command (through /bin/sh -c when `useCmd`, as "cmd /c" did) and waits for it:
// its exit code; 1 for a null command; 0 when it could not be started.
int runHiddenAndWait(const char* command, bool useCmd);
// Starts the command and returns at once.
void hideNOWaitCommand(const char* command);
// True when a process of the user's with that executable name runs ("X.exe" finds our
// program "X"), letter case ignored. False for a null name.
bool isProcessRunning(const char* imageName);

// Who is ending a program: the log tag and the sender of the instruction differ.
enum class ProgramForm { Worker, Monitor };
// Sends "TessarollInstruction_Suicide" to the channel of that name, kills what still runs
// of it among the user's own processes, waits up to 3 s, escalates once more if needed and logs the
// shutdown state. True when no such process runs at the end (also for a null name).
bool killProcessByName(const char* imageName, ProgramForm form = ProgramForm::Worker);

// Releases and drops a mutex taken with lockUserMutex; null is fine.
void unlockUserMutex(std::unique_ptr<NamedMutex>& handle);
