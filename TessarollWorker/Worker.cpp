#include "TessarollWorker/Worker.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "TessarollUtil/DebugModeFollower.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Message.h"
#include "TessarollUtil/ProcessTools.h"
#include "TessarollUtil/ProgramNames.h"
#include "TessarollUtil/Secure.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "certs/UserCredentials.h"
#include "platform/Folders.h"
#include "platform/TrustStore.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBuffer = 512;  // the worker's text buffers: at most 511 bytes
constexpr int kLockAttempts = 11;
constexpr int kDeleteAttempts = 11;
constexpr int kRetryPauseMs = 500;
constexpr std::size_t kUninstallTokens = 16;
constexpr const char* kWorkerLockName = "TessarollWorker";
constexpr const char* kUninstallers[] = {"Au_.exe", "Un_A.exe"};

// What one option's handler is given, and what it leaves for the end of the run.
struct WorkerRun {
    std::string_view commandText;
    const std::string& instanceName;
    const std::string& moduleFolder;
};
struct WorkerOutcome {
    int exitCode = 0;
    bool selfDelete = false;  // the worker removes its own executable at the end
};

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string formatted(const char* format, std::string_view value) {
    char text[kBuffer * 2];
    std::snprintf(text, sizeof text, format, std::string(value).c_str());
    return text;
}

bool uninstallerRunning() {
    return std::any_of(std::begin(kUninstallers), std::end(kUninstallers),
                       [](const char* name) { return isProcessRunning(name); });
}

// Everything after the first blank of the command, as the 512-byte buffer holds it.
std::string argumentText(std::string_view commandText) {
    std::size_t blank = commandText.find(' ');
    if (blank == std::string_view::npos) return {};
    return cutToBuffer(commandText.substr(blank + 1), kBuffer);
}

