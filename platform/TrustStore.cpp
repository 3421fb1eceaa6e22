#include "platform/TrustStore.h"

#include "platform/Folders.h"
#include "platform/Process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#define JSMN_STATIC
#define JSMN_STRICT
#include <jsmn.h>

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

// Runs a program with its arguments, standard input on /dev/null and its output (standard
// output and error) in `output`, or on /dev/null without one; its exit status, 128 +
// signal, or -1 when it could not be started.
int runProgram(const std::vector<std::string>& words, std::string* output = nullptr) {
    std::vector<char*> argv;
    for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    int pipeEnds[2] = {-1, -1};
    if (output && ::pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (output) {
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output) {
        ::close(pipeEnds[1]);
        char block[4096];
        for (;;) {
            const ssize_t got = rc == 0 ? ::read(pipeEnds[0], block, sizeof block) : 0;
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            output->append(block, static_cast<std::size_t>(got));
        }
        ::close(pipeEnds[0]);
    }
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
        out.write(reinterpret_cast<const char*>(der.data()),
                  static_cast<std::streamsize>(der.size()));
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

int failureOf(int status) {
    return status < 0 ? ECHILD : status;
}

// Where earlier versions put the roots for every user, and how they named them.
constexpr const char* kSystemCertificateFolder = "/usr/local/share/ca-certificates";
constexpr std::string_view kNicknameStem = "ZEFAGPKITessaroll root ";
constexpr std::string_view kSystemFileStem = "ZEFAGPKITessaroll-root-";

std::string pemText(std::span<const unsigned char> der) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string body;
    for (std::size_t i = 0; i < der.size(); i += 3) {
        uint32_t bits = static_cast<uint32_t>(der[i]) << 16;
        if (i + 1 < der.size()) bits |= static_cast<uint32_t>(der[i + 1]) << 8;
        if (i + 2 < der.size()) bits |= der[i + 2];
        body += alphabet[(bits >> 18) & 63];
        body += alphabet[(bits >> 12) & 63];
        body += i + 1 < der.size() ? alphabet[(bits >> 6) & 63] : '=';
        body += i + 2 < der.size() ? alphabet[bits & 63] : '=';
    }
    std::string text = "-----BEGIN CERTIFICATE-----\n";
    for (std::size_t at = 0; at < body.size(); at += 64) text += body.substr(at, 64) + "\n";
    return text + "-----END CERTIFICATE-----\n";
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Replaces the file as a whole (a reader never sees half of it). A file that every user's
// browsers read (`shared`) and the folders made for it are readable by everyone; one in a
// home folder is the user's alone. 0 or an errno value.
int replaceFile(const std::string& path, const std::string& text, bool shared) {
    std::error_code ec;
    const fs::path folder = fs::path(path).parent_path();
    std::vector<fs::path> missing;
    for (fs::path f = folder; !f.empty() && !fs::exists(f, ec); f = f.parent_path()) {
        missing.push_back(f);
        if (f == f.parent_path()) break;
    }
    fs::create_directories(folder, ec);
    if (ec) return ec.value();
    const fs::perms everyone = fs::perms::group_read | fs::perms::others_read;
    const fs::perms enter = fs::perms::group_exec | fs::perms::others_exec;
    // The programs make their files private (umask 077); shared folders made here must not be.
    for (const fs::path& made : missing)
        fs::permissions(made, fs::perms::owner_all | (shared ? everyone | enter : fs::perms::none),
                        fs::perm_options::replace, ec);
    const std::string fresh = path + ".new";
    std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    int failure = out ? 0 : (errno != 0 ? errno : EIO);
    if (failure == 0) {
        fs::permissions(
            fresh,
            fs::perms::owner_read | fs::perms::owner_write | (shared ? everyone : fs::perms::none),
            fs::perm_options::replace, ec);
        fs::rename(fresh, path, ec);
        if (ec) failure = ec.value();
    }
    if (failure != 0) fs::remove(fresh, ec);
    return failure;
}

// The profile folders one profiles.ini lists ([Profile<n>] sections, Path relative to the
// file's folder when IsRelative=1).
std::vector<std::string> profilesListedIn(const fs::path& iniFile) {
    std::vector<std::string> folders;
    std::ifstream in(iniFile);
    bool inProfile = false;
    std::string path;
    bool relative = true;
    auto flush = [&] {
        if (inProfile && !path.empty())
            folders.push_back(relative ? (iniFile.parent_path() / path).string() : path);
        path.clear();
        relative = true;
    };
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("[")) {
            flush();
            inProfile = line.starts_with("[Profile");
        } else if (line.starts_with("Path=")) {
            path = line.substr(5);
        } else if (line.starts_with("IsRelative=")) {
            relative = line.substr(11) != "0";
        }
    }
    flush();
    return folders;
}

