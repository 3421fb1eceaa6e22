#include "TessarollSession/SessionService.h"

#include <array>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <new>
#include <span>
#include <string_view>
#include <system_error>

#include "TessarollSession/SpareAdapter.h"
#include "TessarollSession/TopmostWatcher.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/RequestPath.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/Folders.h"

namespace fs = std::filesystem;

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

constexpr std::size_t shortTextBuffer = 64;  // session id, folder, adapter name, versions
constexpr std::size_t longTextBuffer = 512;  // function name, path id, installer name
constexpr std::size_t libraryPathLimit = 511;

std::string readText(const JsonMap& map, std::string_view key, std::size_t bufferSize) {
    return cutToBuffer(getJsonMapValue(&map, key).value_or(""), bufferSize);
}

// readText's text, read in place in the map when it needs no decoding, else kept in `store`.
TESSAROLL_REQUEST_PATH std::string_view readTextIn(const JsonMap& map, std::string_view key,
                                                   std::size_t bufferSize, std::string& store) {
    if (std::optional<std::string_view> plain = plainJsonMapValue(&map, key))
        return plain->substr(0, bufferSize - 1);
    store = readText(map, key, bufferSize);
    return store;
}

// "true" 1, "false" 0, else the leading decimal number (0 when there is none or the key
// is absent).
int32_t readInteger(const JsonMap& map, std::string_view key) {
    std::optional<std::string> text = getJsonMapValue(&map, key);
    if (!text) return 0;
    if (equalsIgnoringCase(*text, "true")) return 1;
    if (equalsIgnoringCase(*text, "false")) return 0;
    return stringToLong(*text, false);
}

// The text as a whole number (leading white space and a leading "-" allowed, nothing but
// digits after), without the process-wide conversion status another session may change.
std::optional<int32_t> wholeNumber(std::string_view text) {
    std::size_t at = text.find_first_not_of(" \t\n\r\f\v");
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view digits = text.substr(at);
    if (digits.front() == '-') digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return stringToLong(text, true);
}

bool isReleaseFunction(std::string_view function) {
    return equalsIgnoringCase(function, "TessarollClose") ||
           equalsIgnoringCase(function, "TessarollRelease") ||
           equalsIgnoringCase(function, "TessarollForceRelease");
}

TESSAROLL_REQUEST_PATH bool isEcho(std::string_view function) {
    return equalsIgnoringCase(function, "TessarollEcho") || equalsIgnoringCase(function, "Echo");
}

// An answer that holds only "result". Whatever the answer held so far (a new session id,
// versions) is dropped.
JsonMapPtr failureAnswer(int code, int line) {
    writeNormalLog("reset Tessaroll Json at file: ", __FILE__);
    writeNormalLogInt("reset Tessaroll Json at line: ", line);
    return resultOnlyAnswer(code);
}
#define FAILURE_ANSWER(code) failureAnswer((code), __LINE__)

JsonMapPtr allocationFailure() {
    TESSAROLL_ALLOCATION_FAILURE();
    return nullptr;
}

// The outcome of one set-up step: nothing, go on; an answer (which may be null: no
// response), the request ends with it.
using Step = std::optional<JsonMapPtr>;

std::optional<std::string> newSessionId(SessionTable& table) {
    for (;;) {
        std::array<unsigned char, 8> bytes{};
        if (!generateRandomBytes(std::span<unsigned char>(bytes))) return std::nullopt;
        std::string id;
        for (unsigned char byte : bytes) id += sessionIdAlphabet[byte % sessionIdAlphabet.size()];
        id += "_SID";
        const int collision = table.slotOf(id);
        if (collision < 0) return id;
        writeNormalLogInt("Session id collision index: ", collision);
    }
}

void logActive(const char* message, bool active) {
    writeNormalLog(message, active ? "Active" : "Inactive");
}

struct AdapterPath {
    std::string folder;
    std::string adapterName;
};