// Windows file-name matching: '*' any run of characters, '?' one, letter case ignored.
bool wildcardMatch(std::string_view pattern, std::string_view name) {
    std::size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() &&
            (pattern[p] == '?' || asciiLower(pattern[p]) == asciiLower(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::size_t lastSeparator(std::string_view path) {
    return path.find_last_of("\\/");
}

// One deletion with the worker's retry rule: 11 attempts, each failure followed by a
// 500 ms pause.
template <typename Remove>
bool removeWithRetries(Remove remove) {
    for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
        if (remove()) return true;
        sleepMs(kRetryPauseMs);
    }
    return false;
}

// As a file is deleted: anything but a folder.
bool deleteFile(const std::string& path) {
    std::error_code ec;
    fs::file_status status = fs::symlink_status(path, ec);
    if (ec || fs::is_directory(status)) return false;
    return fs::remove(path, ec) && !ec;
}

// As a folder is removed: only an empty folder (or a link to one, which goes itself).
bool removeFolder(const std::string& path) {
    std::error_code ec;
    fs::file_status status = fs::symlink_status(path, ec);
    if (ec || !(fs::is_directory(status) || fs::is_symlink(status))) return false;
    if (fs::is_symlink(status) && !fs::is_directory(fs::status(path, ec))) return false;
    return fs::remove(path, ec) && !ec;
}

// Removes the folder and, as long as they are empty, the folders that hold it.
void removeFolderChain(std::string path) {
    writeNormalLog("Folder mode", "");
    while (!path.empty()) {
        if (!removeWithRetries([&] { return removeFolder(path); })) {
            writeNormalLog("", formatted("Delete %s retry too many times", path));
            return;
        }
        writeNormalLog("", formatted("Delete %s success", path));
        if (std::size_t cut = lastSeparator(path); cut != std::string::npos) path.resize(cut);
    }
}

WorkerOutcome runDelete(const WorkerRun& run) {
    const std::string_view commandText = run.commandText;
    const std::string& instanceName = run.instanceName;
    constexpr WorkerOutcome done{0, true};
    writeNormalLog("Delete area", "");
    writeNormalLog("Start", "");
    std::string input = argumentText(commandText);
    writeNormalLog("CmdLine: ", input);
    writeNormalLog(formatted("[TessarollWorker-%s] Input: ", instanceName), input);
    std::string path = cutToBuffer(replaceAll(input, "\"", ""), kBuffer);
    if (path.empty()) {
        // Nothing named, nothing deleted: the worker keeps itself too.
        writeWarningLog("Input is empty", "");
        return {0, false};
    }

    for (int waits = 0; waits < 30 && uninstallerRunning(); ++waits) {
        if (waits == 0)
            writeNormalLog(formatted("[TessarollWorker-%s] ", instanceName),
                           "NSIS uninstaller is running, wait");
        sleepMs(1000);
    }
    sleepMs(200);

    std::size_t mark = path.find_last_of("\\/.");
    bool folderMode = mark != std::string::npos && path[mark] != '.';
    if (!folderMode) {
        if (mark != std::string::npos) writeNormalLog("File mode", "");
        if (!removeWithRetries([&] { return deleteFile(path); })) {
            writeNormalLog("Try too many times", "");
            return done;
        }
        writeNormalLog("", formatted("Delete %s success", commandText));
        std::size_t cut = lastSeparator(path);
        if (cut == std::string::npos) return done;  // a bare file name: no folder named
        path.resize(cut);
    }
    removeFolderChain(path);
    return done;
}

WorkerOutcome runUninstallDetect(const WorkerRun& run) {
    const std::string_view commandText = run.commandText;
    const std::string& instanceName = run.instanceName;
    const std::string& moduleFolderPath = run.moduleFolder;
    constexpr WorkerOutcome done{0, true};
    writeNormalLog("Uninstall detect area", "");
    std::string input = argumentText(commandText);
    writeNormalLog("CmdLine: ", input);
    if (input.empty()) writeWarningLog("Input is empty", "");
    std::size_t tokenCount = 0;
    std::vector<std::string> arguments = splitUninstallArguments(input, tokenCount);
    writeNormalLogInt("SplitLength: ", static_cast<int32_t>(tokenCount));
    writeNormalLogInt("SplitLength: ", static_cast<int32_t>(arguments.size()));
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        char line[kBuffer * 2];
        std::snprintf(line, sizeof line, "[%d] = %s", static_cast<int>(i), arguments[i].c_str());
        writeNormalLog("argv", line);
    }
    if (arguments.size() != 2) {
        writeWarningLog("Tessaroll uninstall detect: ", "Parameter error");
        return {kWorkerParameterError, false};  // ends at once, the worker stays
    }

    for (int waits = 0; waits < 32 && uninstallerRunning(); ++waits) sleepMs(1000);
    sleepMs(1000);

    // The adapter libraries: ".dll" in the names the programs were written with.
    const std::string libraryPattern = diskFileName("*.dll");
    const std::string libraryMark = diskFileName("x.dll").substr(1);
    std::vector<std::string> total, main;
    if (!listFiles(moduleFolderPath, "*", total)) {
        writeWarningLog("TotolFileList: ", "Detect error");
        return done;
    }
    bool uninstall = false;
    if (!listFiles(moduleFolderPath, libraryPattern, main)) {
        writeWarningLog("MainFileList: ", "Detect error");
        writeWarningLog("MainFileList: ", "Uninstall mode");
        uninstall = true;
    } else {
        // Only what lies below the folder counts, so that where it is installed does not.
        auto libraries = [&](const std::vector<std::string>& list) {
            return static_cast<std::size_t>(
                std::count_if(list.begin(), list.end(), [&](const std::string& path) {
                    return std::string_view(path)
                               .substr(std::min(path.size(), moduleFolderPath.size()))
                               .find(libraryMark) != std::string_view::npos;
                }));
        };
        std::size_t totalCount = libraries(total), mainCount = libraries(main);
        char line[128];
        std::snprintf(line, sizeof line, "TotolSize = %zu MainSize = %zu", totalCount, mainCount);
        writeNormalLog("Uninstall detect result: ", line);
        uninstall = totalCount == mainCount;
    }

    if (!uninstall) {
        writeNormalLog("->", "MonitorStart");
        sendIPCMsgWin(instanceName.c_str(), kChannelMonitorWindow, kInstructionMonitorStart);
        return done;
    }
    writeNormalLog("->", "Unstall");
    std::string uninstaller = "\"" + arguments[0] + "\" /S";
    hideNOWaitCommand(uninstaller.c_str());
    // The adapter copies of the sessions, hidden ones included.
    std::string copies = cutToBuffer(getCopyPath("ZEFAGPKITessaroll"), kBuffer);
    std::error_code ec;
    for (fs::directory_iterator it(copies, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError)) continue;
        if (!wildcardMatch(libraryPattern, it->path().filename().string())) continue;
        std::error_code removeError;
        fs::remove(it->path(), removeError);
    }
    return done;
}

