#include "TessarollSession/Dispatcher.h"

#include <array>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <strings.h>
#include <system_error>

#include "TessarollSession/AdapterModule.h"
#include "TessarollSession/SessionTable.h"
#include "TessarollSession/TopmostWatcher.h"
#include "TessarollSession/ValueStore.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/Folders.h"

namespace fs = std::filesystem;

const JsonMap* requestMap = nullptr;
std::optional<std::string> requestOrigin;
uint32_t ownProcessId = 0;

namespace {

constexpr std::string_view sessionIdAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

struct AdapterLocation {
    const char* id;
    const char* folder;
    const char* adapterName;
};
constexpr AdapterLocation adapterPathTable[] = {
    {"5D27C0A91B3E4F68A2C7E0B9146D83F2", "ZEFAGPKI", "ZEFAVZDediGPKICryptATLAdapter"},
};

constexpr std::size_t shortTextBuffer = 64;   // session id, folder, adapter name, versions
constexpr std::size_t longTextBuffer = 512;   // function name, path id, installer name
constexpr std::size_t libraryPathLimit = 511;

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string readText(std::string_view key, std::size_t bufferSize) {
    return cutToBuffer(getJsonMapValue(requestMap, key).value_or(""), bufferSize);
}

// "true" 1, "false" 0, else the leading decimal number (0 when there is none or the key
// is absent).
int32_t readInteger(std::string_view key) {
    std::optional<std::string> text = getJsonMapValue(requestMap, key);
    if (!text) return 0;
    if (sameText(*text, "true")) return 1;
    if (sameText(*text, "false")) return 0;
    return stringToLong(*text, false);
}

bool isReleaseFunction(std::string_view function) {
    return sameText(function, "TessarollClose") || sameText(function, "TessarollRelease") ||
           sameText(function, "TessarollForceRelease");
}

bool isEcho(std::string_view function) {
    return sameText(function, "TessarollEcho") || sameText(function, "Echo");
}

// An answer that holds only "result". Whatever the answer held so far (a new session id,
// versions) is dropped.
JsonMapPtr failureAnswer(int code, int line) {
    writeNormalLog("reset Tessaroll Json at file: ", __FILE__);
    writeNormalLogInt("reset Tessaroll Json at line: ", line);
    JsonMapPtr answer = newJsonMap();
    if (!answer) {
        TESSAROLL_ALLOCATION_FAILURE();
        return nullptr;
    }
    setJsonMapResult(answer.get(), code);
    return answer;
}
#define FAILURE_ANSWER(code) failureAnswer((code), __LINE__)

void releaseSlot(int index) {
    writeNormalLogInt("Release session index: ", index);
    releaseSessionSlot(index);
    sessionAge[static_cast<std::size_t>(index)] = freeSessionAge;
}

std::optional<std::string> newSessionId() {
    for (;;) {
        std::array<unsigned char, 8> bytes{};
        if (!generateRandomBytes(std::span<unsigned char>(bytes))) return std::nullopt;
        std::string id;
        for (unsigned char byte : bytes) id += sessionIdAlphabet[byte % sessionIdAlphabet.size()];
        id += "_SID";
        bool collision = false;
        for (int i = 0; i < sessionSlotCount; ++i) {
            const SessionSlot& slot = sessionSlots[static_cast<std::size_t>(i)];
            if (slot.inUse() && *slot.sessionId == id) {
                writeNormalLogInt("Session id collision index: ", i);
                collision = true;
                break;
            }
        }
        if (!collision) return id;
    }
}

// Exact, case-sensitive match: an id that merely contains another session's id does not
// reach that session.
int findSessionSlot(std::string_view sessionId) {
    for (int i = 0; i < sessionSlotCount; ++i) {
        const SessionSlot& slot = sessionSlots[static_cast<std::size_t>(i)];
        if (slot.inUse() && *slot.sessionId == sessionId) return i;
    }
    return -1;
}

int takeFreeSlot() {
    for (int i = 0; i < sessionSlotCount; ++i)
        if (!sessionSlots[static_cast<std::size_t>(i)].inUse()) return i;
    return -1;
}

void logActive(const char* message, bool active) {
    writeNormalLog(message, active ? "Active" : "Inactive");
}

// The adapter call of a request, with the window watcher around it when asked for.
// Nothing when the slot has no entry point.
std::optional<std::string> callAdapterForRequest(int index, const std::string& function) {
    bool watching = false;
    if (getJsonMapBool(requestMap, "topuidetect")) {
        writeNormalLog("Set top component UI: ", "Enable");
        startTopmostWatcher(ownProcessId, false);
        watching = true;
    } else if (getJsonMapBool(requestMap, "topuialldetect")) {
        writeNormalLog("Set top all system UI: ", "Enable");
        startTopmostWatcher(ownProcessId, true);
        watching = true;
    }
    std::optional<std::string> result =
        callSessionAdapter(sessionSlots[static_cast<std::size_t>(index)], *requestMap, function.c_str());
    if (watching) stopTopmostWatcher();
    return result;
}

JsonMapPtr runAdapterFunction(JsonMapPtr answer, int index, const std::string& function) {
    std::optional<std::string> result = callAdapterForRequest(index, function);
    if (!result) {
        releaseSlot(index);
        return FAILURE_ANSWER(61906);
    }
    const bool multiLine = result->find('\n') != std::string::npos;
    const std::string shown = getJsonMapBool(requestMap, "hide_result") ? std::string(result->size(), '*') : *result;
    logPrint(5, "%s%s", multiLine ? " Component result:\n" : " Component result: ", shown.c_str());
    setJsonMapValue(answer.get(), "result", std::string_view(*result));
    return answer;
}

JsonMapPtr storeValue(JsonMapPtr answer) {
    std::optional<std::string> channel = getJsonMapValue(requestMap, "channel");
    std::optional<std::string> domainList = getJsonMapValue(requestMap, "domain_list");
    std::optional<std::string> value = getJsonMapValue(requestMap, "value");
    if (!channel || !domainList || !value) return FAILURE_ANSWER(61005);
    const int32_t timeout = readInteger("timeout");
    return FAILURE_ANSWER(setChannelValue(channel, domainList, timeout, value));
}

JsonMapPtr readValue(JsonMapPtr answer) {
    std::optional<std::string> channel = getJsonMapValue(requestMap, "channel");
    if (!channel) return FAILURE_ANSWER(61005);
    std::optional<std::string> value = getChannelValue(channel, requestOrigin);
    if (!value) return FAILURE_ANSWER(61001);
    JsonMapPtr rebuilt = newJsonMap();
    if (!rebuilt) {
        TESSAROLL_ALLOCATION_FAILURE();
        return nullptr;
    }
    setJsonMapValue(rebuilt.get(), "result", std::string_view(*value));
    return rebuilt;
}

// Loads the slot's adapter: its own copy first, the installed library when the copy
// cannot be made or loaded. False when neither loads (the slot is then released by the caller).
bool loadSessionAdapter(int index, const std::string& libraryPath, const std::string& copyPath) {
    SessionSlot& slot = sessionSlots[static_cast<std::size_t>(index)];
    std::error_code ec;
    void* module = nullptr;
    std::string loadedPath;
    if (fs::copy_file(libraryPath, copyPath, fs::copy_options::none, ec) && !ec) {
        writeNormalLog("Copy adapter state: ", "Success");
        module = loadAdapterModule(copyPath);
        if (module) {
            writeNormalLog("Copied adapter: ", "Active");
            loadedPath = copyPath;
        } else {
            writeWarningLog("Copied adapter: ", "Inactive");
            // A copy that is not in use would block this slot's next copy.
            fs::remove(copyPath, ec);
        }
    } else {
        writeWarningLog("Copy adapter state: ", "Fail");
    }
    if (!module) {
        module = loadAdapterModule(libraryPath);
        if (module) {
            writeNormalLog("Origin adapter: ", "Active");
            loadedPath = libraryPath;
        }
    }
    if (!module) {
        writeWarningLog("Origin adapter: ", "Inactive");
        const std::string reason = lastAdapterModuleError();
        if (isLogOn()) {
            if (fileExists(libraryPath))
                writeNormalLog("Origin adpater: ", "Exist");
            else
                writeErrorLog("Origin adpater: ", "Not Exist");
            if (fileExists(copyPath))
                writeNormalLog("Copied adpater: ", "Exist");
            else
                writeErrorLog("Copied adpater: ", "Not Exist");
        }
        writeErrorLog("Adapter load error reason: ", reason);
        return false;
    }
    slot.dllPath = cutToBuffer(loadedPath, dllPathLimit + 1);
    slot.module = module;
    return true;
}

JsonMapPtr openSession(JsonMapPtr answer, const std::string& sessionId, const std::string& function) {
    if (isReleaseFunction(function)) {
        writeNormalLog("No specific adapter to release", "");
        return answer;
    }

    const std::string pathId = readText("PathID", longTextBuffer);
    std::string folder = readText("LibDir", shortTextBuffer);
    std::string adapterName = readText("ComName", shortTextBuffer);
    sanitizePathName(folder, shortTextBuffer);
    sanitizePathName(adapterName, shortTextBuffer);
    writeNormalLog("Adapter folder: ", folder);
    writeNormalLog("Adapter name: ", adapterName);

    const AdapterLocation& table = adapterPathTable[0];
    if (!pathId.empty()) {
        writeNormalLog("Path id mode: ", "Active");
        if (sameText(pathId, table.id)) {
            folder = table.folder;
            adapterName = table.adapterName;
        }
    } else {
        writeNormalLog("Path id check location mode: ", "Active");
        if (!sameText(folder, table.folder) || !sameText(adapterName, table.adapterName)) {
            writeWarningLog("Path table compare: ", "Fail");
            writeWarningLog("Lib: ", table.folder);
            writeWarningLog("Component: ", table.adapterName);
            writeNormalLog("Out of path table connection: ", "Reject");
            return FAILURE_ANSWER(61009);
        }
        writeWarningLog("Path table compare: ", "Success");
        writeWarningLog("Lib: ", table.folder);
        writeWarningLog("Component: ", table.adapterName);
        // File names here are case-sensitive: load the table's spelling of what matched.
        folder = table.folder;
        adapterName = table.adapterName;
    }
    if (folder.empty() || adapterName.empty()) {
        writeNormalLog("No path information connection: ", "Reject");
        return FAILURE_ANSWER(61009);
    }

    int index = takeFreeSlot();
    if (index < 0) {
        writeWarningLog("Tessaroll slot is full, release the oldest one", "");
        index = findOldestSessionSlot();
        if (index < 0) {
            writeWarningLog("Get the oldest SessionIndex fail", "");
            return answer;
        }
        releaseSlot(index);
    }
    SessionSlot& slot = sessionSlots[static_cast<std::size_t>(index)];

    takeSessionAge(index);
    writeNormalLogInt("Session index: ", index);
    slot.sessionId = sessionId;
    slot.initTime = static_cast<int64_t>(std::time(nullptr));
    writeNormalLogInt("Init time: ", static_cast<int32_t>(static_cast<uint32_t>(slot.initTime)));

    const std::string libraryPath =
        cutToBuffer(installFolder + "/" + folder + "/" + diskFileName(adapterName + ".dll"), libraryPathLimit + 1);
    const std::string copyPath = cutToBuffer(sessionCopyPath(index, adapterName), libraryPathLimit + 1);
    writeNormalLog("Original adapter: ", libraryPath);
    writeNormalLog("Copy adapter: ", copyPath);

    if (!loadSessionAdapter(index, libraryPath, copyPath)) {
        releaseSlot(index);
        return FAILURE_ANSWER(61902);
    }
    slot.adapterName = adapterName;
    slot.callMethod = reinterpret_cast<CallMethodFunction>(adapterModuleFunction(slot.module, "callMethod"));
    slot.callJsonMapMethod =
        reinterpret_cast<CallJsonMapMethodFunction>(adapterModuleFunction(slot.module, "callJsonMapMethod"));
    if (isLogOn()) {
        logActive("Json string callMethod: ", slot.callMethod != nullptr);
        logActive("Json map callMethod: ", slot.callJsonMapMethod != nullptr);
    }
    if (slot.callJsonMapMethod) {
        writeNormalLog("Json map init: ", "Active");
    } else if (slot.callMethod) {
        writeNormalLog("Json string init: ", "Active");
    } else {
        writeWarningLog("All callMethod load fail", "");
        releaseSlot(index);
        return FAILURE_ANSWER(61906);
    }

    // Unlock for the page's origin.
    {
        JsonMapPtr unlock = makeSystemRequest("Tessaroll_Unlock", "-2", requestOrigin);
        if (!unlock) {
            TESSAROLL_ALLOCATION_FAILURE();
            releaseSlot(index);
            return nullptr;
        }
        const std::string result = callSessionAdapter(slot, *unlock, "Tessaroll_Unlock").value_or("");
        if (!sameText(result, "0")) {
            writeWarningLog("Unlock result: ", result);
            JsonMapPtr refused = newJsonMap();
            if (!refused) {
                TESSAROLL_ALLOCATION_FAILURE();
                releaseSlot(index);
                return nullptr;
            }
            setJsonMapValue(refused.get(), "result", std::string_view(result));
            releaseSlot(index);
            return refused;
        }
        writeNormalLog("Unlock: ", "Success");
    }

    // The adapter's version, or an error code in its place.
    std::string adapterVersion;
    {
        JsonMapPtr query = makeSystemRequest("Tessaroll_GetVersion", "-1");
        if (!query) {
            TESSAROLL_ALLOCATION_FAILURE();
            releaseSlot(index);
            return nullptr;
        }
        adapterVersion = cutToBuffer(callSessionAdapter(slot, *query, "Tessaroll_GetVersion").value_or(""), shortTextBuffer);
    }
    if (adapterVersion.empty()) {
        writeWarningLog("Init adapter: ", "Fail");
        releaseSlot(index);
        return answer;
    }
    slot.adapterVersion = adapterVersion;
    const int32_t versionCode = stringToLong(adapterVersion, true);
    if (!lastConversionFailed() && versionCode >= 61000 && versionCode <= 61999) {
        writeWarningLogInt("Parse component version error: ", versionCode);
        releaseSlot(index);
        return FAILURE_ANSWER(versionCode);
    }
    writeNormalLog("Extract component version: ", "Success");

    std::string installerName = readText("InstallerName", longTextBuffer);
    sanitizePathName(installerName, longTextBuffer);
    const std::string minServerVersion = readText("minServerVersion", shortTextBuffer);
    std::string minLibVersion = readText("minLibVersion", shortTextBuffer);
    if (minLibVersion.empty()) minLibVersion = "0.0.0.0";

    setJsonMapValue(answer.get(), "ServerVersion", std::string_view(serviceVersion));
    setJsonMapValue(answer.get(), "LibVersion", std::string_view(adapterVersion));
    writeWarningLog("Mini server version: ", minServerVersion);
    writeWarningLog("Real server version: ", serviceVersion);
    const int32_t serverOrder = compareVersion(std::string_view(minServerVersion), std::string_view(serviceVersion));
    if (serverOrder != 0 && serverOrder != -1) {
        writeWarningLog("Verify server version: ", "Fail");
        releaseSlot(index);
        return FAILURE_ANSWER(61203);
    }
    writeNormalLog("Verify server version: ", "Pass");

    const int32_t adapterOrder = compareVersion(std::string_view(minLibVersion), std::string_view(adapterVersion));
    writeWarningLog("Mini adapter version: ", minLibVersion);
    writeWarningLog("Real adapter version: ", adapterVersion);
    if (adapterOrder != 0 && adapterOrder != -1) {
        writeWarningLog("Verify adapter version: ", "Fail");
        releaseSlot(index);
        return FAILURE_ANSWER(61204);
    }
    writeNormalLog("Verify adapter version: ", "Pass");

    if (!installerName.empty()) {
        writeNormalLog("InstallerName: ", installerName);
        const std::string versionFile = removeExeExtension(workFolder + "/" + installerName + "Version.txt");
        writeNormalLog("InstallerVersionFile: ", versionFile);
        const std::string installerVersion = cutToBuffer(readTextFile(versionFile).value_or(""), shortTextBuffer);
        writeNormalLog("InstallerVersion: ", installerVersion);
        setJsonMapValue(answer.get(), "InstallerVersion", std::string_view(installerVersion));
        slot.installerVersion = installerVersion;
    }

    if (isEcho(function)) {
        slot.browserMode = readInteger("TessarollMode") == 1 ? 1 : 0;
        setJsonMapResult(answer.get(), 0);
        return answer;
    }
    return runAdapterFunction(std::move(answer), index, function);
}

JsonMapPtr continueSession(JsonMapPtr answer, int index, const std::string& function) {
    SessionSlot& slot = sessionSlots[static_cast<std::size_t>(index)];
    writeNormalLog("Find the loaded adapter", "");
    if (sameText(function, "TessarollForceRelease")) {
        writeNormalLog("Force release: ", "Active");
        releaseSlot(index);
        return answer;
    }
    if (sameText(function, "TessarollClose") || sameText(function, "TessarollRelease")) {
        if (slot.browserMode == 1)
            writeNormalLog("[Browser mode] Skip release process", "");
        else
            releaseSlot(index);
        return answer;
    }
    if (sameText(function, "setTessarollValue")) return storeValue(std::move(answer));
    if (sameText(function, "getTessarollValue")) return readValue(std::move(answer));
    if (isEcho(function)) {
        writeNormalLog("Browser mode: ", "Active");
        // A text the slot does not have stays out of the answer.
        auto text = [](const std::optional<std::string>& value) {
            return value ? std::optional<std::string_view>(*value) : std::nullopt;
        };
        setJsonMapValue(answer.get(), "ServerVersion", std::string_view(serviceVersion));
        setJsonMapValue(answer.get(), "LibVersion", text(slot.adapterVersion));
        setJsonMapValue(answer.get(), "InstallerVersion", text(slot.installerVersion));
        writeNormalLog("@@@@@@@@@@@@@@@@InstallerVersion: ", slot.installerVersion.value_or(""));
        setJsonMapResult(answer.get(), 0);
        return answer;
    }
    return runAdapterFunction(std::move(answer), index, function);
}

}  // namespace

