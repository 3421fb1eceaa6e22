#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/PrivateFolder.h"
#include "platform/SharedLockPause.h"

namespace {

constexpr std::string_view kGlobalPrefix = "Global\\";
constexpr std::string_view kLocalPrefix = "Local\\";
constexpr uint32_t kMagic = 0x544D5458;  // set once the mutex in the region is initialised

struct Region {
    std::atomic<uint32_t> magic;
    uint32_t reserved;
    pthread_mutex_t mutex;
};

// Object names may hold any character; file names keep the safe ones and escape the
// rest. Very long names keep their start and a hash of the whole, to stay a valid name.
std::string fileNameFor(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    if (name.empty()) return "%";  // no escape ends in a lone "%", so no other name maps here
    std::string out;
    for (unsigned char c : name) {
        bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
        if (safe) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    if (out.size() > 180) {
        uint64_t hash = 1469598103934665603ull;
        for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
        out.resize(160);
        out.push_back('~');
        for (int shift = 60; shift >= 0; shift -= 4) out.push_back(kHex[(hash >> shift) & 0xF]);
    }
    return out;
}

// Per-user names live in a folder that is the user's alone (its runtime folder, so each
// login and each test sandbox has its own). "Global\" names are a lock file in /dev/shm that
// every user opens read-only and locks with flock: another user can at most hold it, and
// nothing of it is mapped, so nobody else can write into this process through it.
struct Location {
    std::string path;
    bool shared = false;  // a "Global\" lock, open to every user
};

constexpr mode_t kUserMode = 0600;
constexpr mode_t kSharedMode = 0644;

std::optional<Location> locate(std::string_view name, std::string* whyNot) {
    if (name.substr(0, kGlobalPrefix.size()) == kGlobalPrefix) {
        return Location{
            "/dev/shm/tessaroll-lock.Global." + fileNameFor(name.substr(kGlobalPrefix.size())),
            true};
    }
    if (name.substr(0, kLocalPrefix.size()) == kLocalPrefix)
        name.remove_prefix(kLocalPrefix.size());
    std::string folder = userObjectSubfolder("tessaroll-mutexes");
    if (folder.empty()) {
        if (whyNot) *whyNot = "no folder of this user's own for its mutexes";
        return std::nullopt;
    }
    return Location{folder + "/" + fileNameFor(name)};
}

bool initialiseMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

uint64_t currentThread() {
    return static_cast<uint64_t>(gettid());
}

}  // namespace

struct NamedMutex::Shared {
    // A per-user mutex: the mapped robust mutex.
    Region* region = nullptr;
    // Levels of ownership threads of this process took and did not give back. A mapping
    // is only unmapped at zero: the kernel and the C library reach an owned robust mutex
    // through its memory when its thread unlocks it or ends.
    std::atomic<int64_t> ownedLevels{0};

    // A "Global\" lock: the lock file, and who in this process holds its flock. The flock
    // belongs to the open file, so the threads of the process take turns here first.
    int lockFd = -1;
    std::string pauseName;  // the key of its process-wide pause
    std::mutex turn;
    std::condition_variable turnFreed;
    uint64_t owner = 0;   // thread holding (or taking) the flock; guarded by turn
    uint32_t levels = 0;  // guarded by turn

    ~Shared() {
        if (region && ownedLevels.load() == 0) munmap(region, sizeof(Region));
        if (lockFd >= 0) close(lockFd);
    }
};

namespace {

// One object per name and process, kept for the life of the process: a thread may still
// own the mutex after every handle is gone, and the kernel needs the mapping to mark the
// mutex abandoned when that thread ends. Only an unloaded plug-in copy gives its own up
// (releaseNamedMutexMappings).
using Registry = std::map<std::string, std::shared_ptr<NamedMutex::Shared>>;
std::mutex registryLock;
Registry* registryInstance = nullptr;  // guarded by registryLock
Registry& registry() {
    if (!registryInstance) registryInstance = new Registry();
    return *registryInstance;
}

// Opens what is there first: the kernel may refuse O_CREAT on another user's file in a
// sticky folder such as /dev/shm even when its mode lets us in. A shared lock file is only
// read (a lock needs no more), and never waited on at opening: another user may have put
// a pipe there.
int openObject(const Location& where, bool create) {
    const mode_t mode = where.shared ? kSharedMode : kUserMode;
    auto openWith = [&](int extra) {
        int flags =
            (where.shared ? O_RDONLY | O_NONBLOCK : O_RDWR) | O_CLOEXEC | O_NOFOLLOW | extra;
        return open(where.path.c_str(), flags, mode);
    };
    int fd = openWith(0);
    if (fd < 0 && errno == ENOENT && create) {
        fd = openWith(O_CREAT | O_EXCL);
        // The creator's umask must not narrow a lock file that other users open.
        if (fd >= 0 && where.shared) fchmod(fd, kSharedMode);
        if (fd < 0 && errno == EEXIST) fd = openWith(0);  // another process made it meanwhile
    }
    return fd;
}

// Why the open object is not one to use, if it is not.
std::optional<std::string> refusalOf(int fd, const Location& where) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return "not a regular file";
    if (!where.shared && (info.st_uid != geteuid() || (info.st_mode & 0777) != kUserMode)) {
        // Made by someone else (or opened up since): whoever holds it is not one of ours.
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(info.st_mode & 0777));
        return "owner " + std::to_string(info.st_uid) + ", mode " + mode + ", not ours";
    }
    return std::nullopt;
}

