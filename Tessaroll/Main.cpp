// The main program: brings the loopback HTTPS service up, waits for the final release and
// brings it down again.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "Tessaroll/KeyStorage.h"
#include "Tessaroll/Listener.h"
#include "Tessaroll/RequestHandler.h"
#include "Tessaroll/ServiceState.h"
#include "Tessaroll/StartupHooks.h"
#include "TessarollSession/SessionService.h"
#include "TessarollUtil/DebugModeFollower.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/ProgramNames.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/Privacy.h"

#ifndef TESSAROLL_GIT_TIME
#define TESSAROLL_GIT_TIME ""
#endif

namespace {

constexpr std::size_t pathLimit = 259;
const char* const logPrefix = "ZEFAGPKITessaroll";
const char* const bannerLine =
    "*************************************Tessaroll*********************************";
const char* const separatorLine =
    "===============================================================================";

// How long the end of the program waits for requests still running on workers.
constexpr auto workerDrainLimit = std::chrono::seconds(10);

std::string executePath;
std::array<MHD_Daemon*, listenerPortCount> ipv4Listeners{};
std::array<MHD_Daemon*, listenerPortCount> ipv6Listeners{};

// A desktop session ends a program with SIGTERM, a terminal with SIGINT: both run the
// final release on this thread, never inside a signal handler, so sessions are released
// and the adapter copies deleted before the listeners stop. The program stops the thread
// before it returns, however it ends.
class StopSignalWaiter {
public:
    StopSignalWaiter(const sigset_t& signals, ServiceState& state)
        : thread_([this, signals, &state] { waitForStopSignals(signals, state); }) {}
    ~StopSignalWaiter() {
        stopping_ = true;
        // Directed at the thread, where sigwait takes it and sees it is to end.
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }
    StopSignalWaiter(const StopSignalWaiter&) = delete;
    StopSignalWaiter& operator=(const StopSignalWaiter&) = delete;

private:
    void waitForStopSignals(sigset_t signals, ServiceState& state) {
        for (;;) {
            int received = 0;
            const bool taken = sigwait(&signals, &received) == 0;
            if (stopping_) return;
            if (taken) state.finalRelease();
        }
    }

    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// One instance per user: the first start holds an exclusive lock on a file in the work
// folder for as long as it runs (the system drops it when the process ends, however it
// ends). Decided before anything that rewrites or deletes shared state, so a second start
// leaves the first one's sessions and adapter copies alone.
bool becomeTheOnlyInstance(const std::string& workFolder) {
    std::error_code error;
    std::filesystem::create_directories(workFolder, error);
    const std::string path = workFolder + "/ZEFAGPKITessarollMain.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        writeErrorLog("Instance lock: ", "Cannot open " + path);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        writeWarningLog("Another ZEFAGPKITessarollMain runs for this user, end: ", path);
        return false;
    }
    return true;  // the descriptor stays open, and the lock held, until the process ends
}

sigset_t blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    // Blocked before any thread starts, so every thread inherits the mask and only the
    // waiting thread takes them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signals;
}

std::string cut(std::string text, std::size_t limit) {
    if (text.size() > limit) text.resize(limit);
    return text;
}

void stopListeners() {
    for (int i = 0; i < listenerPortCount; ++i) {
        if (ipv4Listeners[i]) MHD_stop_daemon(ipv4Listeners[i]);
        if (ipv6Listeners[i]) MHD_stop_daemon(ipv6Listeners[i]);
        ipv4Listeners[i] = ipv6Listeners[i] = nullptr;
    }
}

int startListeners(const int (&ports)[listenerPortCount], const std::string& certificate,
                   const SecretString& key, const std::string& priorities) {
    int started = 0;
    for (int i = 0; i < listenerPortCount; ++i) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(ports[i]));
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ipv4Listeners[i] = startListener(ipv4ListenerFlags, reinterpret_cast<sockaddr*>(&v4),
                                         certificate.c_str(), key.c_str(), priorities.c_str());
        if (ipv4Listeners[i]) ++started;

        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(ports[i]));
        v6.sin6_addr = in6addr_loopback;
        v6.sin6_flowinfo = 0;
        v6.sin6_scope_id = 0;
        ipv6Listeners[i] = startListener(ipv6ListenerFlags, reinterpret_cast<sockaddr*>(&v6),
                                         certificate.c_str(), key.c_str(), priorities.c_str());
        if (ipv6Listeners[i]) ++started;
    }
    return started;
}

// The log's head: banner, build, a crash before this start, the system.
void logServiceStart(const std::optional<std::string>& commandLine) {
    setLog(logPrefix);
    if (isLogOn()) logPrint(5, "%s", bannerLine);
    writeNormalLog("Execute setting: ", "ZEFAGPKI");
    writeNormalLog("Compile time: ", __DATE__ " " __TIME__);
    writeNormalLog("Git time: ", TESSAROLL_GIT_TIME);

    if (commandLine && !commandLine->substr(0, 64).empty() && *commandLine != "0" && isLogOn()) {
        logPrint(5, "%s", separatorLine);
        writeWarningLog("Detected Tessaroll crash", "");
        logPrint(5, "%s", separatorLine);
    }

    if (uint32_t mask = getOSVersion(); mask != 0) {
        std::string environment = cut(getOSName(mask), 511);
        environment += (mask & 0x200000) ? " 64 bit" : " 32 bit";
        writeNormalLog("Environment: ", environment);
    }
}

