#include "platform/Folders.h"

#include "platform/PrivateFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool endsWithNoCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    auto tail = text.substr(text.size() - suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(tail[i])) !=
            std::tolower(static_cast<unsigned char>(suffix[i])))
            return false;
    }
    return true;
}

// A line such as XDG_DESKTOP_DIR="$HOME/Desktop" of user-dirs.dirs, with $HOME expanded.
std::optional<std::string> fromUserDirs(const std::string& home, const std::string& name) {
    std::string configHome = configFolder();
    if (configHome.empty()) return std::nullopt;
    std::ifstream in(configHome + "/user-dirs.dirs");
    std::string line;
    const std::string key = name + "=";
    while (std::getline(in, line)) {
        auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        std::string value = line.substr(start + key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) {
            if (home.empty()) return std::nullopt;
            value = home + value.substr(5);
        }
        if (value.empty() || value.front() != '/') return std::nullopt;
        return withoutTrailingSlash(value);
    }
    return std::nullopt;
}

// One field of the password entry of `uid`; nothing when there is no entry (a uid need not
// have one) or the field is empty.
std::optional<std::string> passwordField(uid_t uid, char* passwd::*field) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !(found->*field) || !*(found->*field))
        return std::nullopt;
    return std::string(found->*field);
}

// The runtime folder serves as the temporary folder only when it is a real folder of the
// user's that nobody else may enter.
bool isPrivateRuntimeFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

// Said once per process: another user holds the folder name the programs would use.
void warnForeignTempFolder(const std::string& refusal, const std::string& instead) {
    static std::atomic<bool> warned{false};
    if (warned.exchange(true)) return;
    const std::string outcome =
        instead.empty() ? "no temporary folder is left" : "using " + instead + " instead";
    std::fprintf(stderr, "Warning: temporary folder %s; %s\n", refusal.c_str(), outcome.c_str());
}

// "tessaroll-tmp" in the user's cache folder, made private; empty without a home.
std::string cacheTempFolder() {
    std::string cache = withoutTrailingSlash(environmentValue("XDG_CACHE_HOME").value_or(""));
    if (cache.empty()) {
        std::string home = homeFolder();
        if (home.empty()) return {};
        cache = home + "/.cache";
    }
    ::mkdir(cache.c_str(), 0700);
    std::string folder = cache + "/tessaroll-tmp";
    return ensurePrivateFolder(folder) ? folder + "/" : std::string();
}

}  // namespace

std::string homeFolder() {
    if (auto home = environmentValue("HOME")) return withoutTrailingSlash(*home);
    if (auto home = passwordField(geteuid(), &passwd::pw_dir)) return withoutTrailingSlash(*home);
    return {};
}

std::string configFolder() {
    if (auto config = environmentValue("XDG_CONFIG_HOME")) return withoutTrailingSlash(*config);
    std::string home = homeFolder();
    if (home.empty()) return {};
    return home + "/.config";
}

std::string commonAppDataFolder() {
    if (auto data = environmentValue("XDG_DATA_HOME")) return withoutTrailingSlash(*data);
    std::string home = homeFolder();
    if (home.empty()) return {};
    return home + "/.local/share";
}

std::string windowsFolder() {
    return withoutTrailingSlash(environmentValue("TESSAROLL_WINDOWS_DIR").value_or("/etc"));
}

std::string userTempFolder() {
    if (auto chosen = environmentValue("TMPDIR")) {
        std::string folder = withoutTrailingSlash(*chosen);
        if (folder.back() != '/') folder += '/';
        return folder;
    }
    // The shared temporary folder is everybody's: the user's files go into a folder of
    // their own, which the runtime folder already is when it is private.
    if (auto runtime = environmentValue("XDG_RUNTIME_DIR")) {
        std::string folder = withoutTrailingSlash(*runtime);
        if (isPrivateRuntimeFolder(folder)) return folder == "/" ? folder : folder + "/";
    }
    const std::string shared =
        withoutTrailingSlash(environmentValue("TESSAROLL_SHARED_TEMP_DIR").value_or("/tmp"));
    const std::string own =
        (shared == "/" ? "" : shared) + "/tessaroll-tmp-" + std::to_string(::geteuid());
    std::string refusal;
    if (ensurePrivateFolder(own, &refusal)) return own + "/";
    std::string instead = cacheTempFolder();
    if (!refusal.empty()) warnForeignTempFolder(refusal, instead);
    return instead;
}

// $<name>, else <name> of user-dirs.dirs, else $HOME/<fallback>.
static std::string userFolder(const char* name, const char* fallback) {
    if (auto folder = environmentValue(name)) return withoutTrailingSlash(*folder);
    std::string home = homeFolder();
    if (auto folder = fromUserDirs(home, name)) return *folder;
    if (home.empty()) return {};
    return home + "/" + fallback;
}

std::string desktopFolder() {
    return userFolder("XDG_DESKTOP_DIR", "Desktop");
}
std::string downloadFolder() {
    return userFolder("XDG_DOWNLOAD_DIR", "Downloads");
}
std::string documentsFolder() {
    return userFolder("XDG_DOCUMENTS_DIR", "Documents");
}

std::string defaultLogFilePath() {
    std::string folder = userTempFolder();
    return folder.empty() ? folder : folder + "VZLog.log";
}

std::optional<std::string> moduleFolder() {
    std::string buffer(4096, '\0');
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(length));
    auto slash = buffer.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    if (slash == 0) return std::string("/");
    buffer.resize(slash);
    return buffer;
}

std::string diskFileName(std::string_view windowsName) {
    std::string name(windowsName);
    if (endsWithNoCase(name, ".exe")) {
        name.resize(name.size() - 4);
    } else if (endsWithNoCase(name, ".dll")) {
        name.resize(name.size() - 4);
        name += ".so";
    }
    return name;
}