std::optional<std::string> readKeyFile(const char* path) {
    if (!path) {
        writeWarningLog("inputPath is null", "");
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        writeWarningLog("Read file pointer is null", "");
        return std::nullopt;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Read as text: the text ends at its first zero byte, and line ends are single
    // line feeds.
    if (std::size_t zero = bytes.find('\0'); zero != std::string::npos) bytes.resize(zero);
    std::string text = replaceAll(bytes, "\r\n", "\n");
    secureWipe(bytes);
    return text;
}

WorkerOutcome runKeyToByte(const WorkerRun& run) {
    writeNormalLog("KeyToByte area", "");
    std::string fileName = replaceAll(run.commandText, "-KeyToByte ", "");
    writeNormalLog("FileName: ", fileName);
    std::optional<std::string> key = readKeyFile(fileName.c_str());
    // A key that cannot be read, or an empty one, would only give a broken fragment.
    if (!key || key->empty()) return {};
    std::string text = keyToByteText(*key, fileName.find("_RSA.") != std::string::npos);
    const bool written = appendToCertFile(text.c_str());
    secureWipe(text);
    secureWipe(*key);
    // A fragment that did not reach the file fails the run, so a build that runs it stops.
    return {written ? 0 : 1, false};
}

void runWatchdog() {
    followDebugMode(nullptr, [](int) { writeErrorLog("debugStatusUpdateEvent init failed.", ""); });
    auto watchdogLock = lockUserMutex(kChannelWatchdog, 500);
    if (!watchdogLock) {
        writeNormalLog("getMutexLock: ", "Fail");
        return;
    }
    writeNormalLog("getMutexLock: ", "Success");
    // The watchdog follows the session only to keep running through it; nothing reads it.
    static std::atomic<uint8_t> lockFlag{0};
    IPCHandlers.lockFlag = &lockFlag;
    startIPCReceiver(kChannelWatchdog);
    for (;;) {
        auto marker = lockUserMutex(kMonitorProgramName, 0);
        if (marker) {
            unlockUserMutex(marker);
            break;
        }
        sleepMs(1000);
    }
    writeNormalLog("Monitor is NOT alive", "");
    writeNormalLog("Reset!", "");
    hideNOWaitCommand(workerCommand("-reset").c_str());
    unlockUserMutex(watchdogLock);
}

// The name of each root in Firefox's certificate folder; the policy names the same one
// for every user, and Firefox finds each user's own.
std::string firefoxFileName(CredentialKind kind) {
    return std::string("ZEFAGPKITessaroll-") + (kind == CredentialKind::Rsa ? "RSA" : "ECC") +
           "-root.pem";
}

WorkerOutcome runImportRootCertificates(const WorkerRun&) {
    if (RootStore::writesMachineStores()) {
        const int failure = RootStore::nameInFirefoxPolicy(
            {firefoxFileName(CredentialKind::EllipticCurve), firefoxFileName(CredentialKind::Rsa)});
        if (failure != 0) writeErrorLogInt("Import root CA failed: ", failure);
    } else {
        writeNormalLog(
            "Not run as root: the Firefox policy is left alone, the roots go to this user's NSS "
            "database and Firefox profiles",
            "");
    }
    if (!RootStore::writesUserStores()) {
        writeNormalLog(
            "The home folder belongs to another user: its NSS database and Firefox profiles are "
            "left alone",
            "");
        return {};
    }
    // Before the user's first start the roots are made here; the service then finds them.
    const bool prepared = prepareUserCredentials();
    std::vector<std::vector<unsigned char>> imported;
    for (CredentialKind kind : {CredentialKind::EllipticCurve, CredentialKind::Rsa}) {
        const char* name = kind == CredentialKind::Rsa ? "RSA" : "ECC";
        std::optional<CredentialSet> set =
            prepared ? loadUserCredentials(kind) : std::optional<CredentialSet>();
        if (set) set->serverKeyPem.clear();
        if (!set || importRootCA(set->rootPem.c_str(), firefoxFileName(kind)) == 0) {
            writeErrorLog("Import root CA failed ", name);
            continue;
        }
        int error = 0;
        imported.push_back(
            decodeCertificateText(set->rootPem, error).value_or(std::vector<unsigned char>()));
    }
    // Roots of earlier sets (made again, or shared by every user of an older version) are
    // trusted no longer; only when both of this set are in place.
    int error = 0;
    auto store = imported.size() == 2 ? RootStore::open(error) : nullptr;
    if (store) {
        if (int failure = store->removeOtherRoots(imported); failure != 0)
            writeErrorLogInt("Remove earlier root CA failed: ", failure);
    }
    return {};
}

void stopArea() {
    writeNormalLog("Stop area", "");
    sendIPCMsg(kChannelWatchdog, kInstructionSuicide);
    sleepMs(500);
    killProcessByName(kMonitorProgramName);
    killProcessByName(kMainProgramName);
}

void startOrSend(const char* instruction) {
    if (isProcessRunning(kMonitorProgramName)) {
        sendIPCMsg(kChannelMonitorWindow, instruction);
    } else {
        hideNOWaitCommand(kMonitorProgramName);
    }
}

enum class Match { WholeTextAnyCase, PrefixWithCase };

struct WorkerCommand {
    const char* text;
    WorkerOption option;
    Match match;
    bool takesLock;  // the stop/start family runs one at a time
    WorkerOutcome (*run)(const WorkerRun&);
};

// Every option of the worker, in the order the options are tried.
constexpr WorkerCommand kCommands[] = {
    {"-start", WorkerOption::Start, Match::WholeTextAnyCase, true,
     [](const WorkerRun&) {
         startOrSend(kInstructionStart);
         return WorkerOutcome{};
     }},
    {"-stop", WorkerOption::Stop, Match::WholeTextAnyCase, true,
     [](const WorkerRun&) {
         sendIPCMsg(kChannelMonitorWindow, kInstructionStop);
         return WorkerOutcome{};
     }},
    {"-restart", WorkerOption::Restart, Match::WholeTextAnyCase, true,
     [](const WorkerRun&) {
         startOrSend(kInstructionRestart);
         return WorkerOutcome{};
     }},
    {"-allstop", WorkerOption::AllStop, Match::WholeTextAnyCase, true,
     [](const WorkerRun&) {
         stopArea();
         return WorkerOutcome{};
     }},
    {"-reset", WorkerOption::Reset, Match::WholeTextAnyCase, true,
     [](const WorkerRun&) {
         stopArea();
         hideNOWaitCommand(kMonitorProgramName);
         writeNormalLog("Reset complete", "");
         hideNOWaitCommand(workerCommand("-watchdog").c_str());
         return WorkerOutcome{};
     }},
    // Holding the worker lock is all it does.
    {"-monitorstart", WorkerOption::MonitorStart, Match::WholeTextAnyCase, true,
     [](const WorkerRun&) { return WorkerOutcome{}; }},
    {"-uninstalldetect", WorkerOption::UninstallDetect, Match::PrefixWithCase, false,
     runUninstallDetect},
    {"-delete", WorkerOption::Delete, Match::PrefixWithCase, false, runDelete},
    {"-KeyToByte", WorkerOption::KeyToByte, Match::PrefixWithCase, false, runKeyToByte},
    {"-watchdog", WorkerOption::Watchdog, Match::WholeTextAnyCase, false,
     [](const WorkerRun&) {
         runWatchdog();
         return WorkerOutcome{};
     }},
    {"-importRootCACert", WorkerOption::ImportRootCACert, Match::WholeTextAnyCase, false,
     runImportRootCertificates},
};

const WorkerCommand* commandFor(std::string_view commandText) {
    for (const WorkerCommand& command : kCommands) {
        const bool matches = command.match == Match::PrefixWithCase
                                 ? isPrefix(std::string_view(command.text), commandText)
                                 : equalsIgnoringCase(commandText, command.text);
        if (matches) return &command;
    }
    return nullptr;
}

}  // namespace