// The adapter the request names, through the path table. Nothing: refused (61009).
std::optional<AdapterPath> resolveAdapterPath(const JsonMap& request) {
    const std::string pathId = readText(request, "PathID", longTextBuffer);
    AdapterPath path{readText(request, "LibDir", shortTextBuffer),
                     readText(request, "ComName", shortTextBuffer)};
    sanitizePathName(path.folder, shortTextBuffer);
    sanitizePathName(path.adapterName, shortTextBuffer);
    writeNormalLog("Adapter folder: ", path.folder);
    writeNormalLog("Adapter name: ", path.adapterName);

    const AdapterLocation& table = adapterPathTable[0];
    if (!pathId.empty()) {
        writeNormalLog("Path id mode: ", "Active");
        if (equalsIgnoringCase(pathId, table.id)) path = {table.folder, table.adapterName};
    } else {
        writeNormalLog("Path id check location mode: ", "Active");
        if (!equalsIgnoringCase(path.folder, table.folder) ||
            !equalsIgnoringCase(path.adapterName, table.adapterName)) {
            writeWarningLog("Path table compare: ", "Fail");
            writeWarningLog("Lib: ", table.folder);
            writeWarningLog("Component: ", table.adapterName);
            writeNormalLog("Out of path table connection: ", "Reject");
            return std::nullopt;
        }
        writeWarningLog("Path table compare: ", "Success");
        writeWarningLog("Lib: ", table.folder);
        writeWarningLog("Component: ", table.adapterName);
        // File names here are case-sensitive: load the table's spelling of what matched.
        path = {table.folder, table.adapterName};
    }
    if (path.folder.empty() || path.adapterName.empty()) {
        writeNormalLog("No path information connection: ", "Reject");
        return std::nullopt;
    }
    return path;
}

// The slot's own copy of the adapter, loaded: the spare made ahead when one is ready, else
// a copy made now. Empty when neither can be had.
SharedLibrary loadOwnCopy(SpareAdapter& spare, const std::string& libraryPath,
                          const std::string& copyPath, std::string& reason) {
    if (SharedLibrary ready = spare.take(libraryPath, copyPath)) {
        writeNormalLog("Copy adapter state: ", "Success");
        writeNormalLog("Copied adapter: ", "Active");
        return ready;
    }
    if (!copyLibrary(libraryPath, copyPath)) {
        writeWarningLog("Copy adapter state: ", "Fail");
        return {};
    }
    writeNormalLog("Copy adapter state: ", "Success");
    SharedLibrary library = SharedLibrary::open(copyPath, &reason);
    if (library) {
        writeNormalLog("Copied adapter: ", "Active");
        return library;
    }
    writeWarningLog("Copied adapter: ", "Inactive");
    // A copy that is not in use would block this slot's next copy.
    std::error_code ec;
    fs::remove(copyPath, ec);
    return {};
}

