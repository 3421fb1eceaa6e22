// The adapter plug-in's two exports, its first-call initialisation, the dispatch by index
// and by name, and the three system functions.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "AdapterProject/AdapterCommon.h"
#include "AdapterProject/AdapterState.h"
#include "AdapterProject/OriginAllowList.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Secure.h"

ICardCryptoComponent* componentInterface = nullptr;

namespace {

constexpr DWORD kComponentContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER |
                                    CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;  // 0x17

std::unique_ptr<AdapterFunctionTable> functionTable;
std::vector<AdapterFunctionEntry> componentFunctionIndex;
int32_t componentFunctionCount = 0;
bool adapterInitialized = false;
// Whether this copy holds a CoInitialize of its own, so every one is undone exactly once.
bool comInitialized = false;

// One call at a time in a loaded copy, whoever calls.
std::mutex callLock;
// The text the last call returned: the caller reads it until its next call. It may be a
// decrypted text, so each one is wiped when the next replaces it.
SecretString lastAnswer;

void writeEntryLines(const char* first) {
    writeNormalLog(first, kAdapterName);
    writeNormalLog("Adatper compile date: ", __DATE__);
    writeNormalLog("Adatper compile time: ", __TIME__);
}

void undoComInitialize() {
    if (comInitialized) {
        CoUninitialize();
        comInitialized = false;
    }
}

bool createComponent() {
    if (!comInitialized) {
        CoInitialize(nullptr);
        comInitialized = true;
    }
    if (componentInterface) {
        componentInterface->Release();
        componentInterface = nullptr;
    }
    IUnknown* unknown = nullptr;
    HRESULT result = CoCreateInstance(CLSID_CardCryptoComponent, nullptr, kComponentContext,
                                      IID_IUnknown, reinterpret_cast<void**>(&unknown));
    if (SUCCEEDED(result) && unknown) {
        result = OleRun(unknown);
        if (SUCCEEDED(result)) {
            result = unknown->QueryInterface(IID_ICardCryptoComponent,
                                             reinterpret_cast<void**>(&componentInterface));
            if (SUCCEEDED(result) && !componentInterface) result = E_NOINTERFACE;
        }
    } else if (SUCCEEDED(result)) {
        result = E_POINTER;
    }
    if (unknown) unknown->Release();
    if (FAILED(result)) {
        if (componentInterface) componentInterface->Release();
        componentInterface = nullptr;
        return false;
    }
    return true;
}

void buildTables() {
    functionTable.reset(new (std::nothrow) AdapterFunctionTable);
    if (!functionTable) {
        TESSAROLL_ALLOCATION_FAILURE();
        return;
    }
    for (const ComponentFunctionRegistration& function : componentFunctionRegistrations())
        registerAdapterFunction(functionTable.get(), function.handler, function.name);

    componentFunctionIndex.assign(functionTable->entries.begin(),
                                  functionTable->entries.begin() + functionTable->count);
    componentFunctionCount = functionTable->count;

    registerAdapterFunction(functionTable.get(), &systemGetVersion, "Tessaroll_GetVersion");
    registerAdapterFunction(functionTable.get(), &systemRelease, "Tessaroll_Release");
    registerAdapterFunction(functionTable.get(), &systemUnlock, "Tessaroll_Unlock");

    auto* entries = functionTable->entries.data();
    std::sort(entries, entries + functionTable->count,
              [](const AdapterFunctionEntry& a, const AdapterFunctionEntry& b) {
                  return compareAdapterFunctionNames(&a, &b) == -1;
              });
}

const char* finishCall(AdapterAnswer answer) {
    lastAnswer = answer ? SecretString(std::move(*answer)) : SecretString();
    return lastAnswer.c_str();
}

AdapterAnswer initAndDispatch(const JsonMap* map, const char* name) {
    if (!initAdapter()) return makeCodeText(kResultComponentNotCreated);
    return dispatchAdapterFunction(map, name);
}

// A map this copy parsed itself: its values may hold PINs, so they are zeroed before the
// map is freed, however the call ends.
struct OwnRequest {
    JsonMapPtr map;
    ~OwnRequest() {
        if (!map) return;
        for (int32_t i = 0; i < std::min<int32_t>(map->count, kJsonMapCapacity); ++i)
            if (char* value = map->entries[i].value) secureWipe(value, std::strlen(value));
        if (map->jsonText) secureWipe(map->jsonText, std::strlen(map->jsonText));
    }
};

}  // namespace

bool initAdapter() {
    if (adapterInitialized) return true;
    setLog(kAdapterName);
    writeEntryLines("Init adapter: ");

    if (!createComponent()) {
        // A failed creation leaves nothing behind, so the next call starts from scratch.
        undoComInitialize();
        writeErrorLog("Component init error!", "");
        return false;
    }

    buildTables();
    if (!functionTable) return true;  // the system functions still answer by index

    writeNormalLog("Success enable:", "");
    writeNormalLogInt("\tComponent api: ", componentFunctionCount);
    writeNormalLogInt("\tSystem api: ", functionTable->count - componentFunctionCount);
    adapterInitialized = true;
    return true;
}

