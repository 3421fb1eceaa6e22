#include "TessarollUtil/System.h"

#include <unistd.h>
#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Text.h"
#include "platform/Files.h"
#include "platform/Folders.h"
#include "platform/OsVersion.h"
#include "platform/Ports.h"
#include "platform/PrivateFolder.h"
#include "platform/Random.h"
#include "platform/User.h"

std::string copyPath;
std::string logIniPath;

namespace {

constexpr std::size_t kPathBuffer = 260;  // the path buffers of the copy folder
constexpr std::size_t kMutexNameBuffer = 512;
constexpr std::size_t kIniPathBuffer = 512;
constexpr std::time_t kTimeValueEpoch = 1420070400;  // 2015-01-01 00:00:00 UTC

// The version bits in the order getOSName tests them.
struct OsBit {
    uint32_t bit;
    const char* name;
};
constexpr std::array<OsBit, 17> kOsBits{{
    {0x1, "WindowsXP"},
    {0x2, "WindowsXPx64"},
    {0x4, "WindowsServer2003"},
    {0x8, "WindowsHomeServer"},
    {0x10, "WindowsServer2003R2"},
    {0x20, "WindowsVista"},
    {0x40, "WindowsServer2008"},
    {0x80, "WindowsServer2008R2"},
    {0x100, "Windows7"},
    {0x200, "WindowsServer2012"},
    {0x400, "Windows8"},
    {0x800, "WindowsServer2012R2"},
    {0x1000, "Windows8.1"},
    {0x2000, "WindowsServer2016"},
    {0x4000, "Windows10"},
    {0x8000, "Windows11"},
    {kOsLinux, "Linux"},
}};

// What a text-mode read makes of a file: CR LF becomes LF, and a zero byte cuts the piece
// (a line, or 511 bytes of a longer one) it stands in.
std::string asReadInTextMode(const std::string& raw) {
    std::string text = replaceAll(raw, "\r\n", "\n");
    if (text.find('\0') == std::string::npos) return text;
    std::string out;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t pieceEnd = std::min(text.size(), position + 511);
        std::size_t lineEnd = text.find('\n', position);
        if (lineEnd != std::string::npos && lineEnd < pieceEnd) pieceEnd = lineEnd + 1;
        std::string_view piece(text.data() + position, pieceEnd - position);
        out.append(piece.substr(0, piece.find('\0')));
        position = pieceEnd;
    }
    return out;
}

}  // namespace

// ---- folders --------------------------------------------------------------------------

std::string getUserTempPath() {
    return userTempFolder();
}

std::string getCopyPath(std::string_view subfolder) {
    std::string path = commonAppDataFolder();
    if (path.empty()) {
        writeErrorLog("Get copy path: ", "Fail");
        return {};
    }
    if (!subfolder.empty()) {
        if (path.back() != '/') path += '/';
        path += subfolder;
    }
    path = cutToBuffer(path, kPathBuffer);
    copyPath = path;
    return path;
}

std::optional<std::string> getModuleFolder() {
    return moduleFolder();
}

// ---- the per-user mutex ---------------------------------------------------------------

namespace {

// What the user's mutexes are named after: the login name, else (a uid without a password
// entry, as in containers) the uid, which every program of that uid agrees on whatever its
// environment says.
const std::string& mutexOwnerName() {
    static const std::string name = currentUserName().value_or(std::to_string(geteuid()));
    return name;
}

// Said once per program, as soon as it logs: the name the mutexes go by when the user has
// none, and the places passed over for the user's objects because another user made them.
void reportUserObjectPlaces() {
    static std::atomic<bool> reported{false};
    if (!isLogOn() || reported.exchange(true)) return;
    if (!currentUserName()) {
        writeWarningLog("No user name for uid " + std::to_string(geteuid()) +
                            ", the per-user mutexes are named after the uid: ",
                        mutexOwnerName());
    }
    std::vector<std::string> refused;
    userObjectFolder(&refused);
    for (const std::string& line : refused) writeErrorLog("Refuse folder: ", line);
}

}  // namespace

std::unique_ptr<NamedMutex> openUserMutex(std::string_view name) {
    reportUserObjectPlaces();
    std::string fullName =
        cutToBuffer(mutexOwnerName() + "_" + std::string(name), kMutexNameBuffer);
    std::string whyNot;
    auto mutex = NamedMutex::create(fullName, &whyNot);
    if (!mutex && !whyNot.empty()) {
        writeErrorLog("Refuse named mutex: ", whyNot);
    } else if (!mutex) {
        TESSAROLL_ALLOCATION_FAILURE();
    }
    return mutex;
}

