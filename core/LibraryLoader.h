// A shared library loaded for as long as the object lives.
#pragma once

#include <dlfcn.h>
#include <string>

namespace VZ::OS::Utility {

class LibraryLoader {
public:
    // Raises std::runtime_error "Failed to load library. Library = {}, Error code = {}".
    explicit LibraryLoader(const std::string& path, int flags = RTLD_NOW | RTLD_LOCAL);
    ~LibraryLoader();
    LibraryLoader(const LibraryLoader&) = delete;
    LibraryLoader& operator=(const LibraryLoader&) = delete;

    void* handle() const { return handle_; }
    // Address of an exported symbol; null when the library has none of that name.
    void* symbol(const char* name) const;

private:
    void* handle_ = nullptr;
};

}  // namespace VZ::OS::Utility