std::optional<WorkerOption> matchWorkerOption(std::string_view commandText) {
    const WorkerCommand* command = commandFor(commandText);
    if (!command) return std::nullopt;
    return command->option;
}

bool takesWorkerLock(WorkerOption option) {
    return std::any_of(std::begin(kCommands), std::end(kCommands),
                       [option](const WorkerCommand& command) {
                           return command.option == option && command.takesLock;
                       });
}

std::string commandTextFromArguments(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    return text;
}

std::vector<std::string> splitUninstallArguments(std::string_view argumentText,
                                                 std::size_t& tokenCount) {
    std::vector<std::string> tokens;
    std::string_view rest = argumentText;
    while (!rest.empty()) {
        std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        if (tokens.size() == kUninstallTokens - 1) {
            tokens.emplace_back(rest);
            break;
        }
        std::size_t blank = rest.find(' ');
        tokens.emplace_back(rest.substr(0, blank));
        rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank);
    }
    tokenCount = tokens.size();

    std::vector<std::string> arguments;
    std::string pending;
    for (const std::string& token : tokens) {
        if (!pending.empty()) pending += ' ';
        pending += token;
        if (token.find(".exe") != std::string::npos) {
            arguments.push_back(replaceAll(pending, "\"", ""));
            pending.clear();
        }
    }
    if (!pending.empty()) arguments.push_back(replaceAll(pending, "\"", ""));
    return arguments;
}

