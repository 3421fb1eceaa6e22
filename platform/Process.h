// Starting, finding and ending other programs. Command lines are single texts as the
// programs pass them around; they are split into words here.
#pragma once

#include <sys/types.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Splits a command line into words: blanks separate, double quotes group (and are
// dropped), a backslash before a double quote keeps the quote.
std::vector<std::string> splitCommandLine(std::string_view commandLine);

// Where a program named on a command line lives: a name with a "/" is used as it is; a
// bare name ("X.exe" or "X") is looked for in the folder of the running program first and
// then along PATH. Empty when it is found nowhere.
std::string findProgram(std::string_view name);

// Starts the command line without a terminal of its own, standard input from /dev/null.
// A command line that begins with "cmd /c" runs the rest through /bin/sh -c.
// Nothing when the program cannot be started.
std::optional<pid_t> startHiddenProcess(std::string_view commandLine);
// Waits for a started program to end: its exit code, or 128 + the signal that ended it;
// 0 when it cannot be waited for.
int waitForProcess(pid_t pid);
// Lets a started program run on; it is reaped when it ends.
void detachProcess(pid_t pid);

// Processes of the calling user (and of its login session, where that is known) whose
// executable has `imageName` as base name; ".exe" names map to our executables. The own
// process is included when it matches.
std::vector<pid_t> findProcessesByName(std::string_view imageName, bool ignoreCase);
// Ends a process at once (SIGKILL). False when it could not be signalled.
bool killProcess(pid_t pid);