std::unique_ptr<NamedMutex> lockUserMutex(std::string_view name, uint32_t waitMilliseconds) {
    auto mutex = openUserMutex(name);
    if (!mutex) return nullptr;
    switch (mutex->wait(waitMilliseconds)) {
        case MutexWait::Obtained:
        case MutexWait::Abandoned:
            // An owner that ended holding it (a watchdog ended by its instruction, a
            // killed program) leaves it to the next one: taken over, and no signal.
            return mutex;
        case MutexWait::TimedOut:
        case MutexWait::Failed: break;
    }
    return nullptr;
}

// ---- files ----------------------------------------------------------------------------

bool fileExists(std::string_view path) {
    return fileExistsOnDisk(path);
}

std::optional<std::string> readTextFile(std::string_view path) {
    auto raw = readWholeFile(path);
    if (!raw) {
        writeWarningLog("Read file pointer is null", "");
        return std::nullopt;
    }
    std::string text = asReadInTextMode(*raw);
    if (text.empty()) return std::nullopt;
    return text;
}

bool writeTextFile(std::string_view path, std::string_view text) {
    if (path.empty()) return false;
    return writeWholeFile(path, text);
}

// ---- ports, time, random, version ------------------------------------------------------

bool isPortInUse(int port, bool ipv6) {
    if (port < 0 || port > 0xFFFF) return false;
    return isLoopbackPortInUse(static_cast<uint16_t>(port), ipv6);
}

int64_t getTimeValueAt(std::time_t when) {
    return static_cast<int64_t>(when) - kTimeValueEpoch;
}

int64_t getTimeValue() {
    std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1)) return 0;
    return getTimeValueAt(now);
}

std::string getTimeValueHex() {
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(getTimeValue()));
    return text;
}

bool generateRandomBytes(std::span<unsigned char> buffer) {
    return fillRandomBytes(buffer);
}

bool generateRandomBytes(void* buffer, std::size_t length) {
    if (!buffer) return length == 0;
    return fillRandomBytes(std::span(static_cast<unsigned char*>(buffer), length));
}

bool generateRandomBytes8(std::span<unsigned char, 8> buffer) {
    return fillRandomBytes(buffer);
}

uint32_t getOSVersion() {
    return hostOsVersionMask();
}

std::string getOSName(uint32_t mask) {
    for (const auto& entry : kOsBits) {
        if (mask & entry.bit) return entry.name;
    }
    return "UnknowOS";
}

std::string getOSName() {
    static const uint32_t mask = getOSVersion();
    return getOSName(mask);
}

// ---- the monitor's own ----------------------------------------------------------------

std::string makeInstanceId() {
    static constexpr std::string_view kCharacters = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::array<unsigned char, 8> bytes{};
    if (!generateRandomBytes8(bytes)) bytes.fill(0);
    std::string id;
    for (unsigned char byte : bytes) id.push_back(kCharacters[byte % kCharacters.size()]);
    return id + "_SID";
}

std::string getTimeTextAt(std::time_t when) {
    std::tm local{};
    if (!localtime_r(&when, &local)) return "Unknow time";
    auto two = [](int value) { return padLeft(std::to_string(value), 2, '0'); };
    char text[64];
    std::snprintf(text, sizeof text, "%d-%s-%s %s-%s-%s", local.tm_year + 1900,
                  two(local.tm_mon + 1).c_str(), two(local.tm_mday).c_str(),
                  two(local.tm_hour).c_str(), two(local.tm_min).c_str(), two(local.tm_sec).c_str());
    return text;
}

std::string getTimeText() {
    return getTimeTextAt(std::time(nullptr));
}

std::optional<std::string> getDesktopPath() {
    std::string folder = desktopFolder();
    if (folder.empty()) return std::nullopt;
    return folder;
}

bool createPathFolders() {
    std::string path = cutToBuffer(logIniPath, kIniPathBuffer);
    for (std::size_t i = 0; i < path.size(); ++i) {
        if ((path[i] == '/' || path[i] == '\\') && i > 0) makeFolder(path.substr(0, i));
    }
    return true;
}
