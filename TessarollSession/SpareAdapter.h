// The next session's adapter, made ahead of the page that will need it: a private copy of
// the installed library, already loaded, prepared on a background thread. A new session
// takes it, and its file moves into the session's slot folder once the page has its answer,
// so neither the copy nor the loader's work (mapping, relocations, constructors), nor what
// the caller prepares, nor the move lies on the page's request.
//
// A spare is made after each session has opened (never for an idle service): making one
// holds the loader, which the opening session needs itself. It is used only while the installed
// library is still the file it was copied from; otherwise the session copies and loads as it would
// without one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/FileIdentity.h"
#include "platform/SharedLibrary.h"

// A copy of the library `from` at `to`, never over an existing file, readable by the user
// alone: a reflink where the file system shares blocks, else a copy inside the kernel,
// else through a buffer. `source` receives the identity of what was copied. False (and
// nothing left at `to`) when it cannot be made.
bool copyLibrary(const std::string& from, const std::string& to, FileIdentity* source = nullptr);

class SpareAdapter {
public:
    // What the maker does with a copy besides loading it: `prepare` runs on the maker's
    // thread once the copy is loaded, `retire` before a copy that was never taken is
    // unloaded.
    struct Preparation {
        std::function<void(const SharedLibrary&)> prepare;
        std::function<void(const SharedLibrary&)> retire;
    };

    // Spares are made in `folder` (created when the first is made); clearing what a crash
    // left there is the caller's, at start-up.
    explicit SpareAdapter(std::string folder, Preparation preparation = {});
    ~SpareAdapter();
    SpareAdapter(const SpareAdapter&) = delete;
    SpareAdapter& operator=(const SpareAdapter&) = delete;

    // From now on a loaded copy of `library` is kept ready (another library replaces it).
    void keepReady(const std::string& library);

    // From now on keepReady only notes that a spare is wanted, and the making starts at the
    // next wakeHeld: a service calls it once an answer has gone out, so waking the maker
    // (which takes as long as a small request here) never delays the page that opened the
    // session. Called before any keepReady.
    void holdWakes();
    void wakeHeld();

    // Whether a copy is ready to be taken.
    bool ready();

    // The ready copy of `library`, loaded; its file moves to `slotPath` when the maker next
    // wakes (before it makes the next spare) or at settle(), whichever comes first. Empty
    // when none is ready, the installed library is no longer the file it was copied from, or
    // something lies at `slotPath` already; the caller then copies and loads itself.
    SharedLibrary take(const std::string& library, const std::string& slotPath);

    // Moves a taken copy's file that is still on its way to its slot's path there now.
    // Whoever unloads or deletes a slot's copy calls it first.
    void settle();

    // No more spares: waits for one in the making, unloads and deletes the ready one, and
    // moves a taken copy's file that is still on its way. Any thread, also several at once;
    // each returns once all that is done.
    void stop();

private:
    struct Ready {
        std::string library;  // the installed file it was copied from
        FileIdentity source;
        std::string path;  // where the copy lies
        SharedLibrary loaded;
    };
    struct Move {
        std::string from, to;
    };

    void run();
    std::optional<Ready> make(const std::string& library, const std::string& path);
    void discard(Ready& ready) const;

    const std::string folder_;
    const Preparation preparation_;
    std::mutex lock_;
    std::condition_variable wake_;
    // Guarded by lock_.
    std::string library_;  // what to keep ready; empty: nothing yet
    bool wanted_ = false;  // a spare is to be made (cleared while one is made)
    bool stopping_ = false;
    bool holdWakes_ = false;
    std::atomic<bool> wakeHeld_{false};  // a keepReady waits for wakeHeld
    std::optional<Ready> ready_;
    uint64_t made_ = 0;  // spares made so far: each gets a file name of its own
    std::thread thread_;
    std::mutex stopLock_;  // held by stop() throughout
    // The taken copy whose file is not in its slot yet. Held while the file moves, so that
    // a settle() returns only once it lies there.
    std::mutex moveLock_;
    std::optional<Move> move_;  // guarded by moveLock_
};
