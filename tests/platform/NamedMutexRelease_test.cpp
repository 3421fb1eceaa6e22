// Giving up the mappings of an unloaded plug-in copy: what nobody uses goes, what a thread
// still owns or a handle still uses stays mapped.
#include "platform/NamedMutex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "helpers/Sandbox.h"

namespace {

bool mapped(const std::string& name) {
    const std::string path =
        std::string(std::getenv("XDG_RUNTIME_DIR")) + "/tessaroll-mutexes/" + name;
    std::ifstream in("/proc/self/maps");
    for (std::string line; std::getline(in, line);)
        if (line.find(path) != std::string::npos) return true;
    return false;
}

TEST(NamedMutexRelease, OnlyUnownedMappingsWithoutHandlesGo) {
    testing_support::Sandbox sandbox;
    ASSERT_TRUE(NamedMutex::create("release-idle"));
    auto inUse = NamedMutex::create("release-in-use");
    auto owner = NamedMutex::create("release-owned");
    ASSERT_TRUE(inUse && owner);
    ASSERT_EQ(owner->wait(0), MutexWait::Obtained);
    // Dropped on another thread: this thread keeps owning it without any handle.
    std::thread([&] { owner.reset(); }).join();
    ASSERT_TRUE(mapped("release-idle") && mapped("release-in-use") && mapped("release-owned"));

    releaseNamedMutexMappings();
    EXPECT_FALSE(mapped("release-idle"));
    EXPECT_TRUE(mapped("release-in-use"));
    EXPECT_TRUE(mapped("release-owned"));
    inUse.reset();  // its last handle takes the mapping with it
    EXPECT_FALSE(mapped("release-in-use"));

    // The owner can still give it back, and then it goes as well.
    auto again = NamedMutex::openExisting("release-owned");
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->release());
    again.reset();
    releaseNamedMutexMappings();
    EXPECT_FALSE(mapped("release-owned"));
    // A later use maps it afresh.
    auto fresh = NamedMutex::create("release-owned");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->wait(0), MutexWait::Obtained);
    EXPECT_TRUE(fresh->release());
}

}  // namespace
