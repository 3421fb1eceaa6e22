// The bottom layer of all logging: settings from the shared ini file, dated and rotated
// log files, one time-stamped line per call, serialised across processes by "Global\VZLog".
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

// Reads "Log File", "Log MaxSize" and "Log Level" from the [ZEFAGPKITessaroll] section of
// `iniName` (a path, or a bare name searched in the Windows folder, the home folder and the
// temporary folder). Returns -1 when logging is already enabled, else the status of reading
// "Log Level" (0: logging is on).
int initLog(const char* iniName);

// Status codes of readLogIniValue.
enum LogIniStatus : int {
    kLogIniFound = 0,
    kLogIniCannotOpen = 101,
    kLogIniNoSection = 102,
    kLogIniNoKey = 103,
    kLogIniTooLong = 104,
};
// Reads only an ini that iniFileIsTrusted accepts; any other cannot be opened.
int readLogIniValue(const char* key, char* buffer, int size, const char* iniPath);
// True when `path` is an ini the programs may take settings from: a regular file of this
// user's or root's that nobody else may write. Any other that is there is named once per
// process in a warning line on standard error.
bool iniFileIsTrusted(const char* path);

// 0 when written, -2 when `level` is above the configured level.
int logPrint(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Appends one line; no filter and no lock (the caller does both). Control characters of
// the text are written as visible escapes ("\n", "\t", "\x1b"), so that nothing logged
// can begin a line of its own. A log file is only written when it is a regular file of
// this user's; one that is not is named once in a warning line on standard error.
void writeLogLine(int level, const char* format, va_list args);
// Turns the logger off (used by disableLog): clears `enabled`, sets the level to 0 and
// opens the log mutex again.
void resetLogger();
// The configured level, for callers that filter before formatting (the server library's logger).
int32_t currentLogLevel();
// The current log file name (date, and rotation index once a file passed "Log MaxSize") and
// the time stamp of the line about to be written.
void buildLogFileName(std::string& fileName, std::string& timeStamp);
// Tests only: back to the state of a fresh process (off, no settings, rotation index 0).
void resetLoggerForTests();
// Frees the settings and the handle of "Global\VZLog", for a plug-in copy that is being
// unloaded; no other thread of the copy may log any more. Programs never call it.
void releaseLogger();
// Holds "Global\VZLog" for callers of writeLogLine.
class LogMutexLock {
public:
    LogMutexLock();
    ~LogMutexLock();
    LogMutexLock(const LogMutexLock&) = delete;
    LogMutexLock& operator=(const LogMutexLock&) = delete;

private:
    bool held_ = false;
};
