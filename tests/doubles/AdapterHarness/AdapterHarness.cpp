#include "doubles/AdapterHarness/AdapterHarness.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

namespace adapter_testing {

ComponentSandbox::ComponentSandbox(bool logging) {
    if (const char* saved = std::getenv(kComRegistryVariable)) savedRegistry_ = saved;
    writeFile(registry(),
              std::string("# the test component\n{2BA55A3B-BA08-4B99-AF12-8FBD0A485310}=") +
                  TESSAROLL_TEST_COMPONENT_PATH + "\n");
    setenv(kComRegistryVariable, registry().c_str(), 1);
    fs::create_directories(sandbox_.root() / "log");
    if (logging)
        writeFile(
            sandbox_.windowsDir() / "ZEFAGPKITessaroll.ini",
            "[ZEFAGPKITessaroll]\nLog File=" + (sandbox_.root() / "log" / "adapter.log").string() +
                "\nLog MaxSize=500000000\nLog Level=5\n");
    componentLibrary_ = dlopen(TESSAROLL_TEST_COMPONENT_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!componentLibrary_) throw std::runtime_error(dlerror());
    auto control = reinterpret_cast<TestComponentControlFunction>(
        dlsym(componentLibrary_, kTestComponentControlSymbol));
    if (!control) throw std::runtime_error("test component without control");
    control_ = control();
    control_->reset();
}

ComponentSandbox::~ComponentSandbox() {
    control_->reset();
    if (savedRegistry_)
        setenv(kComRegistryVariable, savedRegistry_->c_str(), 1);
    else
        unsetenv(kComRegistryVariable);
    // The component library stays loaded: the COM runtime keeps its servers.
}

std::string ComponentSandbox::log() const {
    std::string all;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(sandbox_.root() / "log"))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) all += readFile(file);
    return all;
}

fs::path stagedAdapter() {
    return fs::path(TESSAROLL_STAGE_DIR) / "ZEFAGPKI" / "ZEFAVZDediGPKICryptATLAdapter.so";
}

AdapterCopy::AdapterCopy(const fs::path& folder) {
    fs::create_directories(folder);
    fs::path copy = folder / "ZEFAVZDediGPKICryptATLAdapter.so";
    fs::copy_file(stagedAdapter(), copy, fs::copy_options::overwrite_existing);
    library_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library_) throw std::runtime_error(dlerror());
    callMethod_ = reinterpret_cast<CallMethod>(dlsym(library_, "callMethod"));
    callJsonMapMethod_ = reinterpret_cast<CallJsonMapMethod>(dlsym(library_, "callJsonMapMethod"));
    if (!callMethod_ || !callJsonMapMethod_)
        throw std::runtime_error("adapter without its entry points");
}

AdapterCopy::~AdapterCopy() {
    // A copy unloaded while it holds the component would leave the object behind.
    call(R"({"TessarollFunctionIndex":"-3"})", "Tessaroll_Release");
    // Unloaded as the service unloads it, so that what a copy leaves behind shows.
    dlclose(library_);
}

std::string AdapterCopy::call(const std::string& jsonText, const std::string& functionName) {
    // "{}" does not parse (a map needs a pair): an empty request is an empty map.
    JsonMapPtr map = jsonText == "{}" ? newJsonMap() : parseJsonMap(jsonText);
    if (!map) throw std::runtime_error("request does not parse: " + jsonText);
    const char* answer = callJsonMapMethod_(map.get(), functionName.c_str());
    return answer ? answer : "<null>";
}

std::optional<std::string> AdapterCopy::callText(const char* jsonText) {
    const char* answer = callMethod_(jsonText);
    if (!answer) return std::nullopt;
    return std::string(answer);
}

const char* AdapterCopy::callJsonMap(const JsonMap* map, const char* functionName) {
    return callJsonMapMethod_(map, functionName);
}

FreedStrings::FreedStrings() {
    setBstrFreeObserver(&FreedStrings::observe, this);
}
FreedStrings::~FreedStrings() {
    setBstrFreeObserver(nullptr, nullptr);
}

void FreedStrings::observe(BSTR text, uint32_t byteLength, void* context) {
    auto* self = static_cast<FreedStrings*>(context);
    std::lock_guard guard(self->lock_);
    self->freed_.push_back({text, std::u16string(text, byteLength / sizeof(OLECHAR))});
}

std::vector<FreedStrings::Freed> FreedStrings::taken() {
    std::lock_guard guard(lock_);
    std::vector<Freed> result;
    result.swap(freed_);
    return result;
}

bool FreedStrings::allZero(const std::u16string& text) {
    for (char16_t c : text)
        if (c != 0) return false;
    return true;
}

std::string requestJson(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string text = "{";
    for (const auto& [key, value] : pairs) {
        if (text.size() > 1) text += ",";
        text += "\"" + key + "\":\"" + value + "\"";
    }
    return text + "}";
}

}  // namespace adapter_testing
