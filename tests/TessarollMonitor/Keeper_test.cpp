// The keeper with a stand-in main program that records each run number and then exits
// with a chosen code or stays until it is ended.
#include <filesystem>
#include <sstream>
#include <thread>

#include "MonitorTestSupport.h"
#include "TessarollUtil/ProcessTools.h"
#include "helpers/ChildProcess.h"
#include "platform/Process.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

class KeeperTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        dir_ = std::filesystem::path(state_->window.dataFolder).parent_path() /
               ("keeper-" + programName_);
        std::filesystem::create_directories(dir_);
        program_ = dir_ / programName_;
        std::filesystem::copy_file(TEST_MAIN_PATH, program_);
        setenv("TESSAROLL_TEST_MAIN_DIR", dir_.c_str(), 1);
        state_->keeper.setProgram({program_.string(), programName_, false});
        setMode("stay");
    }
    void TearDown() override {
        if (keeper_.joinable()) {
            state_->keeper.endThread();
            stopMainProgram();
            keeper_.join();
        }
        EXPECT_TRUE(findProcessesByName(programName_, false).empty());
        unsetenv("TESSAROLL_TEST_MAIN_DIR");
        MonitorTest::TearDown();
    }

    void setMode(const std::string& mode) { writeFile(dir_ / "mode", mode); }
    void startKeeper() { keeper_ = std::thread(keeperThread); }
    std::vector<std::string> runs() const {
        std::vector<std::string> out;
        if (!std::filesystem::exists(dir_ / "runs")) return out;
        std::istringstream in(readFile(dir_ / "runs"));
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    bool waitRuns(std::vector<std::string> expected, std::chrono::milliseconds timeout = 10s) {
        return waitUntil([&] { return runs() == expected; }, timeout);
    }
    bool mainProgramRuns() const { return !findProcessesByName(programName_, false).empty(); }

    std::filesystem::path dir_, program_;
    std::thread keeper_;
};

}  // namespace

TEST_F(KeeperTest, CrashingMainProgramIsStartedEightTimesThenTheKeeperGivesUp) {
    setMode("3");
    startKeeper();
    keeper_.join();  // returns by itself after the eighth run
    EXPECT_EQ(runs(), (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7"}));
    EXPECT_TRUE(log_.contains("[Keeper] Restart main program too many times, shutdown Keeper"));
    EXPECT_EQ(ui_.icons().back(), kIconStopped);
    EXPECT_EQ(state_->window.mainRunning.load(), 0);
    EXPECT_EQ(ui_.balloons().size(), 16u);  // a start and a stop notice per run
}

TEST_F(KeeperTest, MissingProgramCountsAsRuns) {
    state_->keeper.setProgram({(dir_ / "no-such-program").string(), programName_, false});
    startKeeper();
    keeper_.join();
    EXPECT_TRUE(log_.contains("Restart main program too many times, shutdown Keeper"));
}

TEST_F(KeeperTest, LeftoverMainProgramIsEndedAndStopWaitsForStart) {
    ChildProcess leftover(program_, {"leftover"});
    ASSERT_TRUE(waitRuns({"leftover"}));
    startKeeper();
    ASSERT_TRUE(waitRuns({"leftover", "0"}));
    EXPECT_TRUE(leftover.wait(5s).has_value());
    EXPECT_TRUE(waitUntil([&] { return state_->window.mainRunning == 1; }));

    stopMainProgram();
    EXPECT_EQ(state_->keeper.state.load(), kKeeperStop);
    EXPECT_FALSE(mainProgramRuns());
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(runs().size(), 2u);  // nothing started while stopped
    EXPECT_EQ(state_->window.mainRunning.load(), 0);

    monitorWindowProc(kWmCommand, kCmdStart, 0);
    EXPECT_TRUE(waitRuns({"leftover", "0", "0"}));  // a new series
}

TEST_F(KeeperTest, RestartBeginsANewSeriesWithTheRestartedNotice) {
    startKeeper();
    ASSERT_TRUE(waitRuns({"0"}));
    ASSERT_TRUE(waitUntil([&] { return ui_.balloons().size() == 1; }));
    restartMainProgram();
    ASSERT_TRUE(waitRuns({"0", "0"}));
    ASSERT_TRUE(waitUntil([&] { return ui_.balloons().size() == 2; }));
    EXPECT_EQ(ui_.balloons(), (std::vector<std::string>{"ZEFAGPKITessaroll turned on",
                                                        "ZEFAGPKITessaroll already restarted"}));
    EXPECT_EQ(ui_.icons(), (std::vector<int>{kIconRunning, kIconStopped, kIconRunning}));
    EXPECT_EQ(state_->keeper.state.load(), kKeeperRestart);
}

TEST_F(KeeperTest, SwitchedOutUserPausesTheKeeper) {
    startKeeper();
    ASSERT_TRUE(waitRuns({"0"}));
    // Locking the session ends the main program by itself.
    state_->keeper.userSwitchedOut = 1;
    killProcessByName(programName_.c_str(), ProgramForm::Monitor);
    EXPECT_TRUE(waitUntil(
        [&] { return log_.contains("[Keeper] Detect user switch out event, into sleep mode"); }));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(runs().size(), 1u);
    state_->keeper.userSwitchedOut = 0;
    EXPECT_TRUE(waitRuns({"0", "0"}));  // back: a new series from 0
}
