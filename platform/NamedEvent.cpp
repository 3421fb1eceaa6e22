#include "platform/NamedEvent.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/PrivateFolder.h"

// The shared state of one event: one word, the signalled bit and a generation above it.
// Waiters sleep on the word with a futex and own nothing in the record, so one that dies
// at any point leaves nothing behind that could hold up the others. A waiter remembers
// the generation it started at: a pulse moves the generation on and leaves the bit clear,
// so it releases exactly those who waited.
struct NamedEvent::Record {
    uint32_t magic;
    uint32_t word;
};

namespace {

constexpr uint32_t kMagic = 0x54455655;  // written last: a record is complete once it shows
constexpr uint32_t kSignalled = 1;
constexpr uint32_t kGenerationStep = 2;
constexpr mode_t kMode = 0600;

std::atomic_ref<uint32_t> wordOf(NamedEvent::Record* r) {
    return std::atomic_ref<uint32_t>(r->word);
}

uint32_t generationOf(uint32_t word) {
    return word & ~kSignalled;
}

// Shared (not private) futex operations: the word lives in a mapping of several processes.
void wakeAll(NamedEvent::Record* r) {
    ::syscall(SYS_futex, &r->word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void sleepWhile(NamedEvent::Record* r, uint32_t seen, const timespec* relative) {
    ::syscall(SYS_futex, &r->word, FUTEX_WAIT, seen, relative, nullptr, 0);
}

// Sleeps on the word until `done` holds for it (the word) or `timeout` has passed (nothing);
// no timeout waits without limit.
template <typename Done>
std::optional<uint32_t> sleepUntil(NamedEvent::Record* r,
                                   std::optional<std::chrono::milliseconds> timeout, Done done) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
    std::atomic_ref<uint32_t> word = wordOf(r);
    for (;;) {
        const uint32_t seen = word.load();
        if (done(seen)) return seen;
        if (!timeout) {
            sleepWhile(r, seen, nullptr);
            continue;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return std::nullopt;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec relative{static_cast<time_t>(ns / 1'000'000'000),
                                static_cast<long>(ns % 1'000'000'000)};
        sleepWhile(r, seen, &relative);
    }
}

template <typename Change>
void update(NamedEvent::Record* r, Change change) {
    std::atomic_ref<uint32_t> word = wordOf(r);
    uint32_t seen = word.load();
    while (!word.compare_exchange_weak(seen, change(seen))) {}
}

std::string safeName(std::string_view name) {
    std::string out;
    for (char c : name) out += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
    return out;
}

bool sameFile(int fd, const std::string& path) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Only the user's own record, as its creator made it, is used: another user who could
// write a record of this name could signal the programs or hold them up.
bool isOwnRecord(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 07777) == kMode;
}

NamedEvent::Record* mapRecord(int fd) {
    void* p =
        ::mmap(nullptr, sizeof(NamedEvent::Record), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<NamedEvent::Record*>(p);
}

}  // namespace

std::string namedEventPath(std::string_view name) {
    // Per-user events sit beside the per-user mutexes, in a folder that is the user's alone.
    std::string folder = userObjectSubfolder("tessaroll-events");
    return folder.empty() ? std::string() : folder + "/" + safeName(name);
}

std::unique_ptr<NamedEvent> NamedEvent::create(std::string_view name) {
    return attach(name, true);
}
std::unique_ptr<NamedEvent> NamedEvent::open(std::string_view name) {
    return attach(name, false);
}

namespace {

enum class Outcome { Attached, TryAgain, Failed };

struct Attempt {
    Outcome outcome;
    int fd = -1;
    NamedEvent::Record* record = nullptr;
};

// Uses the record file open as `fd` when it is a live event's; errno says why not.
Attempt useExisting(int fd, const std::string& path, bool mayCreate) {
    using Record = NamedEvent::Record;
    if (!isOwnRecord(fd)) {
        ::close(fd);
        errno = EACCES;
        return {Outcome::Failed};
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Nobody holds it: what is left is the file of an event that has gone.
        if (sameFile(fd, path)) ::unlink(path.c_str());
        ::close(fd);
        if (!mayCreate) {
            errno = ENOENT;
            return {Outcome::Failed};
        }
        return {Outcome::TryAgain};
    }
    struct stat st {};
    if (::flock(fd, LOCK_SH) != 0 || !sameFile(fd, path) || ::fstat(fd, &st) != 0 ||
        st.st_size < static_cast<off_t>(sizeof(Record))) {
        ::close(fd);
        return {Outcome::TryAgain};
    }
    Record* record = mapRecord(fd);
    if (!record ||
        std::atomic_ref<uint32_t>(record->magic).load(std::memory_order_acquire) != kMagic) {
        if (record) ::munmap(record, sizeof(Record));
        ::close(fd);
        errno = EPROTO;
        return {Outcome::Failed};
    }
    return {Outcome::Attached, fd, record};
}

// Builds the record under a private name and publishes it complete, already held.
Attempt publishNew(const std::string& path) {
    using Record = NamedEvent::Record;
    std::string temp = path + ".XXXXXX";
    int tfd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (tfd < 0) return {Outcome::Failed};
    Record* record = nullptr;
    bool ready = ::fchmod(tfd, kMode) == 0 && ::ftruncate(tfd, sizeof(Record)) == 0 &&
                 (record = mapRecord(tfd)) != nullptr && ::flock(tfd, LOCK_SH) == 0;
    if (ready) {
        record->word = 0;
        std::atomic_ref<uint32_t>(record->magic).store(kMagic, std::memory_order_release);
    }
    bool published = ready && ::link(temp.c_str(), path.c_str()) == 0;
    int linkError = errno;
    ::unlink(temp.c_str());
    if (published) return {Outcome::Attached, tfd, record};
    if (record) ::munmap(record, sizeof(Record));
    ::close(tfd);
    if (!ready || linkError != EEXIST) return {Outcome::Failed};
    return {Outcome::TryAgain};  // another process published first: open theirs
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::attach(std::string_view name, bool mayCreate) {
    std::string path = namedEventPath(name);
    if (path.empty() || name.empty()) return nullptr;
    for (int attempt = 0; attempt < 20; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ELOOP) errno = EACCES;  // a link planted under our name
        if (fd < 0 && (errno != ENOENT || !mayCreate)) return nullptr;
        const Attempt result = fd >= 0 ? useExisting(fd, path, mayCreate) : publishNew(path);
        if (result.outcome == Outcome::Failed) return nullptr;
        if (result.outcome == Outcome::Attached) {
            std::unique_ptr<NamedEvent> event(new NamedEvent());
            event->fd_ = result.fd;
            event->record_ = result.record;
            return event;
        }
    }
    return nullptr;
}

NamedEvent::~NamedEvent() {
    if (record_) ::munmap(record_, sizeof(Record));
    if (fd_ >= 0) ::close(fd_);
}

bool NamedEvent::set() {
    update(record_,
           [](uint32_t word) { return (generationOf(word) + kGenerationStep) | kSignalled; });
    wakeAll(record_);
    return true;
}

bool NamedEvent::reset() {
    // Waiters see the word change and go back to sleep: neither bit nor generation says go.
    update(record_, [](uint32_t word) { return generationOf(word); });
    return true;
}

bool NamedEvent::pulse() {
    update(record_, [](uint32_t word) { return generationOf(word) + kGenerationStep; });
    wakeAll(record_);
    return true;
}

bool NamedEvent::wait(std::optional<std::chrono::milliseconds> timeout) {
    const uint32_t start = generation();
    return sleepUntil(record_, timeout,
                      [start](uint32_t word) {
                          return (word & kSignalled) != 0 || generationOf(word) != start;
                      })
        .has_value();
}

uint32_t NamedEvent::generation() const {
    return generationOf(wordOf(record_).load());
}

unsigned NamedEvent::waitForChange(uint32_t& seen, std::chrono::milliseconds timeout) {
    const uint32_t from = seen;
    const std::optional<uint32_t> word =
        sleepUntil(record_, timeout, [from](uint32_t w) { return generationOf(w) != from; });
    if (!word) return 0;
    seen = generationOf(*word);
    return (seen - from) / kGenerationStep;  // unsigned: right across a wrap of the word
}
