// The service loads a copy of the adapter per session and unloads it when the session is
// released: a copy that logged and called its component must leave nothing mapped behind.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "AdapterHarness.h"

using namespace adapter_testing;

namespace {

struct Maps {
    std::size_t lines = 0;
    bool namesCopy = false;
};

Maps currentMaps(const std::string& copyPath) {
    Maps maps;
    std::ifstream in("/proc/self/maps");
    for (std::string line; std::getline(in, line);) {
        ++maps.lines;
        if (line.find(copyPath) != std::string::npos) maps.namesCopy = true;
    }
    return maps;
}

TEST(AdapterUnload, LoadedAndUnloadedCopiesLeaveNoMappingBehind) {
    ComponentSandbox box;
    const auto folder = box.sandbox().root() / "copy";
    const std::string copyPath = (folder / "ZEFAVZDediGPKICryptATLAdapter.so").string();
    auto session = [&] {
        AdapterCopy copy(folder);
        // Logs (so the copy opens "Global\VZLog"), creates the component, releases it.
        EXPECT_EQ(copy.call(R"({"TessarollFunctionIndex":"-1"})", "Tessaroll_GetVersion"), "1,0,21,827");
        EXPECT_EQ(copy.call(R"({"TessarollFunctionIndex":"-3"})", "Tessaroll_Release"), "");
    };
    // The first rounds load what stays for the process (the component, the COM layer).
    for (int i = 0; i < 3; ++i) session();
    const Maps before = currentMaps(copyPath);
    ASSERT_FALSE(before.namesCopy) << "the copy was not unloaded";

    constexpr int kSessions = 200;
    for (int i = 0; i < kSessions; ++i) session();
    const Maps after = currentMaps(copyPath);
    EXPECT_FALSE(after.namesCopy);
    // A few lines of slack for the allocator; a leak per copy grows by at least one each time.
    EXPECT_LT(after.lines, before.lines + kSessions / 10) << before.lines << " -> " << after.lines;
    EXPECT_NE(box.log().find("Init adapter: "), std::string::npos);
}

}  // namespace
