// The log front-end through which every program logs: "[prefix][Normal] message value".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Main program form: starts the logger from the shared ini file with `prefix`. Returns
// whether logging is on afterwards; true at once when it already is. Null prefix: false.
bool setLog(const char* prefix);
// Monitor and worker form: the prefix is the program prefix set at start.
bool setLog();
void setProgramPrefix(std::string_view prefix);  // "TessarollMonitor-<id>", "TessarollWorker-<id>"
const std::string& programPrefix();

void writeNormalLog(std::string_view message, std::string_view value);
void writeErrorLog(std::string_view message, std::string_view value);
void writeWarningLog(std::string_view message, std::string_view value);
void writeNormalLogInt(std::string_view message, int32_t number);
void writeErrorLogInt(std::string_view message, int32_t number);
void writeWarningLogInt(std::string_view message, int32_t number);
void writeNormalLogW(std::string_view message, std::u16string_view wideValue);

void disableLog();
bool isLogOn();

// "Parameter %s is null at %s %d" as a warning line.
void logNullParameter(const char* name, const char* file, int line);
// "Memory allocate fail at file: " / "Memory allocate fail at line: " as two error lines.
void logAllocationFailure(const char* file, int line);

#define TESSAROLL_NULL_PARAMETER(name) logNullParameter((name), __FILE__, __LINE__)
#define TESSAROLL_ALLOCATION_FAILURE() logAllocationFailure(__FILE__, __LINE__)
