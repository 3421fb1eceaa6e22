// Fatal signals: a filter that runs once on an alternate stack when the process crashes,
// and the crash report written from inside it. After the filter the signal's default
// action runs, so the kernel's own crash handling (core dump, exit status) goes on.
#pragma once

#include <csignal>

struct CrashContext {
    int signal = 0;
    const siginfo_t* info = nullptr;
    const void* ucontext = nullptr;  // ucontext_t of the interrupted thread
};

using CrashFilter = void (*)(const CrashContext& context);

// Installs the filter for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP and SIGSYS, and
// gives the calling thread an alternate signal stack, so that a stack overflow there is
// reported too. The previous handlers are dropped. False when a handler could not be set.
bool installCrashSignalHandlers(CrashFilter filter);

// Writes the report of one crash: signal, fault address, process and thread, registers,
// backtrace and memory map. Uses only async-signal-safe calls. Null context: the header
// and the process's state without signal details.
void writeCrashReport(int fd, const CrashContext* context);

// Opens a report file for writing (created or emptied, mode 0600); -1 on failure and for
// a link or a file that is not our own. Async-signal-safe.
int createCrashReportFile(const char* path);
