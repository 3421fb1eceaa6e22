// The shared log lock, held by another process that never lets go. Every test program logs
// through the same lock, so this one runs alone: a line of another test in progress would
// otherwise be a holder too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/LoggerFixture.h"
#include "helpers/Sandbox.h"
#include "platform/NamedMutex.h"

namespace {

using LogLockTest = LoggerTest;

TEST_F(LogLockTest, AHolderThatNeverLetsGoDelaysOneLineOnly) {
    using namespace std::chrono;
    fs::path ini = writeIni(logFileLine() + "Log Level=5\n");
    ASSERT_EQ(initLog(ini.c_str()), 0);
    SharedLogLockHolder neverLetsGo;
    ASSERT_TRUE(neverLetsGo.holds());
    const auto start = steady_clock::now();
    EXPECT_EQ(logPrint(5, "held up"), 0);
    const auto first = steady_clock::now() - start;
    for (int i = 0; i < 20; ++i) logPrint(5, "not held up %d", i);
    const auto all = steady_clock::now() - start;
    EXPECT_GE(first, milliseconds(900));
    EXPECT_LT(all, first + milliseconds(500));
    EXPECT_EQ(linesOf(logPath()).size(), 22u);
    neverLetsGo.release();

    // Free again: the next lines take the lock as before.
    ASSERT_EQ(logPrint(5, "free again"), 0);
    SharedLogLockHolder holdsShortly;
    ASSERT_TRUE(holdsShortly.holds());
    auto writing = std::async(std::launch::async, [] { return logPrint(5, "waits again"); });
    EXPECT_EQ(writing.wait_for(milliseconds(200)), std::future_status::timeout);
    holdsShortly.release();
    EXPECT_EQ(writing.get(), 0);
}

}  // namespace
