// The session table: 32 slots, each holding one page session and the adapter copy it
// loaded, the age tickets that order the slots for eviction, and the work folders.
//
// Two kinds of lock: the table's own short lock guards who owns which slot (id, origin,
// age ticket, generation); each slot's call lock guards its adapter and is held for the
// whole of a call into it, so calls of one session run in order and a release or an
// eviction waits for that session only. A slot's call lock is never taken while the
// table's lock is held. Inside a slot's call lock, each call into its library also holds
// that library's lock (LoadedAdapter::libraryLock), which matters only where slots share
// one loaded instance.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TessarollUtil/JsonMap.h"
#include "TessarollUtil/Secure.h"
#include "platform/SharedLibrary.h"

// The adapter's two exports, looked up by these names in every loaded copy. The returned
// text stays owned by the adapter and is valid until the next call into that library, of
// whichever session: callAdapter copies it before it lets the next call in.
extern "C" {
typedef const char* (*CallMethodFunction)(const char* jsonText);
typedef const char* (*CallJsonMapMethodFunction)(const JsonMap* map, const char* functionName);
}

inline constexpr int sessionSlotCount = 32;
inline constexpr uint64_t freeSessionAge = UINT64_MAX;  // age ticket of a free slot
inline constexpr std::size_t dllPathLimit = 259;        // characters kept of a loaded path

// The finished text of an answer that holds nothing secret, shared by the responses that
// send it (on any listener) for as long as each is out.
using ReadyAnswer = std::shared_ptr<const std::string>;

// What a slot's adapter holds; guarded by the slot's call lock.
struct LoadedAdapter {
    std::optional<std::string> sessionId;  // absent or empty: nothing loaded
    std::optional<std::string> adapterName;
    std::optional<std::string> adapterVersion;
    std::optional<std::string> installerVersion;
    std::string dllPath;  // the library that was loaded for this slot
    SharedLibrary library;
    // Held around each call into `library` and the copy of its answer. Sessions that fall
    // back to the installed library share one loaded instance, its globals and its answer
    // text, so they share this lock too; a session's own copy has a lock of its own.
    std::shared_ptr<std::mutex> libraryLock;
    CallMethodFunction callMethod = nullptr;
    CallJsonMapMethodFunction callJsonMapMethod = nullptr;
    int32_t browserMode = 0;  // 1: close and release requests are ignored
    int64_t initTime = 0;     // seconds since 1970 when the slot was taken
    // The serialised answer to an Echo on this session, made by the first one: it holds
    // only the versions, which stay as they are until the slot is released.
    ReadyAnswer echoAnswer;

    bool inUse() const { return sessionId && !sessionId->empty(); }
};

// A copy of one slot's state, for logs and tests.
struct SlotView {
    std::string sessionId;  // empty: the slot is free
    std::string origin;
    uint64_t age = freeSessionAge;
    std::string dllPath;
    int32_t browserMode = 0;
    bool loaded = false;
    bool jsonMapEntry = false;
};

class SessionTable {
public:
    // Start-up, before any request: the folders taken from `copyPath` (the main program's
    // data folder) and `executePath` (the folder of the running program), the version
    // marker written, and "<workFolder>/Tempfile/Session_0..31" recreated empty.
    SessionTable(std::string_view copyPath, std::string_view executePath);
    SessionTable(const SessionTable&) = delete;
    SessionTable& operator=(const SessionTable&) = delete;

    const std::string& workFolder() const { return workFolder_; }
    const std::string& installFolder() const { return installFolder_; }
    // "<workFolder>/Tempfile/Session_<index>/<adapterName>.so": where slot `index` keeps its copy.
    std::string sessionCopyPath(int index, std::string_view adapterName) const;
    // "<workFolder>/ZEFAGPKITessarollMainVersion".
    std::string versionMarkerPath() const;

    // A slot claimed for one session: its index and the generation it had when claimed.
    struct Claim {
        int index = -1;
        uint64_t generation = 0;
    };