// The first opener sizes the object and initialises the mutex, under a file lock so that a
// second opener never sees it half made. Closes `fd`.
Region* mapRegion(int fd) {
    if (flock(fd, LOCK_EX) != 0) {
        close(fd);
        return nullptr;
    }
    struct stat info {};
    void* memory = MAP_FAILED;
    bool ok = fstat(fd, &info) == 0 && (info.st_size >= static_cast<off_t>(sizeof(Region)) ||
                                        ftruncate(fd, sizeof(Region)) == 0);
    if (ok) memory = mmap(nullptr, sizeof(Region), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ok = memory != MAP_FAILED;
    auto* region = static_cast<Region*>(memory);
    if (ok && region->magic.load(std::memory_order_acquire) != kMagic) {
        ok = initialiseMutex(&region->mutex);
        if (ok) region->magic.store(kMagic, std::memory_order_release);
    }
    flock(fd, LOCK_UN);
    close(fd);
    if (!ok) {
        if (memory != MAP_FAILED) munmap(memory, sizeof(Region));
        return nullptr;
    }
    return region;
}

std::shared_ptr<NamedMutex::Shared> openShared(const Location& where, bool create,
                                               std::string* whyNot) {
    auto refuse = [&](std::string reason) {
        if (whyNot) *whyNot = where.path + ": " + reason;
        return nullptr;
    };
    std::lock_guard guard(registryLock);
    auto& map = registry();
    if (auto found = map.find(where.path); found != map.end()) return found->second;

    int fd = openObject(where, create);
    if (fd < 0) return errno == ENOENT ? nullptr : refuse(std::strerror(errno));
    if (std::optional<std::string> reason = refusalOf(fd, where)) {
        close(fd);
        return refuse(*reason);
    }
    auto shared = std::make_shared<NamedMutex::Shared>();
    if (where.shared) {
        shared->lockFd = fd;
        shared->pauseName = where.path;
    } else if (!(shared->region = mapRegion(fd))) {
        return nullptr;
    }
    map.emplace(where.path, shared);
    return shared;
}

std::unique_ptr<NamedMutex> openNamed(std::string_view name, bool create, std::string* whyNot) {
    auto where = locate(name, whyNot);
    if (!where) return nullptr;
    auto shared = openShared(*where, create, whyNot);
    if (!shared) return nullptr;
    return NamedMutex::make(std::string(name), std::move(shared));
}

}  // namespace

void releaseNamedMutexMappings() {
    std::lock_guard guard(registryLock);
    if (!registryInstance) return;
    // An owned mutex keeps its mapping (and its entry) for as long as the process lives.
    std::erase_if(*registryInstance,
                  [](const auto& entry) { return entry.second->ownedLevels.load() == 0; });
    if (registryInstance->empty()) {
        delete registryInstance;
        registryInstance = nullptr;
    }
}

NamedMutex::NamedMutex(std::string name, std::shared_ptr<Shared> shared)
    : name_(std::move(name)), shared_(std::move(shared)) {}

std::unique_ptr<NamedMutex> NamedMutex::make(std::string name, std::shared_ptr<Shared> shared) {
    return std::unique_ptr<NamedMutex>(new NamedMutex(std::move(name), std::move(shared)));
}

std::unique_ptr<NamedMutex> NamedMutex::create(std::string_view name, std::string* whyNot) {
    return openNamed(name, true, whyNot);
}

std::unique_ptr<NamedMutex> NamedMutex::openExisting(std::string_view name, std::string* whyNot) {
    return openNamed(name, false, whyNot);
}

NamedMutex::~NamedMutex() {
    if (ownerThread_ != currentThread()) return;
    while (held_ > 0 && release()) {}
}

namespace {

// Timed waits run on the monotonic clock, so a change of the wall clock cannot stretch them.
// ThreadSanitizer does not know pthread_mutex_clocklock and would then report every release
// as one of a mutex nobody holds: its builds wait on the wall clock instead.
#if defined(__SANITIZE_THREAD__)
constexpr clockid_t waitClock = CLOCK_REALTIME;
int timedLock(pthread_mutex_t* mutex, const timespec& deadline) {
    return pthread_mutex_timedlock(mutex, &deadline);
}
#else
constexpr clockid_t waitClock = CLOCK_MONOTONIC;
int timedLock(pthread_mutex_t* mutex, const timespec& deadline) {
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
}
#endif

}  // namespace

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(uint32_t milliseconds) {
    return milliseconds == kInfiniteWait ? Clock::time_point::max()
                                         : Clock::now() + std::chrono::milliseconds(milliseconds);
}

