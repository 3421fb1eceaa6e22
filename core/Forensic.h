// The crash handler: a process-wide dispatcher whose entries run once when the process
// dies of a fatal signal, the installer of the signal filter, and the entry that writes
// our crash report into a dump folder, keeping only the newest few reports there.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include "core/Singleton.h"
#include "platform/CrashSignals.h"

namespace VZ::OS::Win32::Forensic {

namespace Detail {

class IHandler {
public:
    virtual ~IHandler() = default;
    virtual void call() = 0;
};

class IExceptionCallBack {
public:
    virtual ~IExceptionCallBack() = default;
    // `context` is null when the call does not come from a crash.
    virtual void call(const CrashContext* context) = 0;
};

class ExceptionHandler : public VZ::Core::Pattern::Singleton<ExceptionHandler, ExceptionHandler> {
public:
    using Entry = std::variant<std::unique_ptr<IHandler>, std::unique_ptr<IExceptionCallBack>>;

    // Installs the fatal-signal filter, which hands a crash to the dispatcher.
    class UEF : public IHandler {
    public:
        UEF() = default;
        void call() override;
    };

    ~ExceptionHandler() override;

    // The filter installer, replacing (and destroying) any previous one.
    void setFilterInstaller(std::unique_ptr<IHandler> installer);
    IHandler* filterInstaller() const { return filterInstaller_.get(); }
    // Appends an entry under the handler's lock.
    void add(Entry entry);
    std::size_t entryCount();

    // Runs every entry once, last added first, and empties the queue. Runs on the
    // crashing thread without the lock: that thread may hold it.
    void handleException(const CrashContext* context);

private:
    friend class VZ::Core::Pattern::Singleton<ExceptionHandler, ExceptionHandler>;
    ExceptionHandler() = default;

    std::unique_ptr<IHandler> filterInstaller_;
    std::deque<Entry> entries_;
    std::mutex mutex_;
};

}  // namespace Detail

// Writes the crash report as "<folder>/<prefix><seconds since 1970>.dmp".
class CrashDumpCallBack : public Detail::IExceptionCallBack {
public:
    // A keep count below 1 counts as 1.
    CrashDumpCallBack(int32_t keepCount, std::filesystem::path folder, std::string prefix);
    // Never raises: a report that cannot be written is simply not written.
    void call(const CrashContext* context) override;

    // Path of the next report. Deletes the oldest reports first, so that with the new one
    // `keepCount` remain; raises "Retry timeout" when one of them cannot be deleted.
    std::string dumpFilePath();
    // A regular file directly named "<prefix>" + ten digits + any character + "dmp".
    bool isOldDump(const std::filesystem::path& path) const;

private:
    std::filesystem::path folder_;
    std::string prefix_;
    int32_t keepCount_;
};

}  // namespace VZ::OS::Win32::Forensic

// The one dispatcher of the process.
VZ::OS::Win32::Forensic::Detail::ExceptionHandler& getForensicInstance();