    // The slot owned by `sessionId` opened from `origin`, and the generation to check once
    // its call lock is held.
    std::optional<Claim> find(std::string_view sessionId, std::string_view origin);
    // Whether `sessionId` owns a slot whatever its origin.
    bool owned(std::string_view sessionId);
    // Claims a slot for a new session under `sessionId`: a free one, else the oldest session
    // of the origin that holds the most (the oldest of all among origins that hold as many),
    // so one origin's newcomers push out its own sessions rather than another origin's
    // (`evicted` set; its adapter is released by whoever takes its call lock next), unless
    // `mayEvict` is false (`full`, nothing claimed). `closed` after close(); `taken` when the
    // id found an owner meanwhile.
    struct Opening {
        enum { claimed, closed, taken, full } outcome = closed;
        Claim claim;
        bool evicted = false;
    };
    Opening open(std::string_view sessionId, std::string_view origin, bool mayEvict = true);
    // True while `claim` still holds its slot (checked with the slot's call lock held).
    bool holds(const Claim& claim);
    // The slot leaves its session: free for the next one, and every claim on it void.
    void forget(const Claim& claim);

    // No session opens after this; the claimed slots oldest first.
    std::vector<Claim> close();
    bool closed();

    std::mutex& callLock(int index) { return slots_[static_cast<std::size_t>(index)].callLock; }
    // The slot's adapter; only with its call lock held.
    LoadedAdapter& adapter(int index) { return slots_[static_cast<std::size_t>(index)].adapter; }
    // The lock of the loaded library (see LoadedAdapter::libraryLock): one per instance the
    // loader hands out, shared by every slot that holds that instance.
    std::shared_ptr<std::mutex> libraryLock(const SharedLibrary& library);

    // Ends the slot's adapter (call lock held): texts cleared, the adapter told to release,
    // the module unloaded and the slot's own copy of the library deleted. Nothing loaded: nothing.
    void releaseAdapter(int index);

    SlotView view(int index);
    int slotOf(std::string_view sessionId);
    // The owned slot with the smallest age ticket, or -1 when every slot is free.
    int oldestSlot();

    // The next age ticket; for tests of the ordering past 32 bits.
    void setNextAgeTicket(uint64_t ticket);

private:
    struct Slot {
        // Guarded by lock_.
        std::string owner;  // session id; empty: free
        std::string origin;
        uint64_t age = freeSessionAge;
        // Changed only under lock_; read without it by holds(), which every request on an
        // open session asks with the slot's call lock held.
        std::atomic<uint64_t> generation{0};
        // Guarded by callLock.
        std::mutex callLock;
        LoadedAdapter adapter;
    };

    int oldestLocked() const;
    int evictionCandidateLocked() const;
    bool ownedLocked(std::string_view sessionId) const;

    std::string workFolder_;
    std::string installFolder_;
    std::mutex lock_;
    std::array<Slot, sessionSlotCount> slots_;
    uint64_t ageCounter_ = 0;
    bool closed_ = false;
    // Loaded instances by their loader handle; an entry lives as long as a slot holds it.
    std::mutex libraryLocksLock_;
    std::map<void*, std::weak_ptr<std::mutex>> libraryLocks_;
};

// Calls the adapter: callJsonMapMethod when it has it, else callMethod with the map's
// JSON text (for maps built here, the map written out as JSON), under the library's lock.
// A copy of the answer (empty when the adapter gave none), wiped when it goes; nullopt when
// it has neither entry point.
std::optional<SecretString> callAdapter(const LoadedAdapter& adapter, const JsonMap& map,
                                        const char* functionName);

// The adapter's two entry points in `library` (either may be missing).
void findAdapterEntryPoints(LoadedAdapter& adapter, const SharedLibrary& library);

// The adapter's own release, which it needs before its library is unloaded.
void callAdapterRelease(const LoadedAdapter& adapter);

// One of the adapter's system requests: "functionname", "AdapterJsonKeyCheck" = "true",
// "TessarollFunctionIndex" = `functionIndex`, and "url" when given.
JsonMapPtr makeSystemRequest(const char* functionName, const char* functionIndex,
                             const std::optional<std::string_view>& url = std::nullopt);