MutexWait waitForRegion(NamedMutex::Shared& shared, uint32_t milliseconds) {
    pthread_mutex_t* mutex = &shared.region->mutex;
    int result;
    if (milliseconds == 0) {
        result = pthread_mutex_trylock(mutex);
    } else if (milliseconds == kInfiniteWait) {
        result = pthread_mutex_lock(mutex);
    } else {
        timespec deadline{};
        clock_gettime(waitClock, &deadline);
        deadline.tv_sec += milliseconds / 1000;
        deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000L;
        if (deadline.tv_nsec >= 1'000'000'000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1'000'000'000L;
        }
        do {
            result = timedLock(mutex, deadline);
        } while (result == EINTR);
    }
    switch (result) {
        case 0: return MutexWait::Obtained;
        case EOWNERDEAD: pthread_mutex_consistent(mutex); return MutexWait::Abandoned;
        case EBUSY:
        case ETIMEDOUT: return MutexWait::TimedOut;
        default: return MutexWait::Failed;
    }
}

// Takes the flock of a shared lock file by `deadline`. A holder of another process that
// outlasts a wait pauses the waits of this whole process: while the pause lasts the lock is
// only tried, so a lock held for good costs one bounded wait per pause.
MutexWait takeFileLock(NamedMutex::Shared& shared, Clock::time_point deadline) {
    if (flock(shared.lockFd, LOCK_EX | LOCK_NB) == 0) return MutexWait::Obtained;
    if (errno != EWOULDBLOCK) return MutexWait::Failed;
    if (Clock::now() >= deadline || !mayWaitForSharedLock(shared.pauseName))
        return MutexWait::TimedOut;
    if (deadline == Clock::time_point::max()) {
        while (flock(shared.lockFd, LOCK_EX) != 0)
            if (errno != EINTR) return MutexWait::Failed;
        return MutexWait::Obtained;
    }
    // flock has no time-out of its own: try in short steps until the deadline.
    auto step = std::chrono::milliseconds(1);
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::min<Clock::duration>(step, deadline - Clock::now()));
        if (flock(shared.lockFd, LOCK_EX | LOCK_NB) == 0) return MutexWait::Obtained;
        if (errno != EWOULDBLOCK) return MutexWait::Failed;
        step = std::min(step * 2, std::chrono::milliseconds(20));
    }
    sharedLockWaitRanOut(shared.pauseName);
    return MutexWait::TimedOut;
}

MutexWait waitForFileLock(NamedMutex::Shared& shared, uint32_t milliseconds) {
    const uint64_t self = currentThread();
    const Clock::time_point deadline = deadlineAfter(milliseconds);
    std::unique_lock turn(shared.turn);
    if (shared.owner == self) {
        ++shared.levels;
        return MutexWait::Obtained;
    }
    while (shared.owner != 0) {
        if (deadline == Clock::time_point::max()) {
            shared.turnFreed.wait(turn);
        } else if (shared.turnFreed.wait_until(turn, deadline) == std::cv_status::timeout &&
                   shared.owner != 0) {
            return MutexWait::TimedOut;
        }
    }
    shared.owner = self;  // the others of this process wait while this thread takes the flock
    turn.unlock();
    const MutexWait result = takeFileLock(shared, deadline);
    turn.lock();
    if (result == MutexWait::Obtained) {
        shared.levels = 1;
    } else {
        shared.owner = 0;
        shared.turnFreed.notify_one();
    }
    return result;
}

bool releaseFileLock(NamedMutex::Shared& shared) {
    std::lock_guard turn(shared.turn);
    if (shared.owner != currentThread() || shared.levels == 0) return false;
    if (--shared.levels == 0) {
        flock(shared.lockFd, LOCK_UN);
        shared.owner = 0;
        shared.turnFreed.notify_one();
    }
    return true;
}

}  // namespace

MutexWait NamedMutex::wait(uint32_t milliseconds) {
    const MutexWait result = shared_->lockFd >= 0 ? waitForFileLock(*shared_, milliseconds)
                                                  : waitForRegion(*shared_, milliseconds);
    if (result == MutexWait::Obtained || result == MutexWait::Abandoned) {
        shared_->ownedLevels.fetch_add(1);
        if (held_ == 0) ownerThread_ = currentThread();
        if (ownerThread_ == currentThread()) ++held_;
    }
    return result;
}

bool NamedMutex::release() {
    const bool released = shared_->lockFd >= 0 ? releaseFileLock(*shared_)
                                               : pthread_mutex_unlock(&shared_->region->mutex) == 0;
    if (!released) return false;
    shared_->ownedLevels.fetch_sub(1);
    if (held_ > 0 && ownerThread_ == currentThread()) --held_;
    return true;
}
