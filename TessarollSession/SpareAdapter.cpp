#include "TessarollSession/SpareAdapter.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/RequestPath.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr auto quietTime = std::chrono::microseconds(300);

// RENAME_NOREPLACE: nothing at the slot's path is replaced. That path was free when the copy
// was taken and only this process writes there, so a failure leaves no file of ours behind:
// the spare's is deleted (the session keeps the copy it has loaded).
void moveToSlot(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    writeWarningLog("Move copied adapter: ", "Fail");
    ::unlink(from.c_str());
}

// Copies `size` bytes inside the kernel where the file systems allow it (some, such as tmpfs
// on older kernels, refuse), else through a buffer.
bool copyFileData(int source, int target, off_t size) {
    off_t left = size;
    while (left > 0) {
        const ssize_t moved =
            ::copy_file_range(source, nullptr, target, nullptr, static_cast<std::size_t>(left), 0);
        if (moved <= 0) break;
        left -= moved;
    }
    if (left == 0) return true;
    if (::lseek(source, size - left, SEEK_SET) < 0 || ::lseek(target, size - left, SEEK_SET) < 0)
        return false;
    char buffer[65536];
    while (left > 0) {
        const ssize_t got = ::read(source, buffer, sizeof buffer);
        if (got <= 0) return false;
        for (ssize_t written = 0; written < got;) {
            const ssize_t put =
                ::write(target, buffer + written, static_cast<std::size_t>(got - written));
            if (put <= 0) return false;
            written += put;
        }
        left -= got;
    }
    return true;
}

}  // namespace

// A hard link would not do for a session's copy: the loader takes a second link of a loaded
// file for the same library.
bool copyLibrary(const std::string& from, const std::string& to, FileIdentity* source) {
    const int input = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) return false;
    struct stat status {};
    if (::fstat(input, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(input);
        return false;
    }
    const int output =
        ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (output < 0) {
        ::close(input);
        return false;
    }
    bool copied =
        ::ioctl(output, FICLONE, input) == 0 || copyFileData(input, output, status.st_size);
    ::close(input);
    if (::close(output) != 0) copied = false;
    if (!copied) ::unlink(to.c_str());
    if (copied && source) *source = FileIdentity::of(status);
    return copied;
}

SpareAdapter::SpareAdapter(std::string folder, Preparation preparation)
    : folder_(std::move(folder)), preparation_(std::move(preparation)) {}

SpareAdapter::~SpareAdapter() {
    stop();
}

void SpareAdapter::keepReady(const std::string& library) {
    std::optional<Ready> outdated;
    bool wakeNow = false;
    {
        std::lock_guard lock(lock_);
        if (stopping_) return;
        if (ready_ && ready_->library != library) outdated = std::exchange(ready_, std::nullopt);
        library_ = library;
        if (!ready_) wanted_ = true;
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        wakeNow = !holdWakes_;
        if (!wakeNow) wakeHeld_.store(true, std::memory_order_release);
    }
    if (wakeNow) wake_.notify_one();
    if (outdated) discard(*outdated);
}

void SpareAdapter::holdWakes() {
    std::lock_guard lock(lock_);
    holdWakes_ = true;
}

TESSAROLL_REQUEST_PATH void SpareAdapter::wakeHeld() {
    // Called after every answer: a plain read first, so answers that opened nothing do not
    // write the flag that all listeners share.
    if (wakeHeld_.load(std::memory_order_relaxed) &&
        wakeHeld_.exchange(false, std::memory_order_acq_rel)) {
        // Through the lock: the maker may be between reading the flag and going to sleep.
        { std::lock_guard lock(lock_); }
        wake_.notify_one();
    }
}

bool SpareAdapter::ready() {
    std::lock_guard lock(lock_);
    return ready_.has_value();
}

SharedLibrary SpareAdapter::take(const std::string& library, const std::string& slotPath) {
    std::optional<Ready> ready;
    {
        std::lock_guard lock(lock_);
        if (!ready_ || ready_->library != library) return {};
        ready = std::exchange(ready_, std::nullopt);
    }
    // Whatever already lies at the slot's path stays, as a copy would.
    if (fileIdentity(library) != ready->source || ::access(slotPath.c_str(), F_OK) == 0) {
        discard(*ready);
        return {};
    }
    // The rename waits until the page has its answer.
    std::lock_guard lock(moveLock_);
    // None is pending here while the maker settles before each spare it makes; should one
    // be, it is moved now rather than lost.
    if (move_) moveToSlot(move_->from, move_->to);
    move_ = Move{std::move(ready->path), slotPath};
    return std::move(ready->loaded);
}

void SpareAdapter::settle() {
    std::lock_guard lock(moveLock_);
    if (!move_) return;
    moveToSlot(move_->from, move_->to);
    move_.reset();
}

void SpareAdapter::stop() {
    // One stop at a time: a second caller waits until the maker has been joined and what
    // it left is gone, and then finds nothing more to do.
    std::lock_guard stopping(stopLock_);
    std::optional<Ready> left;
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
        left = std::exchange(ready_, std::nullopt);
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    if (left) discard(*left);
    settle();
}

void SpareAdapter::run() {
    std::unique_lock lock(lock_);
    for (;;) {
        // A held wake is set only while wakes are held.
        wake_.wait(lock, [this] {
            return stopping_ || (wanted_ && !ready_ && !wakeHeld_.load(std::memory_order_acquire));
        });
        if (stopping_) return;
        // A moment first, unless woken once the answer went out: the session that asked for
        // the spare is still answering its page, and copying and loading beside that answer
        // delayed it by as much as they took.
        if (!holdWakes_ && wake_.wait_for(lock, quietTime, [this] { return stopping_; })) return;
        wanted_ = false;
        const std::string library = library_;
        // The loader knows a loaded library by the name it was opened under, and a spare
        // keeps that name after it moved: every spare needs a name of its own.
        const std::string path =
            folder_ + "/" + std::to_string(made_++) + "-" + fs::path(library).filename().string();
        lock.unlock();
        settle();  // the copy taken last reaches its slot before the next is made
        std::optional<Ready> made = make(library, path);
        lock.lock();
        if (made && !stopping_ && !ready_ && made->library == library_) {
            ready_ = std::move(made);
        } else if (made) {
            lock.unlock();
            discard(*made);
            lock.lock();
        }
    }
}

std::optional<SpareAdapter::Ready> SpareAdapter::make(const std::string& library,
                                                      const std::string& path) {
    std::error_code error;
    fs::create_directories(folder_, error);
    Ready ready{library, {}, path, {}};
    if (!copyLibrary(library, path, &ready.source)) return std::nullopt;
    ready.loaded = SharedLibrary::open(path);
    if (!ready.loaded) {
        ::unlink(path.c_str());
        return std::nullopt;
    }
    if (preparation_.prepare) preparation_.prepare(ready.loaded);
    return ready;
}

void SpareAdapter::discard(Ready& ready) const {
    if (preparation_.retire) preparation_.retire(ready.loaded);
    ready.loaded.close();
    ::unlink(ready.path.c_str());
}