// jsmn's tokens of a JSON text; the index after the value that begins at `at`.
int afterValue(const std::vector<jsmntok_t>& tokens, int at) {
    int next = at + 1;
    for (int child = 0; child < tokens[at].size; ++child) next = afterValue(tokens, next);
    return next;
}

std::string_view tokenText(std::string_view text, const jsmntok_t& token) {
    return text.substr(static_cast<std::size_t>(token.start),
                       static_cast<std::size_t>(token.end - token.start));
}

// The value of `key` in the object at `object`, or -1.
int memberValue(std::string_view text, const std::vector<jsmntok_t>& tokens, int object,
                std::string_view key) {
    int at = object + 1;
    for (int member = 0; member < tokens[object].size; ++member) {
        if (tokens[at].type == JSMN_STRING && tokenText(text, tokens[at]) == key) return at + 1;
        at = afterValue(tokens, at);
    }
    return -1;
}

std::string jsonString(std::string_view value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

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

namespace {

// The tokens of a policy file that is one JSON object and nothing else.
std::optional<std::vector<jsmntok_t>> policyTokens(std::string_view policyText) {
    jsmn_parser parser;
    jsmn_init(&parser);
    const int count = jsmn_parse(&parser, policyText.data(), policyText.size(), nullptr, 0);
    if (count <= 0) return std::nullopt;
    std::vector<jsmntok_t> tokens(static_cast<std::size_t>(count));
    jsmn_init(&parser);
    if (jsmn_parse(&parser, policyText.data(), policyText.size(), tokens.data(), tokens.size()) !=
            count ||
        tokens[0].type != JSMN_OBJECT || afterValue(tokens, 0) != count ||
        policyText.find_first_not_of(" \t\r\n", static_cast<std::size_t>(tokens[0].end)) !=
            std::string_view::npos)
        return std::nullopt;
    return tokens;
}

constexpr std::string_view kInstallPath[] = {"policies", "Certificates", "Install"};

// The policy with the member kInstallPath[depth] inserted, with what lies below it and the
// files' list, at the start of the object at `at`.
std::string withMissingMember(std::string_view policyText, const std::vector<jsmntok_t>& tokens,
                              int at, std::size_t depth, const std::vector<std::string>& files) {
    std::string list;
    for (const auto& file : files) list += (list.empty() ? "" : ", ") + jsonString(file);
    std::string value = "[" + list + "]";
    for (std::size_t inner = std::size(kInstallPath) - 1; inner > depth; --inner)
        value = "{" + jsonString(kInstallPath[inner]) + ": " + value + "}";
    const std::string member = jsonString(kInstallPath[depth]) + ": " + value;
    const auto insertAt = static_cast<std::size_t>(tokens[at].start + 1);
    return std::string(policyText.substr(0, insertAt)) + member +
           (tokens[at].size > 0 ? ", " : "") + std::string(policyText.substr(insertAt));
}

// The policy with the files the Install array at `at` does not list yet added to its end.
std::string withFilesAdded(std::string_view policyText, const std::vector<jsmntok_t>& tokens,
                           int at, const std::vector<std::string>& files) {
    std::vector<std::string_view> listed;
    for (int element = at + 1; element < afterValue(tokens, at);
         element = afterValue(tokens, element))
        listed.push_back(tokenText(policyText, tokens[element]));
    std::string added;
    for (const auto& file : files) {
        const std::string quoted = jsonString(file);
        if (std::find(listed.begin(), listed.end(),
                      std::string_view(quoted).substr(1, quoted.size() - 2)) != listed.end())
            continue;
        added += (added.empty() && listed.empty() ? "" : ", ") + quoted;
    }
    const auto insertAt = static_cast<std::size_t>(tokens[at].end - 1);
    return std::string(policyText.substr(0, insertAt)) + added +
           std::string(policyText.substr(insertAt));
}

}  // namespace

std::optional<std::string> withInstalledCertificates(std::string_view policyText,
                                                     const std::vector<std::string>& files) {
    const std::optional<std::vector<jsmntok_t>> tokens = policyTokens(policyText);
    if (!tokens) return std::nullopt;

    // Walks down policies, Certificates and Install; the first member that is missing is
    // inserted, with what lies below it, at the start of its object.
    int at = 0;
    for (std::size_t depth = 0; depth < std::size(kInstallPath); ++depth) {
        int value = memberValue(policyText, *tokens, at, kInstallPath[depth]);
        if (value < 0) return withMissingMember(policyText, *tokens, at, depth, files);
        const bool last = depth + 1 == std::size(kInstallPath);
        if ((*tokens)[value].type != (last ? JSMN_ARRAY : JSMN_OBJECT)) return std::nullopt;
        at = value;
    }
    return withFilesAdded(policyText, *tokens, at, files);
}

bool RootStore::writesMachineStores() {
    return ::geteuid() == 0;
}

bool RootStore::writesUserStores() {
    struct stat home {};
    return ::stat(homeFolder().c_str(), &home) == 0 && home.st_uid == ::geteuid();
}

std::string RootStore::nssDatabaseFolder() {
    // NSS takes the old folder whenever it exists; Chromium follows it.
    const std::string legacy = homeFolder() + "/.pki/nssdb";
    std::error_code ec;
    if (fs::is_directory(legacy, ec)) return legacy;
    return commonAppDataFolder() + "/pki/nssdb";
}

std::vector<std::string> RootStore::firefoxProfileFolders() {
    // Firefox keeps its profiles in ~/.mozilla/firefox where that exists, else below the
    // XDG configuration folder; either may list profiles.
    std::vector<std::string> folders;
    for (const fs::path& ini : {fs::path(homeFolder()) / ".mozilla/firefox/profiles.ini",
                                fs::path(configFolder()) / "mozilla/firefox/profiles.ini"}) {
        for (const std::string& folder : profilesListedIn(ini)) {
            std::error_code ec;
            if (!fs::is_directory(folder, ec)) continue;
            std::string canonical = fs::canonical(folder, ec).string();
            if (std::find(folders.begin(), folders.end(), canonical) == folders.end())
                folders.push_back(canonical);
        }
    }
    return folders;
}

std::string RootStore::nickname(std::span<const unsigned char> der) {
    // FNV-1a over the DER: stable, and tells apart the two roots, which share a subject.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char byte : der) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    char text[40];
    std::snprintf(text, sizeof text, "ZEFAGPKITessaroll root %016llX",
                  static_cast<unsigned long long>(hash));
    return text;
}

std::string RootStore::firefoxCertificateFolder() {
    return homeFolder() + "/.mozilla/certificates";
}

std::unique_ptr<RootStore> RootStore::open(int& error) {
    std::unique_ptr<RootStore> store(new RootStore);
    store->certutilProgram_ = findProgram("certutil");
    if (store->certutilProgram_.empty() || homeFolder().empty()) {
        error = ENOENT;
        return nullptr;
    }
    error = 0;
    return store;
}

int RootStore::nameInFirefoxPolicy(const std::vector<std::string>& fileNames) {
    std::error_code ec;
    std::optional<std::string> text = readWholeFile(firefoxPolicyFile);
    if (!text && fs::exists(firefoxPolicyFile, ec)) return EACCES;
    std::optional<std::string> merged = withInstalledCertificates(text.value_or("{}"), fileNames);
    if (!merged) return EBADMSG;
    if (merged == text) return 0;
    return replaceFile(firefoxPolicyFile, *merged, true);
}

bool RootStore::isPasswordProtected(const std::string& database) const {
    // Asked to log in with an empty password, a database that has one refuses.
    std::string output;
    runProgram({certutilProgram_, "-K", "-d", database, "-f", "/dev/null"}, &output);
    return output.find("SEC_ERROR_BAD_PASSWORD") != std::string::npos;
}

int RootStore::addToNssDatabase(const std::string& folder, const std::string& nickname,
                                const std::string& certificateFile) {
    const std::string database = "sql:" + folder;
    std::error_code ec;
    if (!fs::exists(fs::path(folder) / "cert9.db", ec)) {
        fs::create_directories(folder, ec);
        if (ec) return ec.value();
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
        int status = runProgram({certutilProgram_, "-N", "-d", database, "--empty-password"});
        if (status != 0) return failureOf(status);
    } else if (isPasswordProtected(database)) {
        // certutil would add the certificate but not its trust: a root that is listed and
        // does nothing.
        locked_.push_back(folder);
        return EACCES;
    }
    std::string ignored;  // "Could not find cert" is the expected answer
    const bool held =
        runProgram({certutilProgram_, "-L", "-d", database, "-n", nickname}, &ignored) == 0;
    // certutil keeps a certificate it holds under whatever nickname it has.
    int status = runProgram({certutilProgram_, "-A", "-d", database, "-n", nickname, "-t", "C,,",
                             "-i", certificateFile});
    if (status == 0) return 0;
    // Nothing half-added stays behind.
    if (!held) runProgram({certutilProgram_, "-D", "-d", database, "-n", nickname});
    return failureOf(status);
}

std::vector<std::string> RootStore::nssDatabases() const {
    std::vector<std::string> folders{nssDatabaseFolder()};
    for (const std::string& profile : firefoxProfileFolders()) folders.push_back(profile);
    return folders;
}

int RootStore::add(std::span<const unsigned char> der, const std::string& fileName) {
    locked_.clear();
    TemporaryCertificateFile file(der);
    if (file.path().empty()) return EIO;
    int result = 0;
    auto keepFirst = [&result](int failure) {
        if (result == 0) result = failure;
    };
    if (!writesUserStores()) return result;
    const std::string name = nickname(der);
    for (const std::string& database : nssDatabases())
        keepFirst(addToNssDatabase(database, name, file.path()));
    const std::string firefoxFile = firefoxCertificateFolder() + "/" + fileName;
    if (readWholeFile(firefoxFile) != pemText(der))
        keepFirst(replaceFile(firefoxFile, pemText(der), false));
    return result;
}

int RootStore::removeFromNssDatabase(const std::string& folder,
                                     const std::vector<std::string>& keptNicknames) const {
    const std::string database = "sql:" + folder;
    std::error_code ec;
    if (!fs::exists(fs::path(folder) / "cert9.db", ec)) return 0;
    std::string listing;
    if (runProgram({certutilProgram_, "-L", "-d", database}, &listing) != 0) return 0;
    const std::size_t nicknameLength = nickname(std::span<const unsigned char>()).size();
    int result = 0;
    std::size_t at = 0;
    while ((at = listing.find(kNicknameStem, at)) != std::string::npos) {
        const std::string found = listing.substr(at, nicknameLength);
        at += nicknameLength;
        if (std::find(keptNicknames.begin(), keptNicknames.end(), found) != keptNicknames.end())
            continue;
        // Removing a certificate needs no login, so a password-protected database loses it too.
        const int status = runProgram({certutilProgram_, "-D", "-d", database, "-n", found});
        if (status != 0 && result == 0) result = failureOf(status);
    }
    return result;
}

namespace {

// The roots that earlier versions put into the system store, with the store rebuilt.
int removeSystemStoreRoots() {
    std::error_code ec;
    bool removed = false;
    for (const auto& entry : fs::directory_iterator(kSystemCertificateFolder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(kSystemFileStem) && name.ends_with(".crt"))
            removed = fs::remove(entry.path(), ec) || removed;
    }
    if (!removed) return 0;
    std::string update = findProgram("update-ca-certificates");
    if (update.empty() && ::access("/usr/sbin/update-ca-certificates", X_OK) == 0)
        update = "/usr/sbin/update-ca-certificates";
    if (update.empty()) return ENOENT;
    const int status = runProgram({update, "--fresh"});
    return status == 0 ? 0 : failureOf(status);
}

}  // namespace

int RootStore::removeOtherRoots(const std::vector<std::vector<unsigned char>>& current) {
    std::vector<std::string> kept;
    for (const auto& der : current) kept.push_back(nickname(der));
    int result = writesMachineStores() ? removeSystemStoreRoots() : 0;
    if (!writesUserStores()) return result;
    for (const std::string& database : nssDatabases()) {
        const int failure = removeFromNssDatabase(database, kept);
        if (result == 0) result = failure;
    }
    return result;
}
