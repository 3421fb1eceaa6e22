// A shared library loaded for as long as the object lives: the one place that calls
// dlopen, dlsym and dlclose. Header-only, so the COM runtime library can use it too.
#pragma once

#include <dlfcn.h>
#include <string>
#include <utility>

class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary() { close(); }
    SharedLibrary(SharedLibrary&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)) {}
    SharedLibrary& operator=(SharedLibrary&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Each distinct path loads as its own instance with its own globals under RTLD_LOCAL.
    // An empty object when the library does not load; `error` then holds the reason.
    static SharedLibrary open(const std::string& path, std::string* error = nullptr,
                              int flags = RTLD_NOW | RTLD_LOCAL) {
        SharedLibrary library;
        library.handle_ = ::dlopen(path.c_str(), flags);
        if (!library.handle_ && error) *error = lastError();
        return library;
    }

    explicit operator bool() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }

    // Address of an exported symbol; null when there is none of that name or nothing is loaded.
    void* symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }
    template <class Function>
    Function function(const char* name) const {
        return reinterpret_cast<Function>(symbol(name));
    }

    // Unloads now. True when the library was unloaded or nothing was loaded; else `error`
    // holds the reason. The object is empty afterwards either way.
    bool close(std::string* error = nullptr) {
        void* handle = std::exchange(handle_, nullptr);
        if (!handle || ::dlclose(handle) == 0) return true;
        if (error) *error = lastError();
        return false;
    }

private:
    static std::string lastError() {
        const char* text = ::dlerror();
        return text ? text : "";
    }

    void* handle_ = nullptr;
};

// A library opened at run time and a table of its functions, for a derived struct that names
// each function with TESSAROLL_LIBRARY_FUNCTION. Members are made after this base, so the
// library is open when they are looked up; `missing` counts those the library lacks.
struct LibraryFunctions {
    explicit LibraryFunctions(const char* name) : library(SharedLibrary::open(name)) {}
    SharedLibrary library;
    int missing = 0;
    template <class Function>
    Function load(const char* name) {
        auto function = library.function<Function>(name);
        if (!function) ++missing;
        return function;
    }
    bool complete() const { return library && missing == 0; }
};
#define TESSAROLL_LIBRARY_FUNCTION(name) decltype(&::name) name = load<decltype(&::name)>(#name);
