// Turns real logging on inside a sandbox (Log Level=5 into a file of its temporary folder)
// so that a test can read the lines a call wrote.
#pragma once

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "helpers/Sandbox.h"

namespace testing_support {

// Today's local date as the logger puts it into file names: "20261210".
inline std::string today() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[48];
    std::snprintf(text, sizeof text, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
    return text;
}

class LogCapture {
public:
    LogCapture() {
        resetLogForTests();
        resetLoggerForTests();
        writeFile(sandbox_.windowsDir() / "ZEFAGPKITessaroll.ini",
                  "[ZEFAGPKITessaroll]\nLog File=" + (sandbox_.tempDir() / "capture.log").string() +
                      "\nLog Level=5\nLog MaxSize=100000000\n");
        setLog("LogCapture");
    }
    ~LogCapture() {
        resetLogForTests();
        resetLoggerForTests();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line written so far, oldest first, without the time stamp and process part.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(sandbox_.tempDir())) {
            if (entry.path().filename().string().rfind("capture", 0) != 0) continue;
            std::istringstream in(readFile(entry.path()));
            for (std::string line; std::getline(in, line);) {
                const std::size_t bracket = line.find("] ");
                out.push_back(bracket == std::string::npos ? line : line.substr(bracket + 2));
            }
        }
        return out;
    }
    // The lines written since the last call of take().
    std::vector<std::string> take() {
        std::vector<std::string> all = lines();
        std::vector<std::string> fresh(
            all.begin() + static_cast<std::ptrdiff_t>(std::min(seen_, all.size())), all.end());
        seen_ = all.size();
        return fresh;
    }
    // Whether any line written so far contains the text.
    bool contains(std::string_view text) const {
        for (const std::string& line : lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

private:
    Sandbox sandbox_;
    std::size_t seen_ = 0;
};

}  // namespace testing_support
