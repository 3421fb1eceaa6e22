#include "core/Forensic.h"

#include <fmt/format.h>
#include <unistd.h>
#include <ctime>
#include <set>

#include "core/DelayPolicy.h"

// GCC 12 warns about its own std::function inside <regex> when sanitizers and optimisation
// are both on (a false positive in the library header).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace VZ::OS::Win32::Forensic {

namespace Detail {

namespace {

void uefFilter(const CrashContext& context) {
    getForensicInstance().handleException(&context);
    // Returning lets the signal's default action run: core dump and exit status as usual.
}

}  // namespace

void ExceptionHandler::UEF::call() {
    if (!installCrashSignalHandlers(uefFilter)) {
        throw std::runtime_error(
            fmt::format("Failed to load API. API = {}, Error code = {}", "sigaction", errno));
    }
}

ExceptionHandler::~ExceptionHandler() = default;

void ExceptionHandler::setFilterInstaller(std::unique_ptr<IHandler> installer) {
    filterInstaller_ = std::move(installer);
}

void ExceptionHandler::add(Entry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
}

std::size_t ExceptionHandler::entryCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void ExceptionHandler::handleException(const CrashContext* context) {
    while (!entries_.empty()) {
        Entry& entry = entries_.back();
        if (entry.index() == 0) {
            if (auto& handler = std::get<0>(entry)) handler->call();
        } else {
            if (auto& callback = std::get<1>(entry)) callback->call(context);
        }
        // Inside a crash the heap may be broken: do not free the entry there.
        if (context) {
            if (entry.index() == 0) {
                (void)std::get<0>(entry).release();
            } else {
                (void)std::get<1>(entry).release();
            }
        }
        entries_.pop_back();
    }
}

}  // namespace Detail

CrashDumpCallBack::CrashDumpCallBack(int32_t keepCount, std::filesystem::path folder,
                                     std::string prefix)
    : folder_(std::move(folder)),
      prefix_(std::move(prefix)),
      keepCount_(keepCount < 1 ? 1 : keepCount) {}

void CrashDumpCallBack::call(const CrashContext* context) {
    if (folder_.empty()) return;  // the user has no temporary folder: no report
    try {
        std::string path = dumpFilePath();
        // Anything but a file of our own at the name (a FIFO, a link, another user's file)
        // fails at once, and the report is skipped; so does a folder that is not there.
        int fd = createCrashReportFile(path.c_str());
        if (fd < 0) return;
        writeCrashReport(fd, context);
        ::close(fd);
    } catch (...) {}
}

bool CrashDumpCallBack::isOldDump(const std::filesystem::path& path) const {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) return false;
    std::regex expression(fmt::format("{}[0-9]{{10}}.dmp", prefix_), std::regex::ECMAScript);
    return std::regex_match(path.filename().string(), expression);
}

std::string CrashDumpCallBack::dumpFilePath() {
    namespace fs = std::filesystem;
    std::set<fs::path> oldDumps;
    std::error_code ec;
    if (fs::is_directory(folder_, ec)) {
        for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
            if (isOldDump(it->path())) oldDumps.insert(it->path());
        }
    }
    if (oldDumps.size() >= static_cast<std::size_t>(keepCount_)) {
        std::size_t excess = oldDumps.size() - static_cast<std::size_t>(keepCount_) + 1;
        VZ::Core::Pattern::Linear<2, 2> retry;
        for (auto it = oldDumps.begin(); excess > 0; ++it, --excess) {
            const fs::path& victim = *it;
            retry.run([&victim] {
                std::error_code removeError;
                fs::remove(victim, removeError);
                return !removeError;
            });
        }
    }
    long long seconds = static_cast<long long>(std::time(nullptr));
    return fmt::format("{}{}.dmp", (folder_ / prefix_).string(), seconds);
}

}  // namespace VZ::OS::Win32::Forensic

VZ::OS::Win32::Forensic::Detail::ExceptionHandler& getForensicInstance() {
    return VZ::OS::Win32::Forensic::Detail::ExceptionHandler::instance();
}