// Loads the slot's adapter: its own copy first, the installed library when the copy
// cannot be made or loaded. False when neither loads.
bool loadAdapter(LoadedAdapter& adapter, SpareAdapter& spare, const std::string& libraryPath,
                 const std::string& copyPath) {
    std::string reason;
    SharedLibrary library = loadOwnCopy(spare, libraryPath, copyPath, reason);
    std::string loadedPath = library ? copyPath : std::string();
    if (!library) {
        library = SharedLibrary::open(libraryPath, &reason);
        if (library) {
            writeNormalLog("Origin adapter: ", "Active");
            loadedPath = libraryPath;
        }
    }
    if (!library) {
        writeWarningLog("Origin adapter: ", "Inactive");
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
    adapter.dllPath = cutToBuffer(loadedPath, dllPathLimit + 1);
    adapter.library = std::move(library);
    return true;
}

// The adapter's entry points; false when it has neither.
bool findEntryPoints(LoadedAdapter& adapter) {
    findAdapterEntryPoints(adapter, adapter.library);
    if (isLogOn()) {
        logActive("Json string callMethod: ", adapter.callMethod != nullptr);
        logActive("Json map callMethod: ", adapter.callJsonMapMethod != nullptr);
    }
    if (adapter.callJsonMapMethod) {
        writeNormalLog("Json map init: ", "Active");
    } else if (adapter.callMethod) {
        writeNormalLog("Json string init: ", "Active");
    } else {
        writeWarningLog("All callMethod load fail", "");
        return false;
    }
    return true;
}

// The answer of one of the adapter's system functions (an unlock verdict, a version), which
// holds nothing secret; empty when it gave none.
std::string systemAnswer(const LoadedAdapter& adapter, const JsonMap& request,
                         const char* function) {
    std::optional<SecretString> answer = callAdapter(adapter, request, function);
    return answer ? std::string(answer->view()) : std::string();
}

// The adapter unlocked for the page's origin; else its answer goes to the page.
Step unlockAdapter(const LoadedAdapter& adapter, std::string_view origin) {
    JsonMapPtr unlock = makeSystemRequest("Tessaroll_Unlock", "-2", origin);
    if (!unlock) return allocationFailure();
    const std::string result = systemAnswer(adapter, *unlock, "Tessaroll_Unlock");
    if (equalsIgnoringCase(result, "0")) {
        writeNormalLog("Unlock: ", "Success");
        return std::nullopt;
    }
    writeWarningLog("Unlock result: ", result);
    JsonMapPtr refused = newJsonMap();
    if (!refused) return allocationFailure();
    setJsonMapValue(refused.get(), "result", std::string_view(result));
    return refused;
}

// The adapter's version, which may be an error code in its place, and the page's
// minimum versions; the versions go into the answer.
Step checkVersions(LoadedAdapter& adapter, const JsonMap& request, JsonMapPtr& answer) {
    JsonMapPtr query = makeSystemRequest("Tessaroll_GetVersion", "-1");
    if (!query) return allocationFailure();
    const std::string adapterVersion =
        cutToBuffer(systemAnswer(adapter, *query, "Tessaroll_GetVersion"), shortTextBuffer);
    if (adapterVersion.empty()) {
        writeWarningLog("Init adapter: ", "Fail");
        return std::move(answer);
    }
    adapter.adapterVersion = adapterVersion;
    if (std::optional<int32_t> code = wholeNumber(adapterVersion);
        code && *code >= 61000 && *code <= 61999) {
        writeWarningLogInt("Parse component version error: ", *code);
        return FAILURE_ANSWER(*code);
    }
    writeNormalLog("Extract component version: ", "Success");

    const std::string minServerVersion = readText(request, "minServerVersion", shortTextBuffer);
    std::string minLibVersion = readText(request, "minLibVersion", shortTextBuffer);
    if (minLibVersion.empty()) minLibVersion = "0.0.0.0";

    setJsonMapValue(answer.get(), "ServerVersion", std::string_view(kTessarollVersion));
    setJsonMapValue(answer.get(), "LibVersion", std::string_view(adapterVersion));
    writeWarningLog("Mini server version: ", minServerVersion);
    writeWarningLog("Real server version: ", kTessarollVersion);
    const int32_t serverOrder =
        compareVersion(std::string_view(minServerVersion), std::string_view(kTessarollVersion));
    if (serverOrder != 0 && serverOrder != -1) {
        writeWarningLog("Verify server version: ", "Fail");
        return FAILURE_ANSWER(61203);
    }
    writeNormalLog("Verify server version: ", "Pass");

    const int32_t adapterOrder =
        compareVersion(std::string_view(minLibVersion), std::string_view(adapterVersion));
    writeWarningLog("Mini adapter version: ", minLibVersion);
    writeWarningLog("Real adapter version: ", adapterVersion);
    if (adapterOrder != 0 && adapterOrder != -1) {
        writeWarningLog("Verify adapter version: ", "Fail");
        return FAILURE_ANSWER(61204);
    }
    writeNormalLog("Verify adapter version: ", "Pass");
    return std::nullopt;
}

// The version of the installer the page names, read from the work folder.
void readInstallerVersion(LoadedAdapter& adapter, const JsonMap& request,
                          const std::string& workFolder, JsonMap& answer) {
    std::string installerName = readText(request, "InstallerName", longTextBuffer);
    sanitizePathName(installerName, longTextBuffer);
    if (installerName.empty()) return;
    writeNormalLog("InstallerName: ", installerName);
    const std::string versionFile =
        removeExeExtension(workFolder + "/" + installerName + "Version.txt");
    writeNormalLog("InstallerVersionFile: ", versionFile);
    const std::string installerVersion =
        cutToBuffer(readTextFile(versionFile).value_or(""), shortTextBuffer);
    writeNormalLog("InstallerVersion: ", installerVersion);
    setJsonMapValue(&answer, "InstallerVersion", std::string_view(installerVersion));
    adapter.installerVersion = installerVersion;
}

}  // namespace

