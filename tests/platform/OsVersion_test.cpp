#include "platform/OsVersion.h"

#include <gtest/gtest.h>

namespace {

TEST(OsVersion, LinuxBitAndOneArchitectureBit) {
    EXPECT_EQ(architectureBit("x86_64"), kOs64Bit);
    EXPECT_EQ(architectureBit("aarch64"), kOs64Bit);
    EXPECT_EQ(architectureBit("i686"), kOs32Bit);
    EXPECT_EQ(architectureBit("armv7l"), kOs32Bit);
    const uint32_t mask = hostOsVersionMask();
    EXPECT_EQ(mask & ~(kOs32Bit | kOs64Bit), kOsLinux);
    EXPECT_TRUE(((mask & kOs32Bit) != 0) != ((mask & kOs64Bit) != 0));
}

}  // namespace
