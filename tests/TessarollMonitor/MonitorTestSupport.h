// What the monitor's headless tests share: a fresh monitor state for each test, and a
// fixture that gives each test a sandbox with real logging, a recording UI and a keeper
// program name of its own, so no test ever ends a real main program.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TessarollMonitor/Languages.h"
#include "TessarollMonitor/MonitorState.h"
#include "TessarollUtil/System.h"
#include "doubles/LogCapture/LogCapture.h"
#include "doubles/RecordingTrayUi/RecordingTrayUi.h"

namespace testing_support {

// A monitor state of its own, the one the monitor's functions act on while it lives; the
// one before comes back after.
class FreshMonitorState {
public:
    FreshMonitorState() : previous_(useMonitorState(&state_)) {}
    ~FreshMonitorState() { useMonitorState(previous_); }
    FreshMonitorState(const FreshMonitorState&) = delete;
    FreshMonitorState& operator=(const FreshMonitorState&) = delete;
    MonitorState& operator*() { return state_; }
    MonitorState* operator->() { return &state_; }

private:
    MonitorState state_;
    MonitorState* previous_;
};

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A name no process has: the stop and restart functions end nothing real.
        programName_ = "tm_" + makeInstanceId().substr(0, 8);
        state_->keeper.setProgram({programName_, programName_, false});
        state_->window.dataFolder = getCopyPath("ZEFAGPKITessarollMain");
        std::filesystem::create_directories(state_->window.dataFolder);
        state_->config.path = makeConfigPath(state_->window.dataFolder);
        setLanguage(Language_English);
        setTrayUi(&ui_);
    }
    void TearDown() override { setTrayUi(nullptr); }
    static void setLanguage(int32_t language) {
        currentLanguage = language;
        buildLanguageTexts();
    }

    LogCapture log_;
    FreshMonitorState state_;
    RecordingTrayUi ui_;
    std::string programName_;
};

}  // namespace testing_support
