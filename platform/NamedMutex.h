// Named mutexes shared between the programs, with the semantics the programs were
// written for: owned by a thread, recursive for its owner, waits with a time-out (0 is a
// try-lock), and abandonment reported when the owning thread or process ended without
// releasing it.
//
// A name beginning with "Global\" is shared by every user of the machine: a lock file that
// other users can at most hold, nothing of it mapped; a wait for it that runs out keeps the
// whole process from waiting for it again for a while (kSharedLockPause), and it is never
// reported abandoned. Any other name (also one beginning with "Local\") is the current
// user's own, in a folder that is the user's alone, so two users never see each other's
// mutexes and neither do two test sandboxes with different runtime folders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr uint32_t kInfiniteWait = 0xFFFFFFFF;

enum class MutexWait {
    Obtained,   // the calling thread owns the mutex (once more, when it already did)
    Abandoned,  // the previous owner ended holding it; the calling thread owns it now
    TimedOut,   // another thread or process holds it
    Failed,
};

// Unmaps (or closes) every mutex of this process that no thread owns and that no handle
// still uses (a handle in use gives it up when it goes). For a plug-in copy that is being
// unloaded: programs keep theirs for as long as they run.
void releaseNamedMutexMappings();

class NamedMutex {
public:
    // Opens the mutex of that name, creating it when it does not exist yet. Not owned
    // by the caller. Null when the shared object cannot be made, and for a per-user
    // object that another user made or opened up: `whyNot` then says why.
    static std::unique_ptr<NamedMutex> create(std::string_view name, std::string* whyNot = nullptr);
    // Opens the mutex only when it exists already; null otherwise.
    static std::unique_ptr<NamedMutex> openExisting(std::string_view name,
                                                    std::string* whyNot = nullptr);

    // Releases what this handle still holds when it goes away on the owning thread; on
    // another thread the ownership stays with the owner, as closing a handle leaves it.
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Waits at most `milliseconds` (kInfiniteWait: no limit).
    MutexWait wait(uint32_t milliseconds);
    // Gives up one level of ownership; false when the calling thread does not own it.
    bool release();

    const std::string& name() const { return name_; }

    struct Shared;  // the open object, shared by all handles of one name in a process
    static std::unique_ptr<NamedMutex> make(std::string name, std::shared_ptr<Shared> shared);

private:
    NamedMutex(std::string name, std::shared_ptr<Shared> shared);
    std::string name_;
    std::shared_ptr<Shared> shared_;
    uint64_t ownerThread_ = 0;  // thread that took `held_`
    uint32_t held_ = 0;         // levels of ownership taken through this handle
};
