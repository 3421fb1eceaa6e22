#include "platform/NamedEvent.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// The shared state of one event. A waiter remembers the generation it started at, so a
// pulse (generation moves on, state stays unsignalled) releases exactly those who waited.
struct NamedEvent::Record {
    uint32_t magic;
    uint32_t signalled;
    uint64_t generation;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
};

namespace {

constexpr uint32_t kMagic = 0x54455654;  // written last: a record is complete once it shows

// Everyone who opens an event keeps a shared lock on its file, so "nobody holds it" is a
// lock that can be taken alone.
std::string safeName(std::string_view name) {
    std::string out;
    for (char c : name) out += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
    return out;
}

class RecordLock {
public:
    explicit RecordLock(NamedEvent::Record* r) : r_(r) {
        if (pthread_mutex_lock(&r_->mutex) == EOWNERDEAD) pthread_mutex_consistent(&r_->mutex);
    }
    ~RecordLock() { pthread_mutex_unlock(&r_->mutex); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

private:
    NamedEvent::Record* r_;
};

bool sameFile(int fd, const std::string& path) {
    struct stat a{}, b{};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool initRecord(NamedEvent::Record* r) {
    r->signalled = 0;
    r->generation = 0;
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(&r->mutex, &ma);
    pthread_mutexattr_destroy(&ma);
    if (rc != 0) return false;
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    rc = pthread_cond_init(&r->cond, &ca);
    pthread_condattr_destroy(&ca);
    if (rc != 0) return false;
    __atomic_store_n(&r->magic, kMagic, __ATOMIC_RELEASE);
    return true;
}

NamedEvent::Record* mapRecord(int fd) {
    void* p = ::mmap(nullptr, sizeof(NamedEvent::Record), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<NamedEvent::Record*>(p);
}

}  // namespace

std::string namedEventPath(std::string_view name) {
    // Per-user events sit beside the per-user mutexes: in the user's runtime folder (each
    // login and each test sandbox has its own), else in /dev/shm under the uid.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        std::string folder = std::string(runtime) + "/tessaroll-events";
        struct stat st{};
        if ((::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) && ::lstat(folder.c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
            return folder + "/" + safeName(name);
        }
    }
    return "/dev/shm/tessaroll-event.u" + std::to_string(::geteuid()) + "." + safeName(name);
}

std::unique_ptr<NamedEvent> NamedEvent::create(std::string_view name) { return attach(name, true); }
std::unique_ptr<NamedEvent> NamedEvent::open(std::string_view name) { return attach(name, false); }

std::unique_ptr<NamedEvent> NamedEvent::attach(std::string_view name, bool mayCreate) {
    std::string path = namedEventPath(name);
    if (path.empty() || name.empty()) return nullptr;
    for (int attempt = 0; attempt < 20; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                // Nobody holds it: what is left is the file of an event that has gone.
                if (sameFile(fd, path)) ::unlink(path.c_str());
                ::close(fd);
                if (!mayCreate) return nullptr;
                continue;
            }
            struct stat st{};
            if (::flock(fd, LOCK_SH) != 0 || !sameFile(fd, path) || ::fstat(fd, &st) != 0 ||
                st.st_size < static_cast<off_t>(sizeof(Record))) {
                ::close(fd);
                continue;
            }
            Record* record = mapRecord(fd);
            if (!record || __atomic_load_n(&record->magic, __ATOMIC_ACQUIRE) != kMagic) {
                if (record) ::munmap(record, sizeof(Record));
                ::close(fd);
                return nullptr;
            }
            std::unique_ptr<NamedEvent> event(new NamedEvent());
            event->fd_ = fd;
            event->record_ = record;
            return event;
        }
        if (errno != ENOENT || !mayCreate) return nullptr;

        // Build the record under a private name and publish it complete, already held.
        std::string temp = path + ".XXXXXX";
        int tfd = ::mkostemp(temp.data(), O_CLOEXEC);
        if (tfd < 0) return nullptr;
        Record* record = nullptr;
        bool ready = ::ftruncate(tfd, sizeof(Record)) == 0 && (record = mapRecord(tfd)) != nullptr &&
                     initRecord(record) && ::flock(tfd, LOCK_SH) == 0;
        bool published = ready && ::link(temp.c_str(), path.c_str()) == 0;
        int linkError = errno;
        ::unlink(temp.c_str());
        if (published) {
            std::unique_ptr<NamedEvent> event(new NamedEvent());
            event->fd_ = tfd;
            event->record_ = record;
            return event;
        }
        if (record) ::munmap(record, sizeof(Record));
        ::close(tfd);
        if (!ready || linkError != EEXIST) return nullptr;
        // Another process published first: open theirs.
    }
    return nullptr;
}

NamedEvent::~NamedEvent() {
    if (record_) ::munmap(record_, sizeof(Record));
    if (fd_ >= 0) ::close(fd_);
}

bool NamedEvent::set() {
    RecordLock lock(record_);
    record_->signalled = 1;
    ++record_->generation;
    pthread_cond_broadcast(&record_->cond);
    return true;
}

bool NamedEvent::reset() {
    RecordLock lock(record_);
    record_->signalled = 0;
    return true;
}

bool NamedEvent::pulse() {
    RecordLock lock(record_);
    record_->signalled = 0;
    ++record_->generation;
    pthread_cond_broadcast(&record_->cond);
    return true;
}

bool NamedEvent::wait(std::optional<std::chrono::milliseconds> timeout) {
    timespec deadline{};
    if (timeout) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        long long ns = deadline.tv_nsec + (timeout->count() % 1000) * 1'000'000LL;
        deadline.tv_sec += static_cast<time_t>(timeout->count() / 1000 + ns / 1'000'000'000LL);
        deadline.tv_nsec = static_cast<long>(ns % 1'000'000'000LL);
    }
    RecordLock lock(record_);
    const uint64_t start = record_->generation;
    while (!record_->signalled && record_->generation == start) {
        int rc = timeout ? pthread_cond_timedwait(&record_->cond, &record_->mutex, &deadline)
                         : pthread_cond_wait(&record_->cond, &record_->mutex);
        if (rc == EOWNERDEAD) pthread_mutex_consistent(&record_->mutex);
        if (rc == ETIMEDOUT) break;
    }
    return record_->signalled || record_->generation != start;
}
