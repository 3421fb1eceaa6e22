#include "platform/Process.h"

#include "platform/Folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace {

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// "X.exe" names one of our programs, which is installed as "X".
std::string executableName(std::string_view imageName) {
    return diskFileName(imageName);
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string ownFolder() {
    return moduleFolder().value_or("");
}

// Base name of a process's executable; nothing for a process that ended meanwhile.
std::optional<std::string> processImageName(const std::string& pidText) {
    std::string base = "/proc/" + pidText;
    char target[4096];
    ssize_t n = ::readlink((base + "/exe").c_str(), target, sizeof target - 1);
    if (n > 0) {
        std::string path(target, static_cast<std::size_t>(n));
        constexpr std::string_view deleted = " (deleted)";  // replaced while running
        if (path.size() > deleted.size() && path.ends_with(deleted))
            path.resize(path.size() - deleted.size());
        return path.substr(path.rfind('/') + 1);
    }
    // A process that changed its identity does not show its executable; its first argument does.
    int fd = ::open((base + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    n = ::read(fd, target, sizeof target - 1);
    ::close(fd);
    if (n <= 0) return std::nullopt;  // kernel threads have none
    target[n] = '\0';
    std::string argv0(target);
    return argv0.substr(argv0.rfind('/') + 1);
}

// The login session a process belongs to; nothing when it has none (a service, a
// process started before any login).
std::optional<unsigned long> loginSession(const std::string& pidText) {
    int fd = ::open(("/proc/" + pidText + "/sessionid").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char text[32];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    text[n] = '\0';
    unsigned long session = std::strtoul(text, nullptr, 10);
    if (session == 0xFFFFFFFFul) return std::nullopt;  // the kernel's "unset"
    return session;
}

// The real and effective user of a process from its status; nothing once it has ended.
std::optional<std::pair<uid_t, uid_t>> processUsers(const std::string& pidText) {
    int fd = ::open(("/proc/" + pidText + "/status").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char text[4096];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    text[n] = '\0';
    const char* line = std::strstr(text, "\nUid:");
    unsigned long real = 0, effective = 0;
    if (!line || std::sscanf(line, "\nUid: %lu %lu", &real, &effective) != 2) return std::nullopt;
    return std::pair{static_cast<uid_t>(real), static_cast<uid_t>(effective)};
}

// Only programs of the calling user are ours to find and end, and of its login session
// where both are known: root ends root's programs, one login not another's.
bool isOwnProcess(const std::string& pidText, std::optional<unsigned long> ownSession) {
    auto users = processUsers(pidText);
    if (!users || users->first != ::geteuid() || users->second != ::geteuid()) return false;
    if (!ownSession) return true;
    auto session = loginSession(pidText);
    return !session || *session == *ownSession;
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view commandLine) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
        char c = commandLine[i];
        if (c == '\\' && i + 1 < commandLine.size() && commandLine[i + 1] == '"') {
            word += '"';
            inWord = true;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

std::string findProgram(std::string_view name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string_view::npos) {
        std::string path(name);
        if (isExecutableFile(path)) return path;
        std::string mapped = executableName(name);
        return isExecutableFile(mapped) ? mapped : std::string();
    }
    std::vector<std::string> candidates{executableName(name)};
    if (candidates.front() != name) candidates.emplace_back(name);
    std::vector<std::string> folders;
    if (auto own = ownFolder(); !own.empty()) folders.push_back(own);
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!rest.empty()) {
        auto colon = rest.find(':');
        std::string folder(rest.substr(0, colon));
        folders.push_back(folder.empty() ? "." : folder);
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    for (const auto& folder : folders) {
        for (const auto& candidate : candidates) {
            std::string full = folder + "/" + candidate;
            if (isExecutableFile(full)) return full;
        }
    }
    return {};
}

std::optional<pid_t> startHiddenProcess(std::string_view commandLine) {
    std::vector<std::string> words;
    std::size_t start = commandLine.find_first_not_of(" \t");
    std::string_view trimmed =
        start == std::string_view::npos ? std::string_view() : commandLine.substr(start);
    if (startsWithIgnoreCase(trimmed, "cmd /c ") || startsWithIgnoreCase(trimmed, "cmd.exe /c ")) {
        words = {"/bin/sh", "-c", std::string(trimmed.substr(trimmed.find('/') + 3))};
    } else {
        words = splitCommandLine(commandLine);
        if (words.empty()) return std::nullopt;
        std::string program = findProgram(words.front());
        if (program.empty()) return std::nullopt;
        words.front() = program;
    }
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // The caller may block signals (a thread that waits for SIGTERM); the child starts
    // with none blocked and the usual actions.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return std::nullopt;
    return pid;
}

int waitForProcess(pid_t pid) {
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc != pid) return 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 0;
}

void detachProcess(pid_t pid) {
    std::thread([pid] { waitForProcess(pid); }).detach();
}

std::vector<pid_t> findProcessesByName(std::string_view imageName, bool ignoreCase) {
    std::vector<pid_t> found;
    std::string wanted = executableName(imageName);
    const std::optional<unsigned long> ownSession = loginSession("self");
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    while (dirent* entry = ::readdir(proc)) {
        const char* name = entry->d_name;
        if (!std::isdigit(static_cast<unsigned char>(name[0])) || !isOwnProcess(name, ownSession))
            continue;
        auto image = processImageName(name);
        if (!image) continue;
        bool match = ignoreCase
                         ? equalsIgnoreCase(*image, wanted) || equalsIgnoreCase(*image, imageName)
                         : *image == wanted || *image == imageName;
        if (match) found.push_back(static_cast<pid_t>(std::atol(name)));
    }
    ::closedir(proc);
    return found;
}

bool killProcess(pid_t pid) {
    return pid > 0 && ::kill(pid, SIGKILL) == 0;
}
