// Per-thread initialisation, the class registry and object creation.
#include "platform/Com.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

#include "platform/FileIdentity.h"
#include "platform/SharedLibrary.h"

namespace {

thread_local int initializeCount = 0;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// Loaded servers stay loaded for the life of the process: objects they made may be alive
// anywhere, and nothing here can know when the last one has gone (the map is never
// destroyed, so not even at exit).
std::mutex serversLock;
std::map<std::string, SharedLibrary>& loadedServers() {
    static auto* servers = new std::map<std::string, SharedLibrary>;
    return *servers;
}

}  // namespace

std::string guidToString(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  unsigned(guid.Data1), unsigned(guid.Data2), unsigned(guid.Data3), guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

std::optional<GUID> guidFromString(std::string_view text) {
    text = trim(text);
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36) return std::nullopt;
    uint8_t bytes[16];
    std::size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        if (at == 8 || at == 13 || at == 18 || at == 23) {
            if (text[at] != '-') return std::nullopt;
            ++at;
        }
        int high = hexValue(text[at]), low = hexValue(text[at + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[i] = uint8_t(high << 4 | low);
        at += 2;
    }
    GUID guid{};
    guid.Data1 =
        uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    guid.Data2 = uint16_t(bytes[4] << 8 | bytes[5]);
    guid.Data3 = uint16_t(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = bytes[8 + i];
    return guid;
}

HRESULT CoInitialize(void* reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(void* reserved, DWORD /*flags*/) {
    // One threading model only: every object is called on the thread that holds it.
    return initializeCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (initializeCount > 0) --initializeCount;
}

int comInitializeCount() {
    return initializeCount;
}

std::string comRegistryPath() {
    if (const char* path = std::getenv(kComRegistryVariable); path && *path) return path;
    // Beside this library, which does not move while it is loaded.
    static const std::string besideRuntime = [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&comRegistryPath), &info) && info.dli_fname)
            return (std::filesystem::path(info.dli_fname).parent_path() / kComRegistryFileName)
                .string();
        return std::string(kComRegistryFileName);
    }();
    return besideRuntime;
}

namespace {

struct RegistryEntry {
    GUID clsid;
    std::string library;  // as written, relative to the registry's folder or absolute
};

std::vector<RegistryEntry> readRegistry(const std::string& registry) {
    std::vector<RegistryEntry> entries;
    std::ifstream file(registry);
    std::string line;
    while (std::getline(file, line)) {
        std::string_view entry = trim(line);
        if (entry.empty() || entry.front() == '#' || entry.front() == ';' || entry.front() == '[')
            continue;
        auto equals = entry.find('=');
        if (equals == std::string_view::npos) continue;
        if (auto key = guidFromString(entry.substr(0, equals)))
            entries.push_back({*key, std::string(trim(entry.substr(equals + 1)))});
    }
    return entries;
}

// The registry as last read: every new session's adapter creates its component through it,
// so it is read again only when the file (or the file named) changes.
struct RegistryCache {
    std::mutex lock;
    std::string path;
    FileIdentity identity;
    std::vector<RegistryEntry> entries;
};

RegistryCache& registryCache() {
    static auto* cache = new RegistryCache;  // never destroyed: used until the process ends
    return *cache;
}

}  // namespace

std::optional<std::string> comServerPath(REFCLSID clsid) {
    const std::filesystem::path registry = comRegistryPath();
    const std::optional<FileIdentity> identity = fileIdentity(registry.string());
    if (!identity) return std::nullopt;
    RegistryCache& cache = registryCache();
    std::lock_guard guard(cache.lock);
    if (cache.path != registry.string() || !(cache.identity == *identity)) {
        cache.entries = readRegistry(registry.string());
        cache.path = registry.string();
        cache.identity = *identity;
    }
    for (const RegistryEntry& entry : cache.entries) {
        if (!(entry.clsid == clsid)) continue;
        std::filesystem::path library(entry.library);
        if (library.empty()) return std::nullopt;
        if (library.is_relative()) library = registry.parent_path() / library;
        return library.lexically_normal().string();
    }
    return std::nullopt;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* /*serverInfo*/, REFIID iid,
                         void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (initializeCount == 0) return CO_E_NOTINITIALIZED;
    // Local and remote servers have no counterpart here; only in-process ones are found.
    if ((context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) == 0) return REGDB_E_CLASSNOTREG;
    auto path = comServerPath(clsid);
    if (!path) return REGDB_E_CLASSNOTREG;

    const SharedLibrary* library = nullptr;
    {
        std::lock_guard guard(serversLock);
        auto& servers = loadedServers();
        auto found = servers.find(*path);
        if (found == servers.end()) {
            SharedLibrary opened = SharedLibrary::open(*path);
            if (!opened) return CO_E_DLLNOTFOUND;
            found = servers.emplace(*path, std::move(opened)).first;
        }
        library = &found->second;  // map nodes never move
    }
    auto getClassObject = library->function<DllGetClassObjectFunction>("DllGetClassObject");
    if (!getClassObject) return CO_E_ERRORINDLL;
    return getClassObject(clsid, iid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT result = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                      reinterpret_cast<void**>(&factory));
    if (FAILED(result)) return result;
    if (!factory) return E_UNEXPECTED;
    result = factory->CreateInstance(outer, iid, object);
    factory->Release();
    if (FAILED(result)) *object = nullptr;
    return result;
}

HRESULT OleRun(IUnknown* object) {
    if (!object) return E_INVALIDARG;
    IRunnableObject* runnable = nullptr;
    if (FAILED(object->QueryInterface(IID_IRunnableObject, reinterpret_cast<void**>(&runnable))) ||
        !runnable)
        return S_OK;  // an object without a running state is running
    HRESULT result = runnable->Run(nullptr);
    runnable->Release();
    return result;
}