namespace {

// One folder of the search: matching files go to `out`, matching folders to `toDo`.
bool listFolder(const std::string& folder, std::string_view pattern, std::deque<std::string>& toDo,
                std::vector<std::string>& out) {
    const std::string searchText = folder + "/" + std::string(pattern);
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    // A search that finds nothing fails, as it did where "." and ".." did not match.
    bool found = wildcardMatch(pattern, ".");
    if (!ec) {
        for (fs::directory_iterator end; it != end; it.increment(ec)) {
            if (ec) break;
            const std::string name = it->path().filename().string();
            if (!wildcardMatch(pattern, name)) continue;
            found = true;
            std::error_code typeError;
            if (it->is_directory(typeError) && !it->is_symlink(typeError)) {
                toDo.push_back(folder + "/" + name);
            } else {
                out.push_back(folder + "/" + name);
            }
        }
        if (ec) {
            writeErrorLog("ERROR_NO_MORE_FILES", "");
            return false;
        }
    }
    if (ec || !found) {
        writeErrorLog("", formatted("INVALID_HANDLE_VALUE at %s", searchText));
        return false;
    }
    return true;
}

}  // namespace

bool listFiles(const std::string& root, std::string_view pattern, std::vector<std::string>& out) {
    out.clear();
    std::deque<std::string> toDo{root};
    while (!toDo.empty()) {
        std::string folder = toDo.back();
        toDo.pop_back();
        if (!listFolder(folder, pattern, toDo, out)) return false;
    }
    return true;
}

