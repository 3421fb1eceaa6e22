#include "TessarollSession/SessionTable.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "TessarollSession/SessionService.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/RequestPath.h"
#include "platform/Folders.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t folderLimit = 259;

std::string cut(std::string_view text, std::size_t limit) {
    return std::string(text.substr(0, std::min(text.size(), limit)));
}

// The adapter's name as a file on this system.
std::string adapterFileName(std::string_view adapterName) {
    return diskFileName(std::string(adapterName) + ".dll");
}

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    out += '"';
}

// The map's pairs as a plain JSON object, for adapters that only take JSON text.
std::string plainJsonText(const JsonMap& map) {
    std::string out = "{";
    for (int i = 0; i < map.count && i < kJsonMapCapacity; ++i) {
        const JsonMapEntry& entry = map.entries[i];
        if (!entry.key || !entry.value) continue;
        if (out.size() > 1) out += ", ";
        appendJsonString(out, entry.key);
        out += ": ";
        appendJsonString(out, entry.value);
    }
    out += "}";
    return out;
}

void logAndClear(const char* message, std::optional<std::string>& text) {
    writeNormalLog(message, text ? text->c_str() : "");
    text.reset();
}

}  // namespace

SessionTable::SessionTable(std::string_view copyPath, std::string_view executePath)
    : workFolder_(cut(copyPath, folderLimit)), installFolder_(cut(executePath, folderLimit)) {
    setLog("TessarollSession");
    std::error_code ec;
    fs::create_directories(workFolder_, ec);

    // The marker always holds exactly this text, whatever was there before.
    {
        std::ofstream marker(versionMarkerPath(), std::ios::out | std::ios::trunc);
        if (workFolder_.empty() || !marker ||
            !(marker << "Tessaroll version=" << kTessarollVersion) || !marker.flush())
            writeWarningLog("Write Tessaroll version: ", "Fail");
    }

    // Copies left behind by a crash do not survive a restart.
    const fs::path tempFolder = fs::path(workFolder_) / "Tempfile";
    fs::remove_all(tempFolder, ec);
    fs::create_directories(tempFolder, ec);
    for (int i = 0; i < sessionSlotCount; ++i)
        fs::create_directory(tempFolder / ("Session_" + std::to_string(i)), ec);
}

std::string SessionTable::sessionCopyPath(int index, std::string_view adapterName) const {
    return workFolder_ + "/Tempfile/Session_" + std::to_string(index) + "/" +
           adapterFileName(adapterName);
}

std::string SessionTable::versionMarkerPath() const {
    return workFolder_ + "/ZEFAGPKITessarollMainVersion";
}

// Exact, case-sensitive match: an id that merely contains another session's id does not
// reach that session.
TESSAROLL_REQUEST_PATH std::optional<SessionTable::Claim> SessionTable::find(
    std::string_view sessionId, std::string_view origin) {
    std::lock_guard lock(lock_);
    for (int i = 0; i < sessionSlotCount; ++i) {
        const Slot& slot = slots_[static_cast<std::size_t>(i)];
        if (!slot.owner.empty() && slot.owner == sessionId && slot.origin == origin)
            return Claim{i, slot.generation.load(std::memory_order_relaxed)};
    }
    return std::nullopt;
}

bool SessionTable::ownedLocked(std::string_view sessionId) const {
    return std::any_of(slots_.begin(), slots_.end(), [&](const Slot& slot) {
        return !slot.owner.empty() && slot.owner == sessionId;
    });
}

bool SessionTable::owned(std::string_view sessionId) {
    std::lock_guard lock(lock_);
    return ownedLocked(sessionId);
}

int SessionTable::oldestLocked() const {
    int oldest = -1;
    uint64_t best = freeSessionAge;
    for (int i = 0; i < sessionSlotCount; ++i) {
        const uint64_t age = slots_[static_cast<std::size_t>(i)].age;
        if (age < best) {
            best = age;
            oldest = i;
        }
    }
    return oldest;
}