AdapterAnswer dispatchAdapterFunction(const JsonMap* map, const char* name) {
    if (!map) {
        TESSAROLL_NULL_PARAMETER("JsonMap");
        return std::nullopt;
    }
    if (!name) {
        TESSAROLL_NULL_PARAMETER("FunctionName");
        return std::nullopt;
    }
    int32_t index = getJsonMapInt(map, "TessarollFunctionIndex");
    writeNormalLogInt("FunctionIndex: ", index);
    switch (index) {
        case -3: return systemRelease(map);
        case -2: return systemUnlock(map);
        case -1: return systemGetVersion(map);
        default: break;
    }
    if (index >= 0 && index < componentFunctionCount &&
        std::size_t(index) < componentFunctionIndex.size()) {
        const AdapterFunctionEntry& entry = componentFunctionIndex[std::size_t(index)];
        if (adapterFunctionNamesEqual(entry.name, name)) return entry.handler(map);
        writeWarningLog("TessarollFunctionIndex is not match with adapter", "");
        writeWarningLog("FunctionName from web: ", name);
        writeWarningLog("FunctionName in adapter: ", entry.name);
    } else {
        writeWarningLog("FunctionIndex: ", "Out of range");
    }
    writeWarningLog("FunctionIndex mode: ", "Fail");
    writeNormalLog("Function search name mode: ", name);

    if (!functionTable) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
    } else if (AdapterFunction handler = BinarySearchTessarollAdapterMap(
                   functionTable.get(), name, 0, functionTable->count - 1)) {
        return handler(map);
    }
    writeWarningLog("Function name does not match: ", name);
    return makeCodeText(kResultFunctionMissing);
}

AdapterAnswer systemGetVersion(const JsonMap*) {
    return std::string(kAdapterVersion);
}

AdapterAnswer systemUnlock(const JsonMap* map) {
    // The service passes the page's origin as "url" when it opens the session.
    if (!originMayUseCard(getJsonMapValue(map, "url"))) return makeCodeText(kResultOriginRefused);
    return makeCodeText(0);
}

AdapterAnswer systemRelease(const JsonMap*) {
    AdapterAnswer answer;
    if (functionTable) {
        functionTable->count = 0;
        functionTable.reset();
    }
    componentFunctionIndex.clear();
    componentFunctionIndex.shrink_to_fit();
    if (adapterInitialized) {
        try {
            if (!componentInterface) _com_issue_error(E_POINTER);
            componentInterface->Release();
            componentInterface = nullptr;
        } catch (const _com_error&) {
            writeWarningLog("", "Catch component exception");
            answer = makeCodeText(kResultComponentFailed);
            char text[512] = {};
            std::snprintf(text, sizeof text, "Safe in %s at %d lines in %s", "TessarollRelease",
                          __LINE__, __FILE__);
            writeErrorLog("[Safe Line] ", text);
        }
        // Also after an error: the copy is uninitialised either way, so the next call
        // builds everything again instead of finding no tables.
        undoComInitialize();
        adapterInitialized = false;
    }
    writeNormalLog("TessarollRelease", "");
    return answer;
}

bool adapterIsInitialized() {
    return adapterInitialized;
}
const std::vector<AdapterFunctionEntry>& adapterComponentFunctionIndex() {
    return componentFunctionIndex;
}
const AdapterFunctionTable* adapterFunctionTable() {
    return functionTable.get();
}

extern "C" {

__attribute__((visibility("default"))) const char* callMethod(const char* jsonText) {
    std::lock_guard guard(callLock);
    try {
        writeEntryLines("Into adapter: ");
        if (!jsonText) {
            TESSAROLL_NULL_PARAMETER("JSONObj");
            return finishCall(std::nullopt);
        }
        OwnRequest request{parseJsonMap(jsonText)};
        if (!request.map) return finishCall(std::nullopt);
        displayJsonMapParameters(request.map.get());

        std::optional<std::string> name = getJsonMapValue(request.map.get(), "FunctionName");
        if (!name) {
            writeWarningLog("Function name is null", "");
            return finishCall(makeCodeText(kResultFunctionMissing));
        }
        return finishCall(initAndDispatch(request.map.get(), name->c_str()));
    } catch (...) {
        // Nothing may leave the plug-in as an exception; out of memory answers null.
        return nullptr;
    }
}

__attribute__((visibility("default"))) const char* callJsonMapMethod(const JsonMap* map,
                                                                     const char* functionName) {
    std::lock_guard guard(callLock);
    try {
        writeEntryLines("Into json map adapter: ");
        if (!map)
            TESSAROLL_NULL_PARAMETER("JsonMap");
        else if (!functionName)
            TESSAROLL_NULL_PARAMETER("FunctionName");
        else
            return finishCall(initAndDispatch(map, functionName));
        return finishCall(std::nullopt);
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
