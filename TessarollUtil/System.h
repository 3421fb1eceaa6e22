// System helpers: standard folders, the per-user mutex used as a lock and as a signal
// between the programs, files, the loopback port probe, the time value of the signed
// messages, random bytes and the version bitmask; and the monitor's own (instance id,
// time text, desktop folder, folder creation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/NamedMutex.h"

// ---- folders --------------------------------------------------------------------------

// The user's temporary folder with its closing "/".
std::string getUserTempPath();
// The common application-data folder plus `subfolder` (none when empty), cut to 259
// bytes; also stored in copyPath. Empty (and copyPath left alone) when the folder
// cannot be had.
std::string getCopyPath(std::string_view subfolder);
// Process-wide: set by getCopyPath at start-up, before other threads read it.
extern std::string copyPath;
// The folder of the running program, without its last "/".
std::optional<std::string> getModuleFolder();

// ---- the per-user mutex ---------------------------------------------------------------

// Opens (creating it when needed) the mutex "<user name>_<name>" without taking it; null,
// logged, when it cannot be had or is not our own.
std::unique_ptr<NamedMutex> openUserMutex(std::string_view name);
// Takes the mutex "<user name>_<name>", waiting at most `waitMilliseconds` (0: try-lock).
// The owned mutex (also when its previous owner ended holding it: it is taken over), or
// null when another thread or process holds it, or on failure. Never leaves the mutex
// owned when it returns null. The caller ends the lock with release() and dropping the
// pointer.
std::unique_ptr<NamedMutex> lockUserMutex(std::string_view name, uint32_t waitMilliseconds);

// ---- files ----------------------------------------------------------------------------

// True for a regular file; false for a folder or a missing path.
bool fileExists(std::string_view path);
// The whole file as text; nothing when it cannot be opened or is empty.
std::optional<std::string> readTextFile(std::string_view path);
// Replaces the file's content with the text; false for an empty path or an open failure.
bool writeTextFile(std::string_view path, std::string_view text);

// ---- ports, time, random, version ------------------------------------------------------

// True when the loopback address (127.0.0.1, or [::1] with `ipv6`) and port appear as a
// listening or connected socket; false when that cannot be told.
bool isPortInUse(int port, bool ipv6);

// Seconds since 2015-01-01 00:00:00 UTC: rises by one every second, across month and
// year ends. 0 when the clock cannot be read.
int64_t getTimeValue();
int64_t getTimeValueAt(std::time_t when);
// getTimeValue() as "%llx".
std::string getTimeValueHex();

// True when the whole buffer was filled.
bool generateRandomBytes(std::span<unsigned char> buffer);
bool generateRandomBytes(void* buffer, std::size_t length);
// The monitor's form: always 8 bytes.
bool generateRandomBytes8(std::span<unsigned char, 8> buffer);

// The version bitmask: on this system kOsLinux plus the architecture bit (platform/OsVersion.h).
uint32_t getOSVersion();
// The name of the first version bit set, from 0x1 upwards: "WindowsXP" ... "Windows11",
// "Linux"; "UnknowOS" when none is.
std::string getOSName(uint32_t mask);
// The monitor's form: the name for this process's own bitmask.
std::string getOSName();

// ---- the monitor's own ----------------------------------------------------------------

// 8 characters of "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ" from random bytes, then "_SID".
std::string makeInstanceId();
// Local time as "2024-03-05 09-07-02"; "Unknow time" when it cannot be had.
std::string getTimeText();
std::string getTimeTextAt(std::time_t when);
// The desktop folder; nothing when it cannot be had.
std::optional<std::string> getDesktopPath();
// The monitor's debug log ini path (at most 511 bytes), filled by the monitor.
extern std::string logIniPath;
// Creates every folder along logIniPath up to its last separator; errors are ignored.
// Always true.
bool createPathFolders();
