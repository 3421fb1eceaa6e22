#include "core/LibraryLoader.h"

#include <fmt/format.h>
#include <stdexcept>

namespace VZ::OS::Utility {

LibraryLoader::LibraryLoader(const std::string& path, int flags) {
    std::string why;
    library_ = SharedLibrary::open(path, &why, flags);
    if (!library_)
        throw std::runtime_error(
            fmt::format("Failed to load library. Library = {}, Error code = {}", path,
                        why.empty() ? "unknown" : why));
}

void* LibraryLoader::symbol(const char* name) const {
    return library_.symbol(name);
}

}  // namespace VZ::OS::Utility