struct SessionService::Request {
    const JsonMap& map;
    std::string_view origin;  // the caller's, alive until the answer is made
    std::string sessionId;
    std::string function;
    SessionTable::Claim claim;  // the session's slot, once found or claimed
};

// The service's own functions on an open session; everything else goes to the adapter.
struct SessionService::OwnFunction {
    std::string_view name;
    JsonMapPtr (SessionService::*run)(Request&, JsonMapPtr);
    bool atOnce;  // never waits for anything but the session's own lock
};

const SessionService::OwnFunction SessionService::ownFunctions[] = {
    {"TessarollForceRelease", &SessionService::forceRelease, false},
    {"TessarollClose", &SessionService::closeSession, false},
    {"TessarollRelease", &SessionService::closeSession, false},
    {"setTessarollValue", &SessionService::storeValue, true},
    {"getTessarollValue", &SessionService::readValue, true},
    {"TessarollEcho", &SessionService::echo, true},
    {"Echo", &SessionService::echo, true},
};

TESSAROLL_REQUEST_PATH const SessionService::OwnFunction* SessionService::ownFunction(
    std::string_view name) {
    for (const OwnFunction& function : ownFunctions)
        if (equalsIgnoringCase(name, function.name)) return &function;
    return nullptr;
}

namespace {

// A spare's first call, the version query, is made on the maker's thread: the adapter
// starts itself up on its first call (its log settings, its component), and that start-up
// then no longer lies on the request of the page that opens the session. A spare that is
// never taken is released as a session's adapter is.
SpareAdapter::Preparation spareStartUp() {
    auto entryPoints = [](const SharedLibrary& library) {
        LoadedAdapter adapter;
        findAdapterEntryPoints(adapter, library);
        return adapter;
    };
    return {
        [entryPoints](const SharedLibrary& library) {
            if (JsonMapPtr query = makeSystemRequest("Tessaroll_GetVersion", "-1"))
                callAdapter(entryPoints(library), *query, "Tessaroll_GetVersion");
        },
        [entryPoints](const SharedLibrary& library) { callAdapterRelease(entryPoints(library)); }};
}

}  // namespace

SessionService::SessionService(std::string_view copyPath, std::string_view executePath,
                               uint32_t ownProcessId)
    : table_(copyPath, executePath),
      spare_(table_.workFolder() + "/Tempfile/Spare", spareStartUp()),
      ownProcessId_(ownProcessId) {}

// The slot's copy may be a spare whose file is still on its way to the slot's folder: it
// gets there before the release deletes it.
void SessionService::releaseAdapter(int index) {
    spare_.settle();
    table_.releaseAdapter(index);
}

void SessionService::releaseSlot(const SessionTable::Claim& claim) {
    writeNormalLogInt("Release session index: ", claim.index);
    releaseAdapter(claim.index);
    table_.forget(claim);
}

JsonMapPtr SessionService::handle(const JsonMap& request, std::string_view origin) {
    if (table_.closed()) return nullptr;
    displayJsonMapParameters(&request);
    for (;;) {
        JsonMapPtr answer = newJsonMap();
        if (!answer) return allocationFailure();
        Request call{request, origin, readText(request, "SessionId", shortTextBuffer), {}, {}};
        std::optional<SessionTable::Claim> found;
        if (!call.sessionId.empty()) {
            found = table_.find(call.sessionId, call.origin);
            // Another page's session: this page gets one of its own under a new id.
            if (!found && table_.owned(call.sessionId)) {
                writeWarningLog("Session of another origin: ", call.origin);
                call.sessionId.clear();
            }
        }
        if (call.sessionId.empty()) {
            writeNormalLog("Generate new session id", "");
            std::optional<std::string> id = newSessionId(table_);
            if (!id) return allocationFailure();
            call.sessionId = *id;
            setJsonMapValue(answer.get(), "SessionID", std::string_view(call.sessionId));
        }
        writeNormalLog("Session id: ", call.sessionId);
        call.function = readText(request, "FunctionName", longTextBuffer);

        if (found) {
            std::lock_guard session(table_.callLock(found->index));
            // Released or evicted while this request waited: it looks again.
            if (!table_.holds(*found)) continue;
            call.claim = *found;
            return continueSession(call, std::move(answer));
        }
        if (Step opened = openSession(call, std::move(answer))) return std::move(*opened);
    }
}

