#include "CardComponent/FileAccess.h"

#include "CardComponent/CardEngine.h"
#include "CardComponent/CardErrors.h"
#include "CardComponent/Limits.h"
#include "TessarollUtil/Log.h"
#include "platform/Folders.h"
#include "platform/Random.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

namespace card {

namespace fs = std::filesystem;

namespace {

struct Folder {
    fs::path given;  // as configured, lexically normal
    fs::path real;   // resolved
};

// A path inside a folder: the folder and the parts below it ("." for the folder itself).
struct Inside {
    const Folder* folder;
    fs::path below;
};

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Absolute, no "..", no NUL: the only paths worth resolving.
std::optional<fs::path> plainAbsolute(const std::string& text) {
    if (text.empty() || text.front() != '/' || text.find('\0') != std::string::npos)
        return std::nullopt;
    fs::path path(text);
    for (const auto& part : path)
        if (part == "..") return std::nullopt;
    return path.lexically_normal();
}

std::optional<fs::path> below(const fs::path& path, const fs::path& folder) {
    fs::path rel = path.lexically_relative(folder);
    if (rel.empty() || *rel.begin() == "..") return std::nullopt;
    return rel;
}

bool hasHiddenPart(const fs::path& rel) {
    for (const auto& part : rel) {
        const std::string name = part.string();
        if (name.size() > 1 && name.front() == '.') return true;
    }
    return false;
}

// The home folder itself, "/", or a folder above the home would open every file of the user
// (a deleted download folder is written back as "$HOME/"): such a folder is never allowed.
bool holdsTheHome(const fs::path& real) {
    if (real == real.root_path()) return true;
    std::error_code ec;
    const std::string home = homeFolder();
    if (home.empty()) return false;
    fs::path realHome = fs::canonical(home, ec);
    if (ec) realHome = fs::path(home).lexically_normal();
    return below(realHome, real).has_value();  // the home, or a folder above it
}

void warnIgnored(const fs::path& folder) {
    static std::mutex lock;
    static std::set<std::string> warned;  // once per folder, not on every call
    std::lock_guard guard(lock);
    if (!warned.insert(folder.string()).second) return;
    setLog(kComponentLogName);
    writeWarningLog("Allowed folder ignored, it holds the home folder: ", folder.string());
}

std::vector<Folder> existingAllowedFolders() {
    std::vector<Folder> folders;
    for (const std::string& configured : allowedFolders()) {
        auto given = plainAbsolute(configured);
        std::error_code ec;
        if (!given) continue;
        fs::path real = fs::canonical(*given, ec);
        if (ec || !fs::is_directory(real, ec)) continue;
        if (holdsTheHome(real)) {
            warnIgnored(*given);
            continue;
        }
        folders.push_back({*given, real});
    }
    return folders;
}

// The allowed folder a path lies in as written (its configured or its resolved name).
std::optional<Inside> lexicallyInside(const fs::path& path, const std::vector<Folder>& folders) {
    for (const Folder& folder : folders)
        for (const fs::path* name : {&folder.given, &folder.real})
            if (auto rel = below(path, *name)) return Inside{&folder, *rel};
    return std::nullopt;
}

// A path as written may not pass through a hidden folder, counted from the allowed folder
// it names (the allowed folders themselves may be hidden), or from the root.
bool hiddenAsWritten(const fs::path& path, const std::vector<Folder>& folders) {
    auto inside = lexicallyInside(path, folders);
    return hasHiddenPart(inside ? inside->below : path.relative_path());
}

// The allowed folder a resolved path lies in, with no hidden part below it.
std::optional<Inside> resolvedInside(const fs::path& real, const std::vector<Folder>& folders) {
    for (const Folder& folder : folders)
        if (auto rel = below(real, folder.real); rel && !hasHiddenPart(*rel))
            return Inside{&folder, *rel};
    return std::nullopt;
}

HResult errorOfOpen(int error) {
    return error == ENOENT ? kFileNotFound : kAccessDenied;  // ELOOP, ENOTDIR: a link on the way
}

// Opens the folder `rel` below `folder` one part at a time, never following a link.
Descriptor openFolderBelow(const fs::path& folder, const fs::path& rel) {
    Descriptor at(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (at.get() < 0) fail(kAccessDenied);
    for (const auto& part : rel) {
        if (part == "." || part.empty()) continue;
        Descriptor next(
            ::openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) fail(errorOfOpen(errno));
        at = std::move(next);
    }
    return at;
}

// The size is checked before anything is read; a file that grows meanwhile is cut off at
// the limit and refused all the same.
std::string readAll(int fd, off_t size) {
    if (size < 0 || static_cast<std::size_t>(size) > kFileSizeLimit)
        refuseOverLimit("file bytes", static_cast<std::size_t>(size), kFileSizeLimit);
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size));
    std::array<char, 65536> buffer;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(kAccessDenied);
        if (n == 0) return bytes;
        bytes.append(buffer.data(), static_cast<size_t>(n));
        if (bytes.size() > kFileSizeLimit)
            refuseOverLimit("file bytes", bytes.size(), kFileSizeLimit);
    }
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string temporaryName() {
    std::array<unsigned char, 8> random{};
    if (!fillRandomBytes(random)) fail(kWriteFault);
    std::string name = ".zefagpki-";
    for (unsigned char b : random) name += "0123456789abcdef"[b & 15];
    return name + ".part";
}

}  // namespace