// With every slot taken: the slot to give up.
int SessionTable::evictionCandidateLocked() const {
    auto sessionsOf = [this](const std::string& origin) {
        return std::count_if(slots_.begin(), slots_.end(), [&](const Slot& slot) {
            return slot.age != freeSessionAge && slot.origin == origin;
        });
    };
    int chosen = -1;
    std::ptrdiff_t chosenCount = 0;
    for (int i = 0; i < sessionSlotCount; ++i) {
        const Slot& slot = slots_[static_cast<std::size_t>(i)];
        if (slot.age == freeSessionAge) continue;
        const std::ptrdiff_t count = sessionsOf(slot.origin);
        if (count > chosenCount ||
            (count == chosenCount && slot.age < slots_[static_cast<std::size_t>(chosen)].age)) {
            chosen = i;
            chosenCount = count;
        }
    }
    return chosen;
}

SessionTable::Opening SessionTable::open(std::string_view sessionId, std::string_view origin,
                                         bool mayEvict) {
    std::lock_guard lock(lock_);
    Opening opening;
    if (closed_) return opening;
    if (ownedLocked(sessionId)) {
        opening.outcome = Opening::taken;
        return opening;
    }
    int index = -1;
    for (int i = 0; i < sessionSlotCount && index < 0; ++i)
        if (slots_[static_cast<std::size_t>(i)].owner.empty()) index = i;
    if (index < 0 && !mayEvict) {
        opening.outcome = Opening::full;
        return opening;
    }
    if (index < 0) {
        index = evictionCandidateLocked();
        opening.evicted = true;
    }
    if (index < 0) return opening;  // cannot happen while the table has slots
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    slot.owner = std::string(sessionId);
    slot.origin = std::string(origin);
    slot.age = ageCounter_++;
    opening.outcome = Opening::claimed;
    opening.claim = Claim{index, slot.generation.fetch_add(1, std::memory_order_release) + 1};
    return opening;
}

TESSAROLL_REQUEST_PATH bool SessionTable::holds(const Claim& claim) {
    return slots_[static_cast<std::size_t>(claim.index)].generation.load(
               std::memory_order_acquire) == claim.generation;
}

void SessionTable::forget(const Claim& claim) {
    std::lock_guard lock(lock_);
    Slot& slot = slots_[static_cast<std::size_t>(claim.index)];
    if (slot.generation.load(std::memory_order_relaxed) != claim.generation) return;
    slot.owner.clear();
    slot.origin.clear();
    slot.age = freeSessionAge;
    slot.generation.fetch_add(1, std::memory_order_release);
}

std::vector<SessionTable::Claim> SessionTable::close() {
    std::lock_guard lock(lock_);
    closed_ = true;
    std::vector<int> order;
    for (int i = 0; i < sessionSlotCount; ++i)
        if (slots_[static_cast<std::size_t>(i)].age != freeSessionAge) order.push_back(i);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return slots_[static_cast<std::size_t>(a)].age < slots_[static_cast<std::size_t>(b)].age;
    });
    std::vector<Claim> claims;
    for (int index : order)
        claims.push_back(Claim{index, slots_[static_cast<std::size_t>(index)].generation.load(
                                          std::memory_order_relaxed)});
    return claims;
}

bool SessionTable::closed() {
    std::lock_guard lock(lock_);
    return closed_;
}

SlotView SessionTable::view(int index) {
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    SlotView view;
    {
        std::lock_guard lock(lock_);
        view.sessionId = slot.owner;
        view.origin = slot.origin;
        view.age = slot.age;
    }
    std::lock_guard call(slot.callLock);
    view.dllPath = slot.adapter.dllPath;
    view.browserMode = slot.adapter.browserMode;
    view.loaded = static_cast<bool>(slot.adapter.library);
    view.jsonMapEntry = slot.adapter.callJsonMapMethod != nullptr;
    return view;
}

int SessionTable::slotOf(std::string_view sessionId) {
    std::lock_guard lock(lock_);
    for (int i = 0; i < sessionSlotCount; ++i)
        if (!slots_[static_cast<std::size_t>(i)].owner.empty() &&
            slots_[static_cast<std::size_t>(i)].owner == sessionId)
            return i;
    return -1;
}

std::shared_ptr<std::mutex> SessionTable::libraryLock(const SharedLibrary& library) {
    std::lock_guard lock(libraryLocksLock_);
    std::erase_if(libraryLocks_, [](const auto& entry) { return entry.second.expired(); });
    std::weak_ptr<std::mutex>& known = libraryLocks_[library.handle()];
    std::shared_ptr<std::mutex> shared = known.lock();
    if (!shared) {
        shared = std::make_shared<std::mutex>();
        known = shared;
    }
    return shared;
}

