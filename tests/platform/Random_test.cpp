#include "platform/Random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace {

TEST(Random, FillsTheWholeBuffer) {
    // Two fills of 64 bytes agreeing, or one leaving its last bytes zero, is what a broken
    // source looks like; for a working one either happens with negligible chance.
    std::array<unsigned char, 64> first{}, second{};
    ASSERT_TRUE(fillRandomBytes(first));
    ASSERT_TRUE(fillRandomBytes(second));
    EXPECT_NE(first, second);
    const std::array<unsigned char, 8> zeros{};
    EXPECT_FALSE(std::equal(zeros.begin(), zeros.end(), first.end() - 8));
    EXPECT_TRUE(fillRandomBytes({}));
}

}  // namespace
