#include <gtest/gtest.h>
#include <chrono>
#include <stdexcept>

#include "core/DelayPolicy.h"
#include "core/LibraryLoader.h"
#include "core/ScopeExit.h"

using namespace std::chrono_literals;

namespace {

TEST(Patterns, LinearRetriesTwiceThenGivesUp) {
    VZ::Core::Pattern::Linear<2, 0> quick;
    int attempts = 0;
    try {
        quick.run([&] { return ++attempts, false; });
        ADD_FAILURE() << "no Retry timeout";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Retry timeout");
    }
    EXPECT_EQ(attempts, 3);

    attempts = 0;
    EXPECT_NO_THROW(quick.run([&] { return ++attempts == 2; }));
    EXPECT_EQ(attempts, 2);

    VZ::Core::Pattern::Linear<2, 2> used;
    EXPECT_EQ(used.delay(), 2s);
    EXPECT_EQ(used.retries, 2);
}

TEST(Patterns, ScopeExitRunsAlsoWhenLeftByAnException) {
    int runs = 0;
    try {
        VZ::Core::ScopeExit guard([&runs] { ++runs; });
        throw std::runtime_error("leave");
    } catch (const std::runtime_error&) {}
    EXPECT_EQ(runs, 1);
}

TEST(Patterns, LibraryLoaderLoadsAndReportsFailure) {
    VZ::OS::Utility::LibraryLoader math("libm.so.6");
    EXPECT_NE(math.symbol("cos"), nullptr);
    EXPECT_EQ(math.symbol("no_such_function_here"), nullptr);
    try {
        VZ::OS::Utility::LibraryLoader missing("/nonexistent/Dbghelp.so");
        ADD_FAILURE() << "loaded a missing library";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind(
                "Failed to load library. Library = /nonexistent/Dbghelp.so, Error code = ", 0),
            0u)
            << e.what();
    }
}

}  // namespace