JsonMapPtr dispatchSessionRequest() {
    if (!requestMap) {
        logNullParameter("JsonMap", __FILE__, __LINE__);
        return nullptr;
    }
    if (!requestOrigin) {
        logNullParameter("Origin", __FILE__, __LINE__);
        return nullptr;
    }
    JsonMapPtr answer = newJsonMap();
    if (!answer) {
        TESSAROLL_ALLOCATION_FAILURE();
        return nullptr;
    }
    displayJsonMapParameters(requestMap);

    std::string sessionId = readText("SessionId", shortTextBuffer);
    int index = -1;
    if (!sessionId.empty()) {
        index = findSessionSlot(sessionId);
    } else {
        writeNormalLog("Generate new session id", "");
        std::optional<std::string> id = newSessionId();
        if (!id) {
            TESSAROLL_ALLOCATION_FAILURE();
            return nullptr;
        }
        sessionId = *id;
        setJsonMapValue(answer.get(), "SessionID", std::string_view(sessionId));
    }
    writeNormalLog("Session id: ", sessionId);
    const std::string function = readText("FunctionName", longTextBuffer);

    if (index < 0) return openSession(std::move(answer), sessionId, function);
    return continueSession(std::move(answer), index, function);
}

void sanitizePathName(std::string& text, std::size_t size) {
    constexpr std::string_view dropped = "<>:/\\|?*;&$\"";
    std::string kept;
    const std::size_t limit = size == 0 ? 0 : size - 1;
    for (std::size_t i = 0; i < text.size() && i < limit && text[i] != '\0'; ++i)
        if (dropped.find(text[i]) == std::string_view::npos) kept += text[i];
    if (kept == "..") kept.clear();
    text = std::move(kept);
}
