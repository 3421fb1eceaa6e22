// Loading and unloading one copy of the adapter plug-in. Each file path loads as its own
// instance with its own globals (RTLD_LOCAL), which is what gives every session its own
// adapter state.
#pragma once

#include <string>

void* loadAdapterModule(const std::string& path);
void* adapterModuleFunction(void* module, const char* name);
// True when the module was unloaded.
bool unloadAdapterModule(void* module);
// The reason of the last failed load or unload ("" when there is none).
std::string lastAdapterModuleError();
