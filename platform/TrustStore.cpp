#include "platform/TrustStore.h"

#include "platform/Folders.h"
#include "platform/Process.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict Base64: white space is skipped, padding only at the end, nothing else allowed.
std::optional<std::vector<unsigned char>> decodeBase64(std::string_view body) {
    std::vector<unsigned char> out;
    uint32_t bits = 0;
    int count = 0;
    int padding = 0;
    for (unsigned char c : body) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        int value = base64Value(c);
        if (value < 0 || padding > 0) return std::nullopt;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            out.push_back(static_cast<unsigned char>(bits >> 16));
            out.push_back(static_cast<unsigned char>(bits >> 8));
            out.push_back(static_cast<unsigned char>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 1 || (padding != 0 && count + padding != 4)) return std::nullopt;
    if (count == 2) out.push_back(static_cast<unsigned char>(bits >> 4));
    if (count == 3) {
        out.push_back(static_cast<unsigned char>(bits >> 10));
        out.push_back(static_cast<unsigned char>(bits >> 2));
    }
    return out;
}

// True when the bytes are exactly one DER SEQUENCE (a certificate's outer shape).
bool isOneDerSequence(const std::vector<unsigned char>& der) {
    if (der.size() < 2 || der[0] != 0x30) return false;
    std::size_t length = der[1];
    std::size_t header = 2;
    if (length & 0x80) {
        std::size_t octets = length & 0x7F;
        if (octets == 0 || octets > 4 || der.size() < 2 + octets) return false;
        length = 0;
        for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | der[2 + i];
        header += octets;
    }
    return header + length == der.size();
}

// Runs a program with its arguments, standard input and output on /dev/null; its exit
// status, 128 + signal, or -1 when it could not be started.
int runProgram(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// The programs look a certificate up by file; this one lives only as long as the add.
class TemporaryCertificateFile {
public:
    explicit TemporaryCertificateFile(std::span<const unsigned char> der) {
        std::string pattern = userTempFolder() + "tessaroll-root-XXXXXX";
        if (!::mkdtemp(pattern.data())) return;
        folder_ = pattern;
        path_ = folder_ + "/root.der";
        std::ofstream out(path_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
        if (!out) path_.clear();
    }
    ~TemporaryCertificateFile() {
        std::error_code ignored;
        if (!folder_.empty()) fs::remove_all(folder_, ignored);
    }
    TemporaryCertificateFile(const TemporaryCertificateFile&) = delete;
    TemporaryCertificateFile& operator=(const TemporaryCertificateFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string folder_;
    std::string path_;
};

int failureOf(int status) { return status < 0 ? ECHILD : status; }

}  // namespace

std::optional<std::vector<unsigned char>> decodeCertificateText(std::string_view text, int& error) {
    constexpr std::string_view begin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view end = "-----END CERTIFICATE-----";
    std::string_view body = text;
    if (std::size_t at = body.find(begin); at != std::string_view::npos) {
        body.remove_prefix(at + begin.size());
        std::size_t stop = body.find(end);
        if (stop == std::string_view::npos) {
            error = EINVAL;
            return std::nullopt;
        }
        body = body.substr(0, stop);
    }
    auto der = decodeBase64(body);
    if (!der || der->empty()) {
        error = EINVAL;
        return std::nullopt;
    }
    if (!isOneDerSequence(*der)) {
        error = EBADMSG;
        return std::nullopt;
    }
    error = 0;
    return der;
}

std::string RootStore::nssDatabaseFolder() { return homeFolder() + "/.pki/nssdb"; }

std::string RootStore::nickname(std::span<const unsigned char> der) {
    // FNV-1a over the DER: stable, and tells apart the two roots, which share a subject.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char byte : der) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    char text[40];
    std::snprintf(text, sizeof text, "ZEFAGPKITessaroll root %016llX", static_cast<unsigned long long>(hash));
    return text;
}

std::unique_ptr<RootStore> RootStore::open(int& error) {
    std::unique_ptr<RootStore> store(new RootStore);
    store->trustProgram_ = findProgram("trust");
    store->certutilProgram_ = findProgram("certutil");
    if (store->trustProgram_.empty() || store->certutilProgram_.empty() || homeFolder().empty()) {
        error = ENOENT;
        return nullptr;
    }
    const std::string folder = nssDatabaseFolder();
    store->database_ = "sql:" + folder;
    std::error_code ec;
    if (!fs::exists(fs::path(folder) / "cert9.db", ec)) {
        fs::create_directories(folder, ec);
        if (ec) {
            error = ec.value();
            return nullptr;
        }
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
        int status = runProgram({store->certutilProgram_, "-N", "-d", store->database_, "--empty-password"});
        if (status != 0) {
            error = failureOf(status);
            return nullptr;
        }
    }
    error = 0;
    return store;
}

int RootStore::add(std::span<const unsigned char> der) {
    TemporaryCertificateFile file(der);
    if (file.path().empty()) return EIO;
    // `trust` keeps an anchor that is there already; certutil keeps a certificate it
    // holds under whatever nickname it has.
    int result = 0;
    int status = runProgram({trustProgram_, "anchor", "--store", file.path()});
    if (status != 0) result = failureOf(status);
    status = runProgram({certutilProgram_, "-A", "-d", database_, "-n", nickname(der), "-t", "C,,", "-i", file.path()});
    if (status != 0 && result == 0) result = failureOf(status);
    return result;
}
