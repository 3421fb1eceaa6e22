// A shared library loaded for as long as the object lives.
#pragma once

#include <string>

#include "platform/SharedLibrary.h"

namespace VZ::OS::Utility {

class LibraryLoader {
public:
    // Raises std::runtime_error "Failed to load library. Library = {}, Error code = {}".
    explicit LibraryLoader(const std::string& path, int flags = RTLD_NOW | RTLD_LOCAL);
    LibraryLoader(const LibraryLoader&) = delete;
    LibraryLoader& operator=(const LibraryLoader&) = delete;

    void* handle() const { return library_.handle(); }
    // Address of an exported symbol; null when the library has none of that name.
    void* symbol(const char* name) const;

private:
    SharedLibrary library_;
};

}  // namespace VZ::OS::Utility
