#include "TessarollSession/SessionTable.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "TessarollSession/AdapterModule.h"
#include "TessarollSession/Dispatcher.h"
#include "TessarollSession/ValueStore.h"
#include "TessarollUtil/Log.h"
#include "platform/Folders.h"

namespace fs = std::filesystem;

std::array<SessionSlot, sessionSlotCount> sessionSlots;
std::array<uint64_t, sessionSlotCount> sessionAge = [] {
    std::array<uint64_t, sessionSlotCount> ages{};
    ages.fill(freeSessionAge);
    return ages;
}();
uint64_t sessionAgeCounter = 0;
std::string workFolder;
std::string installFolder;

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

std::string sessionCopyPath(int index, std::string_view adapterName) {
    return workFolder + "/Tempfile/Session_" + std::to_string(index) + "/" + adapterFileName(adapterName);
}

std::string versionMarkerPath() { return workFolder + "/ZEFAGPKITessarollMainVersion"; }

void initSessionTable(std::string_view copyPath, std::string_view executePath) {
    setLog("TessarollSession");
    for (SessionSlot& slot : sessionSlots) slot = SessionSlot{};

    std::error_code ec;
    workFolder = cut(copyPath, folderLimit);
    fs::create_directories(workFolder, ec);
    installFolder = cut(executePath, folderLimit);

    initValueStoreSecrets();
    for (int i = 0; i < valueChannelCount; ++i) clearValueChannel(i);

    // The marker always holds exactly this text, whatever was there before.
    {
        std::ofstream marker(versionMarkerPath(), std::ios::out | std::ios::trunc);
        if (workFolder.empty() || !marker || !(marker << "Tessaroll version=" << serviceVersion) ||
            !marker.flush())
            writeWarningLog("Write Tessaroll version: ", "Fail");
    }

    // Copies left behind by a crash do not survive a restart.
    const fs::path tempFolder = fs::path(workFolder) / "Tempfile";
    fs::remove_all(tempFolder, ec);
    fs::create_directories(tempFolder, ec);
    for (int i = 0; i < sessionSlotCount; ++i)
        fs::create_directory(tempFolder / ("Session_" + std::to_string(i)), ec);
}

void markAllSessionAgesFree() { sessionAge.fill(freeSessionAge); }

uint64_t takeSessionAge(int index) {
    sessionAge[static_cast<std::size_t>(index)] = sessionAgeCounter;
    return sessionAgeCounter++;
}

int findOldestSessionSlot() {
    int oldest = -1;
    uint64_t best = freeSessionAge;
    for (int i = 0; i < sessionSlotCount; ++i) {
        uint64_t age = sessionAge[static_cast<std::size_t>(i)];
        if (age == freeSessionAge) continue;
        if (age < best) {
            best = age;
            oldest = i;
        }
    }
    return oldest;
}

JsonMapPtr makeSystemRequest(const char* functionName, const char* functionIndex,
                             const std::optional<std::string>& url) {
    JsonMapPtr request = newJsonMap();
    if (!request) return nullptr;
    setJsonMapValue(request.get(), "functionname", std::string_view(functionName));
    if (url) setJsonMapValue(request.get(), "url", std::string_view(*url));
    setJsonMapValue(request.get(), "AdapterJsonKeyCheck", std::string_view("true"));
    setJsonMapValue(request.get(), "TessarollFunctionIndex", std::string_view(functionIndex));
    return request;
}

std::optional<std::string> callSessionAdapter(const SessionSlot& slot, const JsonMap& map,
                                              const char* functionName) {
    const char* answer = nullptr;
    if (slot.callJsonMapMethod) {
        answer = slot.callJsonMapMethod(&map, functionName);
    } else if (slot.callMethod) {
        if (map.jsonText) {
            answer = slot.callMethod(map.jsonText);
        } else {
            const std::string text = plainJsonText(map);
            answer = slot.callMethod(text.c_str());
        }
    } else {
        return std::nullopt;
    }
    return std::string(answer ? answer : "");
}

void releaseSessionSlot(int index) {
    if (index < 0 || index >= sessionSlotCount) return;
    SessionSlot& slot = sessionSlots[static_cast<std::size_t>(index)];
    if (!slot.inUse()) return;

    slot.browserMode = 0;
    // The copy's path depends on the adapter name, which is cleared below.
    const std::string ownCopy = slot.adapterName ? sessionCopyPath(index, *slot.adapterName) : std::string();
    logAndClear("Release Session id: ", slot.sessionId);
    logAndClear("Release AdapterName: ", slot.adapterName);
    logAndClear("Release Adapter Version: ", slot.adapterVersion);
    logAndClear("Release Installer Version: ", slot.installerVersion);

    if (JsonMapPtr request = makeSystemRequest("Tessaroll_Release", "-3")) {
        callSessionAdapter(slot, *request, "Tessaroll_Release");
    } else {
        TESSAROLL_ALLOCATION_FAILURE();
    }

    slot.callMethod = nullptr;
    slot.callJsonMapMethod = nullptr;
    slot.initTime = 0;

    bool released = true;
    if (!slot.module) {
        writeWarningLog("FreeLibrary: ", "NULL");
    } else if (!unloadAdapterModule(slot.module)) {
        released = false;
        writeWarningLog("Free library error code: ", lastAdapterModuleError());
    }
    slot.module = nullptr;
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
