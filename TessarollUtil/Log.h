// The log front-end through which every program logs: "[prefix][Normal] message value".
#pragma once

#include <cstdint>
#include <optional>
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
// The same writers for C texts: a null message or value is written as an empty text.
void writeNormalLog(const char* message, const char* value);
void writeErrorLog(const char* message, const char* value);
void writeWarningLog(const char* message, const char* value);

// Monitor and worker: logs `text` followed by `wideValue` converted to the library's code
// page (an empty value when it cannot be converted). writeNormalLogW ends here.
void logWideText(std::string_view text, std::u16string_view wideValue);

void disableLog();
bool isLogOn();

// Appends `text` to a wide buffer of 512 characters: cut to the room left (at most 511
// characters in all); a null text changes nothing.
void appendWideText(std::u16string& buffer, const char16_t* text);
// Monitor: every occurrence of `pattern` in `text` replaced by `replacement`, worked on in
// the library's code page. Nothing when the result cannot be allocated.
std::optional<std::u16string> replaceAllW(std::u16string_view pattern, std::u16string_view text,
                                          std::u16string_view replacement);

// "Parameter %s is null at %s %d" as a warning line.
void logNullParameter(const char* name, const char* file, int line);
// "Memory allocate fail at file: " / "Memory allocate fail at line: " as two error lines.
void logAllocationFailure(const char* file, int line);

// Tests only: logging off, prefixes cleared (see also resetLoggerForTests).
void resetLogForTests();

#define TESSAROLL_NULL_PARAMETER(name) logNullParameter((name), __FILE__, __LINE__)
#define TESSAROLL_ALLOCATION_FAILURE() logAllocationFailure(__FILE__, __LINE__)