TESSAROLL_REQUEST_PATH std::optional<SessionAnswer> SessionService::handleAtOnce(
    const JsonMap& request, std::string_view origin) {
    // Read where they lie: an Echo on an open session copies nothing of the request.
    std::string functionStore, sessionStore;
    const std::string_view function =
        readTextIn(request, "FunctionName", longTextBuffer, functionStore);
    const OwnFunction* own = ownFunction(function);
    if (!own || !own->atOnce) return std::nullopt;
    const std::string_view sessionId =
        readTextIn(request, "SessionId", shortTextBuffer, sessionStore);
    if (sessionId.empty()) {
        if (!isEcho(function)) return std::nullopt;
        std::optional<JsonMapPtr> opened = openAtOnce(request, origin, function);
        if (!opened) return std::nullopt;
        return SessionAnswer{std::move(*opened), nullptr};
    }
    std::optional<SessionTable::Claim> found = table_.find(sessionId, origin);
    if (!found) return std::nullopt;
    std::unique_lock session(table_.callLock(found->index), std::try_to_lock);
    if (!session || !table_.holds(*found)) return std::nullopt;

    displayJsonMapParameters(&request);
    writeNormalLog("Session id: ", sessionId);
    if (isEcho(function)) {
        writeNormalLog("Find the loaded adapter", "");
        return SessionAnswer{nullptr, echoText(found->index)};
    }
    JsonMapPtr answer = newJsonMap();
    if (!answer) return SessionAnswer{allocationFailure(), nullptr};
    Request call{request, origin, std::string(sessionId), std::string(function), *found};
    return SessionAnswer{continueSession(call, std::move(answer)), nullptr};
}

// A page's first Echo opens its session at once when nothing in that can wait or take
// long: the spare adapter is ready (no copy, no load) and a slot is free (an eviction would
// wait for the oldest session's running call). Otherwise it goes to a worker, unlogged.
std::optional<JsonMapPtr> SessionService::openAtOnce(const JsonMap& request,
                                                     std::string_view origin,
                                                     std::string_view function) {
    if (!spare_.ready()) return std::nullopt;
    std::optional<std::string> id = newSessionId(table_);
    if (!id) return std::nullopt;
    const SessionTable::Opening opening = table_.open(*id, origin, false);
    if (opening.outcome != SessionTable::Opening::claimed) return std::nullopt;

    // The slot is this request's from here on, logged as handle() logs a new session.
    JsonMapPtr answer = newJsonMap();
    if (!answer) {
        table_.forget(opening.claim);
        return allocationFailure();
    }
    displayJsonMapParameters(&request);
    writeNormalLog("Generate new session id", "");
    setJsonMapValue(answer.get(), "SessionID", std::string_view(*id));
    writeNormalLog("Session id: ", *id);
    Request call{request, origin, *id, std::string(function), {}};
    return openSession(call, std::move(answer), opening);
}

