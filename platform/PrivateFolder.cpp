#include "platform/PrivateFolder.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/User.h"

namespace {

std::string ownerText(uid_t uid) {
    std::string text = "uid " + std::to_string(uid);
    if (auto name = userNameOf(uid)) text += " (" + *name + ")";
    return text;
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The runtime folder the login gave us, when it is a folder of ours that others cannot
// write. It may be a link (some systems link it elsewhere); what it names is checked.
std::optional<std::string> runtimeFolder(std::vector<std::string>* refused) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return std::nullopt;
    struct stat st {};
    if (::stat(runtime, &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    if (st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        if (refused)
            refused->push_back(std::string(runtime) + " belongs to " + ownerText(st.st_uid) +
                               ", mode " + modeText(st.st_mode) + ": not used");
        return std::nullopt;
    }
    return std::string(runtime);
}

}  // namespace

bool ensurePrivateFolder(const std::string& path, std::string* refusal) {
    if (path.empty()) return false;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        if (refusal) {
            *refusal = path + (S_ISDIR(st.st_mode) ? " belongs to " : " is not a folder, owner ") +
                       ownerText(st.st_uid) + ", mode " + modeText(st.st_mode) + ": not used";
        }
        return false;
    }
    // Ours, but opened up (made by hand, or by a wider umask before): close it again.
    return (st.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

std::string userObjectFolder(std::vector<std::string>* refused) {
    if (auto runtime = runtimeFolder(refused)) return *runtime;
    const std::string uid = std::to_string(::geteuid());
    const std::string runUser = "/run/user/" + uid;
    std::vector<std::string> places{"/dev/shm/tessaroll-u" + uid, runUser};
    const char* home = std::getenv("HOME");
    const std::string cache = home && *home == '/' ? std::string(home) + "/.cache" : "";
    if (!cache.empty()) places.push_back(cache + "/tessaroll-u" + uid);
    for (const std::string& place : places) {
        // /run/user/<uid> is the login manager's to make; it is used only when it is there.
        if (place == runUser && ::access(place.c_str(), F_OK) != 0) continue;
        if (!cache.empty() && place.starts_with(cache))
            ::mkdir(cache.c_str(), 0700);  // the folder inside is checked, not this one
        std::string refusal;
        if (ensurePrivateFolder(place, &refusal)) return place;
        if (refused && !refusal.empty()) refused->push_back(refusal);
    }
    return {};
}

std::string userObjectSubfolder(std::string_view name, std::vector<std::string>* refused) {
    std::string base = userObjectFolder(refused);
    if (base.empty()) return {};
    std::string folder = base + "/" + std::string(name);
    std::string refusal;
    if (ensurePrivateFolder(folder, &refusal)) return folder;
    if (refused && !refusal.empty()) refused->push_back(refusal);
    return {};
}
