#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>

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

bool usableFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           access(path.c_str(), W_OK | X_OK) == 0;
}

// Per-user names live in the user's runtime folder, so each login (and each test
// sandbox) has its own; without one, in /dev/shm under the uid.
struct Location {
    std::string path;  // file path, or the shm_open name when `shm`
    bool shm = false;
    mode_t mode = 0600;
    bool shared = false;  // a "Global\" object, open to every user
};

std::optional<Location> locate(std::string_view name) {
    if (name.substr(0, kGlobalPrefix.size()) == kGlobalPrefix) {
        return Location{"/tessaroll-mutex.Global." + fileNameFor(name.substr(kGlobalPrefix.size())),
                        true, 0666, true};
    }
    if (name.substr(0, kLocalPrefix.size()) == kLocalPrefix)
        name.remove_prefix(kLocalPrefix.size());
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && usableFolder(runtime)) {
        std::string folder = std::string(runtime) + "/tessaroll-mutexes";
        if (mkdir(folder.c_str(), 0700) == 0 || usableFolder(folder)) {
            return Location{folder + "/" + fileNameFor(name), false, 0600};
        }
    }
    return Location{"/tessaroll-mutex.u" + std::to_string(geteuid()) + "." + fileNameFor(name),
                    true, 0600};
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
    Region* region = nullptr;
    // Levels of ownership threads of this process took and did not give back. A mapping
    // is only unmapped at zero: the kernel and the C library reach an owned robust mutex
    // through its memory when its thread unlocks it or ends.
    std::atomic<int64_t> ownedLevels{0};
    ~Shared() {
        if (region && ownedLevels.load() == 0) munmap(region, sizeof(Region));
    }
};

namespace {

// One mapping per object and process, kept for the life of the process: a thread may
// still own the mutex after every handle is gone, and the kernel needs the mapping to
// mark the mutex abandoned when that thread ends. Only an unloaded plug-in copy gives its
// own up (releaseNamedMutexMappings).
using Registry = std::map<std::string, std::shared_ptr<NamedMutex::Shared>>;
std::mutex registryLock;
Registry* registryInstance = nullptr;  // guarded by registryLock
Registry& registry() {
    if (!registryInstance) registryInstance = new Registry();
    return *registryInstance;
}

// Opens what is there first: the kernel may refuse O_CREAT on another user's file in a
// sticky folder such as /dev/shm even when its mode lets us in.
int openObject(const Location& where, bool create) {
    auto openWith = [&](int extra) {
        int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | extra;
        return where.shm ? shm_open(where.path.c_str(), flags, where.mode)
                         : open(where.path.c_str(), flags, where.mode);
    };
    int fd = openWith(0);
    if (fd < 0 && errno == ENOENT && create) {
        fd = openWith(O_CREAT | O_EXCL);
        if (fd < 0 && errno == EEXIST) fd = openWith(0);  // another process made it meanwhile
    }
    return fd;
}

// Why the open object is not one to use, if it is not.
std::optional<std::string> refusalOf(int fd, const Location& where) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return "not a regular file";
    if (where.shared) {
        // The creator's umask must not narrow a mutex that other users open.
        if (info.st_uid == geteuid() && (info.st_mode & 0777) != where.mode) fchmod(fd, where.mode);
    } else if (info.st_uid != geteuid() || (info.st_mode & 0777) != where.mode) {
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

std::shared_ptr<NamedMutex::Shared> mapObject(const Location& where, bool create,
                                              std::string* whyNot) {
    auto refuse = [&](std::string reason) {
        if (whyNot) *whyNot = where.path + ": " + reason;
        return nullptr;
    };
    std::string key = (where.shm ? "shm:" : "file:") + where.path;
    std::lock_guard guard(registryLock);
    auto& map = registry();
    if (auto found = map.find(key); found != map.end()) return found->second;

    int fd = openObject(where, create);
    if (fd < 0) return errno == ENOENT ? nullptr : refuse(std::strerror(errno));
    if (std::optional<std::string> reason = refusalOf(fd, where)) {
        close(fd);
        return refuse(*reason);
    }
    Region* region = mapRegion(fd);
    if (!region) return nullptr;
    auto shared = std::make_shared<NamedMutex::Shared>();
    shared->region = region;
    map.emplace(std::move(key), shared);
    return shared;
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

std::unique_ptr<NamedMutex> NamedMutex::create(std::string_view name, std::string* whyNot) {
    auto where = locate(name);
    if (!where) return nullptr;
    auto shared = mapObject(*where, true, whyNot);
    if (!shared) return nullptr;
    return std::unique_ptr<NamedMutex>(new NamedMutex(std::string(name), std::move(shared)));
}

std::unique_ptr<NamedMutex> NamedMutex::openExisting(std::string_view name, std::string* whyNot) {
    auto where = locate(name);
    if (!where) return nullptr;
    auto shared = mapObject(*where, false, whyNot);
    if (!shared) return nullptr;
    return std::unique_ptr<NamedMutex>(new NamedMutex(std::string(name), std::move(shared)));
}

NamedMutex::~NamedMutex() {
    if (held_ == 0 || ownerThread_ != currentThread()) return;
    while (held_ > 0 && pthread_mutex_unlock(&shared_->region->mutex) == 0) {
        --held_;
        shared_->ownedLevels.fetch_sub(1);
    }
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

MutexWait NamedMutex::wait(uint32_t milliseconds) {
    pthread_mutex_t* mutex = &shared_->region->mutex;
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
        case 0:
        case EOWNERDEAD:
            if (result == EOWNERDEAD) pthread_mutex_consistent(mutex);
            shared_->ownedLevels.fetch_add(1);
            if (held_ == 0) ownerThread_ = currentThread();
            if (ownerThread_ == currentThread()) ++held_;
            return result == 0 ? MutexWait::Obtained : MutexWait::Abandoned;
        case EBUSY:
        case ETIMEDOUT: return MutexWait::TimedOut;
        default: return MutexWait::Failed;
    }
}

bool NamedMutex::release() {
    if (pthread_mutex_unlock(&shared_->region->mutex) != 0) return false;
    shared_->ownedLevels.fetch_sub(1);
    if (held_ > 0 && ownerThread_ == currentThread()) --held_;
    return true;
}
