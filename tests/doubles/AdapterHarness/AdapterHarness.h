// Fixtures for the adapter's tests: the test component registered in a sandbox's class
// registry, fresh copies of the staged adapter plug-in, requests, and an observer of the
// BSTRs freed while a call runs.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TessarollUtil/JsonMap.h"
#include "helpers/Sandbox.h"
#include "platform/Bstr.h"
#include "platform/Com.h"
#include "tests/doubles/TestComponent/TestComponent.h"

namespace adapter_testing {

// A sandbox whose class registry names the test component, with the adapter's logging
// switched on into "<sandbox>/log". Restores TESSAROLL_COM_REGISTRY when it goes.
class ComponentSandbox {
public:
    explicit ComponentSandbox(bool logging = true);
    ~ComponentSandbox();
    const testing_support::Sandbox& sandbox() const { return sandbox_; }
    std::filesystem::path registry() const { return sandbox_.root() / "ComRegistry.ini"; }
    // Every line the adapter copies have logged so far.
    std::string log() const;
    TestComponentControl& component() { return *control_; }

private:
    testing_support::Sandbox sandbox_;
    std::optional<std::string> savedRegistry_;
    TestComponentControl* control_ = nullptr;
    void* componentLibrary_ = nullptr;
};

// One copy of the staged adapter, loaded from its own folder so that it has its own state.
// Releases the component on the way out when the copy still holds it.
class AdapterCopy {
public:
    explicit AdapterCopy(const std::filesystem::path& folder);
    ~AdapterCopy();
    AdapterCopy(const AdapterCopy&) = delete;
    AdapterCopy& operator=(const AdapterCopy&) = delete;

    // callJsonMapMethod with the map parsed from jsonText and the given name.
    std::string call(const std::string& jsonText, const std::string& functionName);
    // callMethod with the text as it is (null allowed).
    std::optional<std::string> callText(const char* jsonText);
    const char* callJsonMap(const JsonMap* map, const char* functionName);

private:
    void* library_ = nullptr;
    using CallMethod = const char* (*)(const char*);
    using CallJsonMapMethod = const char* (*)(const JsonMap*, const char*);
    CallMethod callMethod_ = nullptr;
    CallJsonMapMethod callJsonMapMethod_ = nullptr;
};

std::filesystem::path stagedAdapter();

// Records the content of every BSTR freed while it is alive.
class FreedStrings {
public:
    FreedStrings();
    ~FreedStrings();
    struct Freed {
        const void* address;
        std::u16string text;
    };
    std::vector<Freed> taken();
    static bool allZero(const std::u16string& text);

private:
    static void observe(BSTR text, uint32_t byteLength, void* context);
    std::mutex lock_;
    std::vector<Freed> freed_;
};

// A JSON object text of the pairs, every value a string.
std::string requestJson(const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace adapter_testing