// The program's own copy folder when it has one, else the data folder.
std::string workFolderFor(const std::string& dataFolder) {
    std::string ownCopyPath = cut(getCopyPath(kMainFolderName), pathLimit);
    return ownCopyPath.empty() ? dataFolder : ownCopyPath;
}

void readSupportedPorts(int (&ports)[listenerPortCount]) {
    std::sscanf("port=56482 56582 56682", "port=%d %d %d", &ports[0], &ports[1], &ports[2]);
    writeNormalLog("Support port: ", std::to_string(ports[0]) + " " + std::to_string(ports[1]) +
                                         " " + std::to_string(ports[2]));
}

ServiceState& startSessions(const std::string& workFolder) {
    // Never destroyed: the message threads may use them until the process ends.
    auto* sessions = new SessionService(workFolder, executePath, static_cast<uint32_t>(getpid()));
    auto* state = new ServiceState(*sessions);
    serveRequests(*state);
    writeNormalLog("Tessaroll Version: ", kTessarollVersion);
    return *state;
}

// False when there is nothing to serve with: no certificate or key of the user's, or no
// listener started.
bool startHttpsListeners(const int (&ports)[listenerPortCount]) {
    if (!prepareServerCredentials()) return false;
    const bool rsa = useRsaCertificate(getOSVersion());
    std::string certificate = serverCertificatePem(rsa);
    if (certificate.empty()) {
        TESSAROLL_ALLOCATION_FAILURE();
        return false;
    }
    std::optional<SecretString> key = obtainServerKey(rsa);
    if (!key) {
        TESSAROLL_ALLOCATION_FAILURE();
        return false;
    }
    const std::string priorities = listenerPriorities();
    const int started = startListeners(ports, certificate, *key, priorities);
    releaseServerKey(key);
    certificate.clear();
    certificate.shrink_to_fit();

    writeNormalLog("", "HTTPS Mode");
    if (started == 0) {
        writeWarningLog("ZEFAGPKITessaroll initialization: ", "Fail");
        return false;
    }
    writeNormalLog("ZEFAGPKITessaroll initialization: ", "Success");
    return true;
}

void serveUntilFinalRelease(const ServiceState& state) {
    if (isLogOn()) logPrint(5, "%s", separatorLine);
    while (!state.ending()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!waitForRequestWorkers(workerDrainLimit))
        writeWarningLog("Requests still running at the end", "");
}

int runService(const std::optional<std::string>& commandLine) {
    const sigset_t stopSignals = blockStopSignals();

    installCrashHandler();

    copyPath = cut(getCopyPath("ZEFAGPKITessaroll"), pathLimit);
    if (copyPath.empty()) {
        writeErrorLog("Extract copy path: ", "Fail");
        return 0;
    }
    logServiceStart(commandLine);

    const std::string dataFolder = copyPath;
    const std::string workFolder = workFolderFor(dataFolder);
    if (!becomeTheOnlyInstance(workFolder)) return 0;

    executePath = cut(getModuleFolder().value_or(""), pathLimit);
    if (executePath.empty()) {
        writeErrorLog("Extract execute path: ", "Fail");
        return 0;
    }
    writeNormalLog("CopyPath: ", dataFolder);
    writeNormalLog("Execute path: ", executePath);

    int ports[listenerPortCount] = {};
    readSupportedPorts(ports);
    ServiceState& state = startSessions(workFolder);
    const StopSignalWaiter stopSignalWaiter(stopSignals, state);
    if (!startHttpsListeners(ports)) return 0;

    // The message receiver and the debug-mode follower run until the process ends, so
    // they start only once there is a service to end: a start without a listener returns
    // with no thread of its own left running. The receiver's start gives its threads half
    // a second to take the channel; the service meanwhile serves, and sees its end at once.
    const std::jthread receiverStart(
        [&state] { startMessageReceiver([&state] { state.finalRelease(); }); });
    followDebugMode(logPrefix, [](int error) {
        writeErrorLogInt("Tessaroll debugStatusUpdateEvent init failed. ", error);
    });
    serveUntilFinalRelease(state);
    stopListeners();  // not after the receiver's start, which may still be waiting
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    keepFilesPrivate();
    std::optional<std::string> commandLine;
    for (int i = 1; i < argc; ++i) {
        if (!commandLine)
            commandLine.emplace();
        else
            *commandLine += ' ';
        *commandLine += argv[i];
    }
    const int result = runService(commandLine);
    stopListeners();
    return result;
}