std::string allowedFoldersFile() {
    return configFolder() + "/ZEFAGPKI/allowed-folders";
}

std::vector<std::string> allowedFolders() {
    std::vector<std::string> folders = {downloadFolder(), documentsFolder(),
                                        commonAppDataFolder() + "/ZEFAGPKI/Files"};
    std::ifstream in(allowedFoldersFile());
    const std::string home = homeFolder();
    std::string line;
    while (std::getline(in, line)) {
        line = trimmed(line);
        if (line.empty() || line.front() == '#') continue;
        if (line.starts_with("~/") && !home.empty()) line = home + line.substr(1);
        if (line.front() == '/') folders.push_back(line);
    }
    return folders;
}

std::string readAllowedFile(const std::string& text) {
    if (text.empty()) fail(kInvalidArgument);
    auto path = plainAbsolute(text);
    if (!path) fail(kAccessDenied);
    const auto folders = existingAllowedFolders();
    if (hiddenAsWritten(*path, folders)) fail(kAccessDenied);
    std::error_code ec;
    fs::path real = fs::canonical(*path, ec);
    // Whether a file outside the allowed folders exists is none of the page's business.
    if (ec) fail(lexicallyInside(*path, folders) ? kFileNotFound : kAccessDenied);
    auto inside = resolvedInside(real, folders);
    if (!inside) fail(kAccessDenied);
    Descriptor folder = openFolderBelow(inside->folder->real, inside->below.parent_path());
    // O_NONBLOCK: a FIFO must not hold the method up; it is refused below as no regular file.
    Descriptor file(::openat(folder.get(), real.filename().c_str(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) fail(errorOfOpen(errno));
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) fail(kFileNotFound);
    return readAll(file.get(), status.st_size);
}

FolderUse folderUse(const std::string& text) {
    auto path = plainAbsolute(text);
    if (!path) return FolderUse::Refused;
    const auto folders = existingAllowedFolders();
    if (hiddenAsWritten(*path, folders)) return FolderUse::Refused;
    std::error_code ec;
    fs::path real = fs::canonical(*path, ec);
    if (ec) return lexicallyInside(*path, folders) ? FolderUse::Missing : FolderUse::Refused;
    if (!resolvedInside(real, folders)) return FolderUse::Refused;
    return fs::is_directory(real, ec) ? FolderUse::Allowed : FolderUse::Missing;
}

AllowedOutput::AllowedOutput(const std::string& text) {
    if (text.empty()) fail(kInvalidArgument);
    auto path = plainAbsolute(text);
    if (!path) fail(kAccessDenied);
    name_ = path->filename().string();
    if (name_.empty() || name_.front() == '.') fail(kAccessDenied);
    const auto folders = existingAllowedFolders();
    if (hiddenAsWritten(*path, folders)) fail(kAccessDenied);
    std::error_code ec;
    fs::path real = fs::canonical(path->parent_path(), ec);
    if (ec) fail(lexicallyInside(*path, folders) ? kWriteFault : kAccessDenied);
    auto inside = resolvedInside(real, folders);
    if (!inside) fail(kAccessDenied);
    Descriptor folder = openFolderBelow(inside->folder->real, inside->below);
    struct stat status {};
    if (::fstatat(folder.get(), name_.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(status.st_mode))
        fail(kAccessDenied);
    folder_ = folder.release();
}

AllowedOutput::~AllowedOutput() {
    if (folder_ >= 0) ::close(folder_);
}

void AllowedOutput::write(std::string_view bytes) {
    std::string temporary;
    Descriptor file;
    for (int tries = 0; tries < 8 && file.get() < 0; ++tries) {
        temporary = temporaryName();
        file = Descriptor(::openat(folder_, temporary.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (file.get() < 0 && errno != EEXIST) break;
    }
    if (file.get() < 0) fail(kWriteFault);
    bool written = writeAll(file.get(), bytes) && ::close(file.release()) == 0 &&
                   ::renameat(folder_, temporary.c_str(), folder_, name_.c_str()) == 0;
    if (!written) {
        ::unlinkat(folder_, temporary.c_str(), 0);
        fail(kWriteFault);
    }
}

}  // namespace card