Step SessionService::openSession(Request& call, JsonMapPtr answer,
                                 const std::optional<SessionTable::Opening>& claimed) {
    if (isReleaseFunction(call.function)) {
        writeNormalLog("No specific adapter to release", "");
        return answer;
    }
    const std::optional<AdapterPath> path = resolveAdapterPath(call.map);
    if (!path) {
        if (claimed) table_.forget(claimed->claim);
        return FAILURE_ANSWER(61009);
    }

    const SessionTable::Opening opening =
        claimed ? *claimed : table_.open(call.sessionId, call.origin);
    if (opening.outcome == SessionTable::Opening::taken)
        return std::nullopt;  // opened meanwhile: look again
    if (opening.outcome == SessionTable::Opening::closed) return JsonMapPtr();
    const int index = opening.claim.index;
    std::lock_guard session(table_.callLock(index));
    if (!table_.holds(opening.claim)) return std::nullopt;  // evicted before it began
    if (opening.evicted) {
        writeWarningLog("Tessaroll slot is full, release the oldest one", "");
        writeNormalLogInt("Release session index: ", index);
        releaseAdapter(index);
    }
    call.claim = opening.claim;

    // Every way out before the session is complete releases the slot.
    struct ReleaseUnlessKept {
        SessionService& service;
        const SessionTable::Claim& claim;
        bool kept = false;
        ~ReleaseUnlessKept() {
            if (!kept) service.releaseSlot(claim);
        }
    } guard{*this, call.claim};

    LoadedAdapter& adapter = table_.adapter(index);
    writeNormalLogInt("Session index: ", index);
    adapter.sessionId = call.sessionId;
    adapter.initTime = static_cast<int64_t>(std::time(nullptr));
    writeNormalLogInt("Init time: ", static_cast<int32_t>(static_cast<uint32_t>(adapter.initTime)));

    const std::string libraryPath = cutToBuffer(table_.installFolder() + "/" + path->folder + "/" +
                                                    diskFileName(path->adapterName + ".dll"),
                                                libraryPathLimit + 1);
    const std::string copyPath =
        cutToBuffer(table_.sessionCopyPath(index, path->adapterName), libraryPathLimit + 1);
    writeNormalLog("Original adapter: ", libraryPath);
    writeNormalLog("Copy adapter: ", copyPath);
    // The next session's spare is made once this one is open: making it holds the loader,
    // which this session needs while it loads and starts.
    struct PrepareNext {
        SpareAdapter& spare;
        const std::string& library;
        ~PrepareNext() { spare.keepReady(library); }
    } next{spare_, libraryPath};

    if (!loadAdapter(adapter, spare_, libraryPath, copyPath)) return FAILURE_ANSWER(61902);
    adapter.libraryLock = table_.libraryLock(adapter.library);
    adapter.adapterName = path->adapterName;
    if (!findEntryPoints(adapter)) return FAILURE_ANSWER(61906);
    if (Step refused = unlockAdapter(adapter, call.origin)) return refused;
    if (Step refused = checkVersions(adapter, call.map, answer)) return refused;
    readInstallerVersion(adapter, call.map, table_.workFolder(), *answer);
    guard.kept = true;

    if (isEcho(call.function)) {
        adapter.browserMode = readInteger(call.map, "TessarollMode") == 1 ? 1 : 0;
        setJsonMapResult(answer.get(), 0);
        return answer;
    }
    return runAdapterFunction(call, std::move(answer));
}

JsonMapPtr SessionService::continueSession(Request& call, JsonMapPtr answer) {
    writeNormalLog("Find the loaded adapter", "");
    if (const OwnFunction* own = ownFunction(call.function))
        return (this->*own->run)(call, std::move(answer));
    return runAdapterFunction(call, std::move(answer));
}

JsonMapPtr SessionService::forceRelease(Request& call, JsonMapPtr answer) {
    writeNormalLog("Force release: ", "Active");
    releaseSlot(call.claim);
    return answer;
}

JsonMapPtr SessionService::closeSession(Request& call, JsonMapPtr answer) {
    if (table_.adapter(call.claim.index).browserMode == 1)
        writeNormalLog("[Browser mode] Skip release process", "");
    else
        releaseSlot(call.claim);
    return answer;
}

JsonMapPtr SessionService::storeValue(Request& call, JsonMapPtr) {
    std::optional<std::string> channel = getJsonMapValue(&call.map, "channel");
    std::optional<std::string> domainList = getJsonMapValue(&call.map, "domain_list");
    std::optional<std::string> value = getJsonMapValue(&call.map, "value");
    if (!channel || !domainList || !value) return FAILURE_ANSWER(61005);
    const int32_t timeout = readInteger(call.map, "timeout");
    return FAILURE_ANSWER(values_.set(channel, domainList, timeout, value, call.origin));
}

JsonMapPtr SessionService::readValue(Request& call, JsonMapPtr) {
    std::optional<std::string> channel = getJsonMapValue(&call.map, "channel");
    if (!channel) return FAILURE_ANSWER(61005);
    const std::optional<SecretString> value = values_.get(channel, std::string(call.origin));
    if (!value) return FAILURE_ANSWER(61001);
    JsonMapPtr rebuilt = newJsonMap();
    if (!rebuilt) return allocationFailure();
    setJsonMapValue(rebuilt.get(), "result", value->view());
    return rebuilt;
}

