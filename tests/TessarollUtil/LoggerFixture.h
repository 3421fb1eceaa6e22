// The logger's tests: a sandbox, an ini written into it, and the log the ini names.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "doubles/LogCapture/LogCapture.h"
#include "helpers/Sandbox.h"
#include "platform/NamedMutex.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::Sandbox;
using testing_support::today;
using testing_support::writeFile;

inline std::vector<std::string> linesOf(const fs::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(file));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetLogForTests();
        resetLoggerForTests();
    }
    void TearDown() override {
        resetLogForTests();
        resetLoggerForTests();
    }
    // An ini with our section holding `body`, written in the sandbox's temporary folder.
    fs::path writeIni(const std::string& body, const std::string& name = "test.ini") {
        fs::path path = sandbox.tempDir() / name;
        writeFile(path, "[ZEFAGPKITessaroll]\n" + body);
        return path;
    }
    fs::path logPath(const std::string& suffix = "") const {
        return sandbox.tempDir() / ("app_" + today() + suffix + ".log");
    }
    std::string logFileLine() const {
        return "Log File=" + (sandbox.tempDir() / "app.log").string() + "\n";
    }

    Sandbox sandbox;
};

// Holds "Global\VZLog" on a thread of its own, as another program writing would, until
// release() or the end of the object.
class SharedLogLockHolder {
public:
    SharedLogLockHolder() : mutex_(NamedMutex::create("Global\\VZLog")) {
        if (!mutex_) return;
        thread_ = std::thread([this] {
            obtained_ = mutex_->wait(kInfiniteWait) == MutexWait::Obtained;
            held_.set_value();
            letGo_.get_future().wait();
            if (obtained_) mutex_->release();
        });
        held_.get_future().wait();
    }
    ~SharedLogLockHolder() { release(); }
    SharedLogLockHolder(const SharedLogLockHolder&) = delete;
    SharedLogLockHolder& operator=(const SharedLogLockHolder&) = delete;

    bool holds() const { return obtained_; }
    void release() {
        if (!thread_.joinable()) return;
        letGo_.set_value();
        thread_.join();
    }

private:
    std::unique_ptr<NamedMutex> mutex_;
    std::promise<void> held_;
    std::promise<void> letGo_;
    bool obtained_ = false;
    std::thread thread_;
};