bool appendToCertFile(const char* text) {
    if (!text) return false;
    constexpr const char* kCertFile = "Cert.h";
    std::error_code error;
    const bool existed = fs::exists(kCertFile, error);
    const std::uintmax_t sizeBefore =
        fs::is_regular_file(kCertFile, error) ? fs::file_size(kCertFile, error) : 0;
    std::FILE* file = std::fopen(kCertFile, "a");
    if (!file) {
        writeErrorLog("Open Cert.h fail: ", std::strerror(errno));
        return false;
    }
    // The text may sit in the stream's buffer until the close: a full disk shows there.
    bool written = std::fprintf(file, "%s", text) >= 0;
    int writeError = errno;
    if (std::fclose(file) != 0 && written) {
        written = false;
        writeError = errno;
    }
    if (!written) {
        writeErrorLog("Write Cert.h fail: ", std::strerror(writeError));
        // No half fragment stays behind to break the header for the next key.
        if (fs::is_regular_file(kCertFile, error)) {
            if (existed) {
                fs::resize_file(kCertFile, sizeBefore, error);
            } else {
                fs::remove(kCertFile, error);
            }
        }
    }
    return written;
}

std::string keyToByteText(std::string_view keyText, bool rsaName) {
    std::string out;
    out.reserve(6 * keyText.size() + 128);
    char piece[32];
    bool first = true;
    for (unsigned char byte : keyText) {
        if (byte == 0) break;
        std::snprintf(
            piece, sizeof piece,
            first ? (rsaName ? "byte RSAKey[] = { 0x%X" : "byte ECKey[] = { 0x%X") : ", 0x%X",
            static_cast<unsigned>(byte));
        out += piece;
        first = false;
    }
    out += "};";
    return out;
}

void deleteSelf() {
    // The worker is installed under this one name (the programs start it by it). A running
    // executable may be unlinked here, so no delayed deletion is needed.
    std::optional<std::string> folder = getModuleFolder();
    if (!folder) return;
    std::error_code ec;
    fs::remove(*folder + "/" + diskFileName(kWorkerProgramName), ec);
}

int importRootCA(const char* pemText, const std::string& fileName) {
    if (!pemText) {
        TESSAROLL_NULL_PARAMETER("pemText");
        return 0;
    }
    int error = 0;
    auto der = decodeCertificateText(pemText, error);
    if (!der) {
        writeErrorLogInt("Parse root CA failed: ", error);
        return 0;
    }
    auto store = RootStore::open(error);
    if (!store) {
        writeErrorLogInt("The CA system store did not open: ", error);
        return 0;
    }
    const int failure = store->add(*der, fileName);
    for (const std::string& database : store->passwordProtectedDatabases())
        writeWarningLog("NSS database is password-protected, the root is not added to it: ",
                        database);
    if (failure != 0) {
        writeErrorLogInt("Import root CA failed: ", failure);
        return 0;
    }
    return 1;
}

int runWorker(std::string_view commandText) {
    std::optional<std::string> moduleFolderPath = getModuleFolder();
    const std::string instanceName = cutToBuffer("TessarollWorker-" + makeInstanceId(), kBuffer);
    setProgramPrefix(instanceName);
    setLog();
    writeNormalLog("Compile time: ", std::string(__DATE__) + " " + __TIME__);
    writeNormalLog("Command: ", commandText);

    const WorkerCommand* command = commandFor(commandText);
    if (!command) return 0;
    std::unique_ptr<NamedMutex> workerLock;
    if (command->takesLock) {
        for (int attempt = 0; attempt < kLockAttempts && !workerLock; ++attempt) {
            workerLock = lockUserMutex(kWorkerLockName, 200);
            if (!workerLock) sleepMs(kRetryPauseMs);
        }
        if (!workerLock) {
            writeNormalLog("Get mutex lock time out", "");
            return 0;
        }
    }
    const WorkerOutcome outcome =
        command->run({commandText, instanceName, moduleFolderPath.value_or(".")});
    unlockUserMutex(workerLock);
    if (outcome.selfDelete) deleteSelf();
    return outcome.exitCode;
}
