#include "TessarollUtil/Logger.h"
#include "TessarollUtil/Text.h"

#include "platform/Files.h"
#include "platform/Folders.h"
#include "platform/NamedMutex.h"
#include "platform/Privacy.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>

namespace {

constexpr std::string_view kSectionName = "ZEFAGPKITessaroll";
constexpr const char* kLogMutexName = "Global\\VZLog";
// Every user's programs share the line lock, so nobody may hold ours up for longer.
constexpr uint32_t kLineLockWait = 1000;
// Once a holder outlasted that, each line waits only this long: enough for another program's
// line to be written, too short for a lock that is never let go to add up.
constexpr uint32_t kHeldUpLineWait = 10;
// Names and time stamps are composed in 128-character buffers.
constexpr std::size_t kNameLimit = 127;
// Lines are read this many characters at a time while the section header is searched.
constexpr int kHeaderPiece = 255;

// ---- cross-process line lock --------------------------------------------------------

// "Global\VZLog" serialises lines across processes. Threads of this process queue on a
// local lock first, so that one handle is only ever used by one thread at a time.
class LineLock {
public:
    explicit LineLock(std::unique_ptr<NamedMutex> named) : named_(std::move(named)) {}
    bool lock() {
        local_.lock();
        // Once a holder outlasted the wait, lines wait only briefly until the lock is free
        // again, so that a held lock costs one long wait and not one per line.
        MutexWait result =
            named_ ? named_->wait(heldUp_ ? kHeldUpLineWait : kLineLockWait) : MutexWait::Failed;
        // An abandoned mutex is ours now, as with an ordinary wait.
        bool obtained = result == MutexWait::Obtained || result == MutexWait::Abandoned;
        if (named_) heldUp_ = !obtained;
        namedHeld_.push_back(obtained);
        return true;
    }
    // A later set-up tries again when the named mutex could not be had before.
    bool hasNamed() {
        std::lock_guard guard(local_);
        return named_ != nullptr;
    }
    void attach(std::unique_ptr<NamedMutex> named) {
        std::lock_guard guard(local_);
        if (!named_) named_ = std::move(named);
    }
    void unlock() {
        if (namedHeld_.back()) named_->release();
        namedHeld_.pop_back();
        local_.unlock();
    }

private:
    std::recursive_mutex local_;
    std::unique_ptr<NamedMutex> named_;
    std::vector<bool> namedHeld_;  // one entry per level the owning thread took
    bool heldUp_ = false;          // the last wait ran out; guarded by local_
};

// ---- process-wide settings ----------------------------------------------------------

struct LogSettings {
    std::mutex fileMutex;  // guards logFile and logMaxSize against a concurrent initLog
    std::string logFile;
    int32_t logMaxSize = 0;
    std::atomic<int32_t> logLevel{0};
    std::atomic<bool> enabled{false};
    std::atomic<int32_t> rotationIndex{0};
    std::mutex mutexCreation;
    std::atomic<LineLock*> logMutex{nullptr};
};

// Made on first use and never destroyed in a program: detached threads may still log
// while the process ends. Only an unloaded plug-in copy frees its own (releaseLogger).
std::atomic<LogSettings*> settingsInstance{nullptr};

LogSettings& settings() {
    LogSettings* s = settingsInstance.load(std::memory_order_acquire);
    if (s) return *s;
    auto* fresh = new LogSettings;
    if (settingsInstance.compare_exchange_strong(s, fresh, std::memory_order_acq_rel))
        return *fresh;
    delete fresh;  // another thread made it first
    return *s;
}

// ---- ini reading ---------------------------------------------------------------------

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Reads at most `maxChars` characters, stopping after a line feed; nothing at end of file.
bool readPiece(std::FILE* file, int maxChars, std::string& piece) {
    piece.clear();
    for (int n = 0; n < maxChars; ++n) {
        int c = std::fgetc(file);
        if (c == EOF) break;
        piece.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !piece.empty();
}

// One whole line, its line feed included; false at end of file.
bool readLine(std::FILE* file, std::string& line) {
    line.clear();
    for (int c; (c = std::fgetc(file)) != EOF;) {
        line.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !line.empty();
}

bool isSectionHeader(std::string_view line) {
    std::string_view t = trim(line);
    return t.size() >= 2 && t.front() == '[' && t.back() == ']';
}

bool isOurSection(std::string_view line) {
    if (!isSectionHeader(line)) return false;
    std::string_view t = trim(line);
    std::string_view name = trim(t.substr(1, t.size() - 2));
    return !name.empty() && equalsIgnoringCase(name, kSectionName);
}

// The value of a matching key line: line breaks cut, one pair of quotes removed.
std::string_view keyValue(std::string_view afterEquals) {
    std::string_view value = afterEquals;
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.remove_suffix(1);
    std::size_t first = value.find_first_not_of(" \t");
    if (first != std::string_view::npos && (value[first] == '"' || value[first] == '\'')) {
        char quote = value[first];
        std::size_t last = value.rfind(quote);
        if (last > first) return value.substr(first + 1, last - first - 1);
    }
    return value;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Decimal as atoi reads it (blanks, a sign, digits; 0 for no number), held to 32 bits.
int32_t decimalValue(const std::string& text) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

int readIniString(const char* key, std::string& value, int size, const std::string& path) {
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    int status = readLogIniValue(key, buffer.data(), size, path.c_str());
    value = buffer.data();
    return status;
}

// ---- file names ----------------------------------------------------------------------

void cutTo(std::string& text, std::size_t limit) {
    if (text.size() > limit) text.resize(limit);
}

std::string composeLogFileName(const std::string& logFile, const std::tm& local, int32_t index) {
    std::size_t dot = logFile.rfind('.');
    std::string base = dot == std::string::npos ? logFile : logFile.substr(0, dot);
    std::string extension = dot == std::string::npos ? std::string() : logFile.substr(dot);
    char date[64];
    if (index <= 0)
        std::snprintf(date, sizeof date, "_%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday);
    else
        std::snprintf(date, sizeof date, "_%04d%02d%02d_%d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, index);
    std::string name = base + date + extension;
    cutTo(name, kNameLimit);
    return name;
}

// Size of the file; nothing when there is no regular file (a link is not followed, and
// nothing is opened, so a FIFO at the name cannot hold the line up).
long measureFile(const std::string& name) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<long>(info.st_size);
}

// Writes `text` to standard error once per process for each `key`.
void warnOnce(std::set<std::string>& said, const std::string& key, const std::string& text) {
    static std::mutex guard;
    {
        std::lock_guard lock(guard);
        if (!said.insert(key).second) return;
    }
    std::fprintf(stderr, "Warning: %s\n", text.c_str());
}

// Whatever folder the log lies in, someone else may have put a file, a link or a FIFO under
// its name first: only a regular file of our own is written, else the line is dropped.
int openLogFile(const std::string& name) {
    int fd = openOwnFile(name.c_str(), false);
    if (fd < 0 && errno != ENOENT) {
        static std::set<std::string> refused;
        warnOnce(refused, name,
                 "log file " + name + " not written: it is not a regular file of this user's");
    }
    return fd;
}

// Control characters as visible escapes, so that no value can end the line and start
// another; C1 controls (U+0080 to U+009F) too, which some terminals act on.
void appendEscaped(std::string& line, std::string_view text) {
    auto hexEscape = [&line](unsigned char c) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
        line += escaped;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\t') {
            line += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            hexEscape(c);
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
            hexEscape(c);
            hexEscape(next);
            ++i;
        } else {
            line += static_cast<char>(c);
        }
    }
}

const char* levelTag(int level) {
    switch (level) {
        case 0: return "";
        case 1: return "[FATAL]";
        case 2: return "[ERROR]";
        case 3: return "[WARN ]";
        case 4: return "[INFO ]";
        case 5: return "[DEBUG]";
        default: return level > 5 ? "[DEBUG]" : "";
    }
}

void openLogMutex() {
    LogSettings& s = settings();
    std::lock_guard guard(s.mutexCreation);
    // The handle is kept once it is open: a writer on another thread may be holding it.
    LineLock* existing = s.logMutex.load();
    if (existing && existing->hasNamed()) return;
    std::unique_ptr<NamedMutex> named = NamedMutex::openExisting(kLogMutexName);
    if (!named) named = NamedMutex::create(kLogMutexName);
    // Without the named mutex lines are still written, only not serialised with other processes.
    if (existing)
        existing->attach(std::move(named));
    else
        s.logMutex.store(new LineLock(std::move(named)));
}

}  // namespace

namespace {

// Reads up to and past our section's header; false when the file has none.
bool skipToOurSection(std::FILE* file) {
    std::string piece;
    while (readPiece(file, kHeaderPiece, piece))
        if (isOurSection(piece)) return true;
    return false;
}

// The value when the piece is a "key = value" line of the wanted key.
std::optional<std::string_view> valueOfKey(std::string_view piece, std::string_view wanted) {
    std::size_t start = piece.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || piece[start] == ';') return std::nullopt;
    std::size_t equals = piece.find('=', start);
    if (equals == std::string_view::npos) return std::nullopt;
    if (!equalsIgnoringCase(piece.substr(start, equals - start), wanted)) return std::nullopt;
    return keyValue(piece.substr(equals + 1));
}

}  // namespace

namespace {

// The ini opened for reading when it may be trusted (see iniFileIsTrusted), else null.
std::FILE* openTrustedIni(const char* path) {
    std::string refusal;
    int fd = openTrustedFile(path, refusal);
    if (fd < 0) {
        static std::set<std::string> refused;
        if (!refusal.empty())
            warnOnce(refused, path, std::string("ini file ") + path + " ignored: " + refusal);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "r");
    if (!file) ::close(fd);
    return file;
}

}  // namespace

bool iniFileIsTrusted(const char* path) {
    if (!path) return false;
    FilePtr file(openTrustedIni(path));
    return file != nullptr;
}

int readLogIniValue(const char* key, char* buffer, int size, const char* iniPath) {
    if (!iniPath) return kLogIniCannotOpen;
    FilePtr file(openTrustedIni(iniPath));
    if (!file) return kLogIniCannotOpen;

    if (!skipToOurSection(file.get())) return kLogIniNoSection;
    if (!key || !buffer || size <= 0) return kLogIniNoKey;
    buffer[0] = '\0';

    const std::string_view wanted(key);
    const std::size_t pieceSize = size > 1 ? static_cast<std::size_t>(size - 1) : 1;
    std::string line;
    while (readLine(file.get(), line)) {
        // A header ends the section however long it is, even when the key's pieces would
        // cut it into parts that no longer look like one.
        if (isSectionHeader(line)) return kLogIniNoKey;
        // Key lines are taken in pieces of what fits the value buffer; the rest of a long
        // line is read as a further line.
        for (std::size_t at = 0; at < line.size(); at += pieceSize) {
            std::optional<std::string_view> value =
                valueOfKey(std::string_view(line).substr(at, pieceSize), wanted);
            if (!value) continue;
            if (value->size() > static_cast<std::size_t>(size - 1)) return kLogIniTooLong;
            value->copy(buffer, value->size());
            buffer[value->size()] = '\0';
            return kLogIniFound;
        }
    }
    return kLogIniNoKey;
}

int initLog(const char* iniName) {
    LogSettings& s = settings();
    if (s.enabled.load()) return -1;
    if (!iniName) return kLogIniCannotOpen;

    std::string path(iniName);
    std::string logFile;
    bool unreadable = false;  // `path` was just found not to open: nothing to read there
    if (path.find_first_of("/\\") == std::string::npos) {
        const std::string tempFolder = userTempFolder();
        const std::string candidates[] = {
            windowsFolder() + "/" + path,
            homeFolder() + "/" + path,
            tempFolder.empty() ? std::string() : tempFolder + path,
        };
        std::string chosen;
        for (const std::string& candidate : candidates) {
            // Too long to fit, or no such folder: not a place to look.
            if (candidate.empty() || candidate.size() > kNameLimit) continue;
            const int status = readIniString("Log File", logFile, 128, candidate);
            if (status == kLogIniFound) {
                chosen = candidate;
                break;
            }
            unreadable = status == kLogIniCannotOpen && &candidate == &candidates[2];
        }
        path = chosen.empty() ? candidates[2] : chosen;
    }
    if (unreadable) {
        // Every program and each session's adapter starts its log here; without an ini
        // file that is the usual case, and the reads below would fail the same way.
        std::lock_guard guard(s.fileMutex);
        s.logFile = defaultLogFilePath();
        s.logMaxSize = 0;
        s.logLevel.store(0);
        return kLogIniCannotOpen;
    }

    std::string value;
    if (readIniString("Log File", value, 128, path) != kLogIniFound) value = defaultLogFilePath();
    int32_t maxSize = 0;
    std::string sizeText;
    if (readIniString("Log MaxSize", sizeText, 64, path) == kLogIniFound)
        maxSize = decimalValue(sizeText);
    {
        std::lock_guard guard(s.fileMutex);
        s.logFile = value;
        s.logMaxSize = maxSize;
    }

    std::string levelText;
    int status = readIniString("Log Level", levelText, 16, path);
    if (status != kLogIniFound) {
        s.logLevel.store(0);
    } else {
        // Opened before the "Log Enable" line so that it is serialised like every other line;
        // a program or plug-in copy that writes no line needs no handle on it.
        openLogMutex();
        int32_t level = decimalValue(levelText);
        s.logLevel.store(level);
        s.enabled.store(true);
        logPrint(level, "Log Enable '%s'", path.c_str());
    }
    return status;
}

void buildLogFileName(std::string& fileName, std::string& timeStamp) {
    LogSettings& s = settings();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    if (!localtime_r(&now.tv_sec, &local)) return;

    std::string logFile;
    int32_t maxSize;
    {
        std::lock_guard guard(s.fileMutex);
        logFile = s.logFile;
        maxSize = s.logMaxSize;
    }

    char stamp[128];
    std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d:%02d:%02d.%03lu", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<unsigned long>(now.tv_nsec / 1000000));
    timeStamp = stamp;

    if (logFile.empty()) {  // no folder for the default log
        fileName.clear();
        return;
    }
    for (;;) {
        int32_t index = s.rotationIndex.load();
        fileName = composeLogFileName(logFile, local, index);
        if (maxSize <= 0) return;
        long size = measureFile(fileName);
        if (size < 0 || size <= maxSize) return;
        // A path so long that the index is cut off names the same file for every index.
        if (composeLogFileName(logFile, local, index + 1) == fileName) return;
        s.rotationIndex.compare_exchange_strong(index, index + 1);
    }
}

namespace {

void appendLogLine(int level, const char* format, va_list args) {
    std::string fileName;
    std::string timeStamp;
    buildLogFileName(fileName, timeStamp);
    if (fileName.empty()) return;

    char head[256];
    int headLength = std::snprintf(head, sizeof head, "%s %s [%05lu-%05lu] ", timeStamp.c_str(),
                                   levelTag(level), static_cast<unsigned long>(getpid()) % 100000UL,
                                   static_cast<unsigned long>(gettid()) % 100000UL);
    std::string line(head, headLength > 0 ? static_cast<std::size_t>(headLength) : 0);
    if (format) {
        va_list copy;
        va_copy(copy, args);
        int length = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (length > 0) {
            std::string text(static_cast<std::size_t>(length) + 1, '\0');
            std::vsnprintf(text.data(), text.size(), format, args);
            text.resize(static_cast<std::size_t>(length));
            appendEscaped(line, text);
        }
    }
    line += '\n';

    int fd = openLogFile(fileName);
    if (fd < 0) return;
    // One write per line: with O_APPEND the lines of all programs stay whole in the file.
    for (std::size_t done = 0; done < line.size();) {
        ssize_t written = ::write(fd, line.data() + done, line.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        done += static_cast<std::size_t>(written);
    }
    ::close(fd);
}

}  // namespace

void writeLogLine(int level, const char* format, va_list args) {
    // Logging never throws into its caller: a line that cannot be composed is dropped,
    // like one whose file cannot be opened.
    try {
        appendLogLine(level, format, args);
    } catch (const std::exception&) {}
}

int logPrint(int level, const char* format, ...) {
    if (level > settings().logLevel.load(std::memory_order_relaxed)) return -2;
    LogMutexLock lock;
    va_list args;
    va_start(args, format);
    writeLogLine(level, format, args);
    va_end(args);
    return 0;
}

void resetLogger() {
    LogSettings& s = settings();
    s.enabled.store(false);
    s.logLevel.store(0);
    openLogMutex();
}

int32_t currentLogLevel() {
    return settings().logLevel.load(std::memory_order_relaxed);
}

void resetLoggerForTests() {
    LogSettings& s = settings();
    s.enabled.store(false);
    s.logLevel.store(0);
    s.rotationIndex.store(0);
    std::lock_guard guard(s.fileMutex);
    s.logFile.clear();
    s.logMaxSize = 0;
}

void releaseLogger() {
    LogSettings* s = settingsInstance.exchange(nullptr, std::memory_order_acq_rel);
    if (!s) return;
    delete s->logMutex.exchange(nullptr);
    delete s;
}

LogMutexLock::LogMutexLock() {
    LineLock* mutex = settings().logMutex.load();
    held_ = mutex && mutex->lock();
}

LogMutexLock::~LogMutexLock() {
    if (!held_) return;
    if (LineLock* mutex = settings().logMutex.load()) mutex->unlock();
}
