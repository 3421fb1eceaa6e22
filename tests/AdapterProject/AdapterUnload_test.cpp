// The service loads a copy of the adapter per session and unloads it when the session is
// released: a copy that logged and called its component must leave nothing mapped behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "doubles/AdapterHarness/AdapterHarness.h"

using namespace adapter_testing;

namespace {

struct Maps {
    // Mappings of per-user named mutexes and open lock files of shared ones ("Global\\VZLog").
    std::size_t mutexMappings = 0;
    bool namesCopy = false;
};

Maps currentMaps(const std::string& copyPath) {
    Maps maps;
    std::ifstream in("/proc/self/maps");
    for (std::string line; std::getline(in, line);) {
        if (line.find("tessaroll-mutex") != std::string::npos) ++maps.mutexMappings;
        if (line.find(copyPath) != std::string::npos) maps.namesCopy = true;
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (target.find("tessaroll-lock.Global.") != std::string::npos) ++maps.mutexMappings;
    }
    return maps;
}

TEST(AdapterUnload, LoadedAndUnloadedCopiesLeaveNoMappingBehind) {
    ComponentSandbox box;
    const auto folder = box.sandbox().root() / "copy";
    const std::string copyPath = (folder / "ZEFAVZDediGPKICryptATLAdapter.so").string();
    std::size_t loadedFloor = currentMaps(copyPath).mutexMappings;
    auto session = [&] {
        AdapterCopy copy(folder);
        // Logs (so the copy opens "Global\VZLog"), creates the component, releases it.
        EXPECT_EQ(copy.call(R"({"TessarollFunctionIndex":"-1"})", "Tessaroll_GetVersion"),
                  "1,0,21,827");
        EXPECT_EQ(copy.call(R"({"TessarollFunctionIndex":"-3"})", "Tessaroll_Release"), "");
        // The copy really holds a mapping of its own while it is loaded.
        EXPECT_GT(currentMaps(copyPath).mutexMappings, loadedFloor);
    };
    // The first rounds load what stays for the process (the component, the COM layer).
    for (int i = 0; i < 3; ++i) session();
    const Maps before = currentMaps(copyPath);
    ASSERT_FALSE(before.namesCopy) << "the copy was not unloaded";

    constexpr int kSessions = 200;
    for (int i = 0; i < kSessions; ++i) session();
    const Maps after = currentMaps(copyPath);
    EXPECT_FALSE(after.namesCopy);
    // Only named mappings are counted: anonymous ones come and go with the allocator (and a
    // sanitizer's), while a copy that keeps its mutex table leaves one named mapping each.
    EXPECT_EQ(after.mutexMappings, before.mutexMappings)
        << before.mutexMappings << " -> " << after.mutexMappings;
    EXPECT_NE(box.log().find("Init adapter: "), std::string::npos);
}

}  // namespace