namespace {

TESSAROLL_REQUEST_PATH void logEcho(const LoadedAdapter& adapter) {
    writeNormalLog("Browser mode: ", "Active");
    writeNormalLog("@@@@@@@@@@@@@@@@InstallerVersion: ",
                   adapter.installerVersion ? std::string_view(*adapter.installerVersion) : "");
}

void writeEchoAnswer(const LoadedAdapter& adapter, JsonMap* answer) {
    logEcho(adapter);
    // A text the slot does not have stays out of the answer.
    auto text = [](const std::optional<std::string>& value) {
        return value ? std::optional<std::string_view>(*value) : std::nullopt;
    };
    setJsonMapValue(answer, "ServerVersion", std::string_view(kTessarollVersion));
    setJsonMapValue(answer, "LibVersion", text(adapter.adapterVersion));
    setJsonMapValue(answer, "InstallerVersion", text(adapter.installerVersion));
    setJsonMapResult(answer, 0);
}

}  // namespace

JsonMapPtr SessionService::echo(Request& call, JsonMapPtr answer) {
    writeEchoAnswer(table_.adapter(call.claim.index), answer.get());
    return answer;
}

// The Echo answered at once: the session's first one builds and serialises the answer,
// which the slot keeps for the Echoes after it. Null when no answer could be made.
TESSAROLL_REQUEST_PATH ReadyAnswer SessionService::echoText(int index) {
    LoadedAdapter& adapter = table_.adapter(index);
    if (adapter.echoAnswer) {
        logEcho(adapter);
        return adapter.echoAnswer;
    }
    JsonMapPtr answer = newJsonMap();
    if (!answer) return nullptr;
    writeEchoAnswer(adapter, answer.get());
    std::optional<std::string> text = serializeJsonMap(answer.get());
    if (!text) return nullptr;
    try {
        adapter.echoAnswer = std::make_shared<const std::string>(std::move(*text));
    } catch (const std::bad_alloc&) {
        TESSAROLL_ALLOCATION_FAILURE();
    }
    return adapter.echoAnswer;
}

// The adapter call of a request, with the window watcher around it when asked for.
JsonMapPtr SessionService::runAdapterFunction(Request& call, JsonMapPtr answer) {
    bool watching = false;
    if (getJsonMapBool(&call.map, "topuidetect")) {
        writeNormalLog("Set top component UI: ", "Enable");
        startTopmostWatcher(ownProcessId_, false);
        watching = true;
    } else if (getJsonMapBool(&call.map, "topuialldetect")) {
        writeNormalLog("Set top all system UI: ", "Enable");
        startTopmostWatcher(ownProcessId_, true);
        watching = true;
    }
    const std::optional<SecretString> result =
        callAdapter(table_.adapter(call.claim.index), call.map, call.function.c_str());
    if (watching) stopTopmostWatcher();

    if (!result) {
        releaseSlot(call.claim);
        return FAILURE_ANSWER(61906);
    }
    const bool multiLine = result->view().find('\n') != std::string_view::npos;
    const char* label = multiLine ? " Component result:\n" : " Component result: ";
    if (getJsonMapBool(&call.map, "hide_result"))
        logPrint(5, "%s%s", label, std::string(result->size(), '*').c_str());
    else
        logPrint(5, "%s%s", label, result->c_str());
    setJsonMapValue(answer.get(), "result", std::string_view(*result));
    return answer;
}

void SessionService::releaseAll() {
    spare_.stop();
    for (const SessionTable::Claim& claim : table_.close()) {
        std::lock_guard session(table_.callLock(claim.index));
        if (table_.holds(claim)) releaseSlot(claim);
    }
    // The adapter copies that lie directly in the work folder, hidden ones included; the
    // session folders below it were emptied by the releases. Errors are ignored: a file
    // that cannot be deleted now is deleted at the next start.
    std::error_code error;
    if (table_.workFolder().empty()) return;
    for (const auto& entry : fs::directory_iterator(table_.workFolder(), error)) {
        if (entry.path().extension() == ".so" && entry.is_regular_file(error))
            fs::remove(entry.path(), error);
    }
}

JsonMapPtr resultOnlyAnswer(int code) {
    JsonMapPtr answer = newJsonMap();
    if (!answer) return allocationFailure();
    setJsonMapResult(answer.get(), code);
    return answer;
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