int SessionTable::oldestSlot() {
    std::lock_guard lock(lock_);
    return oldestLocked();
}

void SessionTable::setNextAgeTicket(uint64_t ticket) {
    std::lock_guard lock(lock_);
    ageCounter_ = ticket;
}

JsonMapPtr makeSystemRequest(const char* functionName, const char* functionIndex,
                             const std::optional<std::string_view>& url) {
    JsonMapPtr request = newJsonMap();
    if (!request) return nullptr;
    setJsonMapValue(request.get(), "functionname", std::string_view(functionName));
    if (url) setJsonMapValue(request.get(), "url", *url);
    setJsonMapValue(request.get(), "AdapterJsonKeyCheck", std::string_view("true"));
    setJsonMapValue(request.get(), "TessarollFunctionIndex", std::string_view(functionIndex));
    return request;
}

std::optional<SecretString> callAdapter(const LoadedAdapter& adapter, const JsonMap& map,
                                        const char* functionName) {
    // The answer text is the library's until its next call, which may be another session's.
    std::unique_lock<std::mutex> library;
    if (adapter.libraryLock) library = std::unique_lock(*adapter.libraryLock);
    const char* answer = nullptr;
    if (adapter.callJsonMapMethod) {
        answer = adapter.callJsonMapMethod(&map, functionName);
    } else if (adapter.callMethod) {
        if (map.jsonText) {
            answer = adapter.callMethod(map.jsonText);
        } else {
            const std::string text = plainJsonText(map);
            answer = adapter.callMethod(text.c_str());
        }
    } else {
        return std::nullopt;
    }
    return SecretString(answer ? std::string_view(answer) : std::string_view());
}

void findAdapterEntryPoints(LoadedAdapter& adapter, const SharedLibrary& library) {
    adapter.callMethod = library.function<CallMethodFunction>("callMethod");
    adapter.callJsonMapMethod = library.function<CallJsonMapMethodFunction>("callJsonMapMethod");
}

void callAdapterRelease(const LoadedAdapter& adapter) {
    if (JsonMapPtr request = makeSystemRequest("Tessaroll_Release", "-3")) {
        callAdapter(adapter, *request, "Tessaroll_Release");
    } else {
        TESSAROLL_ALLOCATION_FAILURE();
    }
}

void SessionTable::releaseAdapter(int index) {
    if (index < 0 || index >= sessionSlotCount) return;
    LoadedAdapter& slot = adapter(index);
    if (!slot.inUse()) return;

    slot.browserMode = 0;
    // The copy's path depends on the adapter name, which is cleared below.
    const std::string ownCopy =
        slot.adapterName ? sessionCopyPath(index, *slot.adapterName) : std::string();
    logAndClear("Release Session id: ", slot.sessionId);
    logAndClear("Release AdapterName: ", slot.adapterName);
    logAndClear("Release Adapter Version: ", slot.adapterVersion);
    logAndClear("Release Installer Version: ", slot.installerVersion);

    callAdapterRelease(slot);

    slot.callMethod = nullptr;
    slot.callJsonMapMethod = nullptr;
    slot.libraryLock.reset();
    slot.initTime = 0;
    slot.echoAnswer.reset();

    bool released = true;
    if (!slot.library) {
        writeWarningLog("FreeLibrary: ", "NULL");
    } else if (std::string why; !slot.library.close(&why)) {
        released = false;
        writeWarningLog("Free library error code: ", why);
    }
    if (isLogOn()) {
        if (released)
            writeNormalLog("Release adapter state: ", "Success");
        else
            writeWarningLog("Release adapter state: ", "Fail");
    }

    // Only the slot's own copy is deleted; an installed library loaded as a fallback stays.
    if (!ownCopy.empty() && slot.dllPath == cut(ownCopy, dllPathLimit)) {
        std::error_code ec;
        const bool deleted = fs::remove(ownCopy, ec) && !ec;
        if (isLogOn()) {
            if (deleted)
                writeNormalLog("Delete adapter state: ", "Success");
            else
                writeWarningLog("Delete adapter state: ", "Fail");
        }
    }
    slot.dllPath.clear();
}
