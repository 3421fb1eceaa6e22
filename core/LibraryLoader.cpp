#include "core/LibraryLoader.h"

#include <fmt/format.h>
#include <stdexcept>

namespace VZ::OS::Utility {

LibraryLoader::LibraryLoader(const std::string& path, int flags) {
    handle_ = ::dlopen(path.c_str(), flags);
    if (!handle_) {
        const char* why = ::dlerror();
        throw std::runtime_error(fmt::format("Failed to load library. Library = {}, Error code = {}", path,
                                             why ? why : "unknown"));
    }
}

LibraryLoader::~LibraryLoader() {
    if (handle_) ::dlclose(handle_);
}

void* LibraryLoader::symbol(const char* name) const {
    return ::dlsym(handle_, name);
}

}  // namespace VZ::OS::Utility
