#include "TessarollSession/AdapterModule.h"

#include <dlfcn.h>

namespace {
thread_local std::string lastError;

void noteError() {
    const char* text = dlerror();
    lastError = text ? text : "";
}
}  // namespace

void* loadAdapterModule(const std::string& path) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) noteError();
    return module;
}

void* adapterModuleFunction(void* module, const char* name) {
    if (!module) return nullptr;
    return dlsym(module, name);
}

bool unloadAdapterModule(void* module) {
    if (dlclose(module) == 0) return true;
    noteError();
    return false;
}

std::string lastAdapterModuleError() { return lastError; }
