// The session table: 32 slots, each holding one page session and the adapter copy it
// loaded, the age tickets that order the slots for eviction, and the work folders.
//
// Not thread-safe: the table is touched by start-up, by the dispatcher and by the final
// release only, and the caller serialises those (one lock around dispatch and release).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TessarollUtil/JsonMap.h"

// The adapter's two exports, looked up by these names in every loaded copy. The returned
// text stays owned by the adapter and is valid until the next call into that copy.
extern "C" {
typedef const char* (*CallMethodFunction)(const char* jsonText);
typedef const char* (*CallJsonMapMethodFunction)(const JsonMap* map, const char* functionName);
}

inline constexpr int sessionSlotCount = 32;
inline constexpr uint64_t freeSessionAge = UINT64_MAX;  // age ticket of a free slot
inline constexpr std::size_t dllPathLimit = 259;        // characters kept of a loaded path

struct SessionSlot {
    std::optional<std::string> sessionId;  // absent or empty: the slot is free
    std::optional<std::string> adapterName;
    std::optional<std::string> adapterVersion;
    std::optional<std::string> installerVersion;
    std::string dllPath;  // the library that was loaded for this slot
    void* module = nullptr;  // dlopen handle
    CallMethodFunction callMethod = nullptr;
    CallJsonMapMethodFunction callJsonMapMethod = nullptr;
    int32_t browserMode = 0;  // 1: close and release requests are ignored
    int64_t initTime = 0;     // seconds since 1970 when the slot was taken

    bool inUse() const { return sessionId && !sessionId->empty(); }
};

extern std::array<SessionSlot, sessionSlotCount> sessionSlots;
// One ticket per slot, freeSessionAge when free; a smaller ticket is an older slot.
extern std::array<uint64_t, sessionSlotCount> sessionAge;
extern uint64_t sessionAgeCounter;

// The service's data folder (slot copies, version marker) and the install folder the
// adapters are loaded from. Set by initSessionTable.
extern std::string workFolder;
extern std::string installFolder;

// Start-up, before the listeners run: logging for "TessarollSession", all slots cleared,
// the folders taken from `copyPath` (the main program's data folder) and `executePath`
// (the folder of the running program), the value store's key and IV made, the version
// marker written, and "<workFolder>/Tempfile/Session_0..31" recreated empty. The caller
// then marks every age ticket free (markAllSessionAgesFree).
void initSessionTable(std::string_view copyPath, std::string_view executePath);
void markAllSessionAgesFree();

// Gives slot `index` the next age ticket and returns it.
uint64_t takeSessionAge(int index);

// Ends the slot's session: texts cleared, the adapter told to release, the module
// unloaded and the slot's own copy of the library deleted. -1 or a free slot: nothing.
// The caller marks the age ticket free afterwards.
void releaseSessionSlot(int index);

// The in-use slot with the smallest age ticket, or -1 when every ticket is free.
int findOldestSessionSlot();

// Calls the slot's adapter: callJsonMapMethod when the slot has it, else callMethod with
// the map's JSON text (for maps built here, the map written out as JSON). A copy of the
// answer (empty when the adapter gave none); nullopt when the slot has neither entry point.
std::optional<std::string> callSessionAdapter(const SessionSlot& slot, const JsonMap& map,
                                              const char* functionName);

// One of the adapter's system requests: "functionname", "AdapterJsonKeyCheck" = "true",
// "TessarollFunctionIndex" = `functionIndex`, and "url" when given.
JsonMapPtr makeSystemRequest(const char* functionName, const char* functionIndex,
                             const std::optional<std::string>& url = std::nullopt);

// "<workFolder>/Tempfile/Session_<index>/<adapterName>.so": where slot `index` keeps its copy.
std::string sessionCopyPath(int index, std::string_view adapterName);

// "<workFolder>/ZEFAGPKITessarollMainVersion".
std::string versionMarkerPath();
