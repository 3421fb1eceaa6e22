#include "TessarollMonitor/MonitorConfig.h"

#include <cerrno>
#include <chrono>
#include <new>
#include <thread>

#include "TessarollMonitor/MonitorState.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/Folders.h"
#include "platform/Process.h"

namespace {

constexpr std::size_t kConfigTextBuffer = 512;
constexpr std::size_t kPathBuffer = 512;
constexpr const char* kUpgraderName = "TessarollUpgrader.exe";

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// One key of the file: "<key>=false" anywhere wins over "<key>=true"; neither rewrites
// the file with what is known at this moment and leaves the flag as it was.
void readKey(const std::string& text, std::string_view key, std::atomic<bool>& flag) {
    const std::string falseText = std::string(key) + "=false";
    const std::string trueText = std::string(key) + "=true";
    if (text.find(falseText) != std::string::npos) {
        flag = false;
    } else if (text.find(trueText) != std::string::npos) {
        flag = true;
    } else {
        saveConfig();
    }
}

}  // namespace

std::string makeConfigPath(std::string_view dataFolder) {
    std::string path(dataFolder);
    path += '/';
    path += kConfigFileName;
    return cutToBuffer(path, kPathBuffer);
}

std::optional<std::string> buildConfigText() {
    const MonitorConfig& config = monitorState().config;
    try {
        std::string text;
        text.reserve(96);
        text += "isScreenShot=";
        text += boolText(config.isScreenShot);
        text += "\nsilentmode=";
        text += boolText(config.silentmode);
        text += "\nautocheckupdate=";
        text += boolText(config.autocheckupdate);
        text += '\n';
        return cutToBuffer(text, kConfigTextBuffer);
    } catch (const std::bad_alloc&) {
        logAllocationFailure("Util", 36);
        return std::nullopt;
    }
}

void saveConfig() {
    std::optional<std::string> text = buildConfigText();
    if (!text) return;
    // A file that cannot be written leaves the flags as they are in memory, unlogged.
    writeTextFile(monitorState().config.path, *text);
}

void readConfig() {
    MonitorConfig& config = monitorState().config;
    std::optional<std::string> text = readTextFile(config.path);
    if (!text || text->empty()) {
        saveConfig();
        return;
    }
    readKey(*text, "isScreenShot", config.isScreenShot);
    readKey(*text, "silentmode", config.silentmode);
    readKey(*text, "autocheckupdate", config.autocheckupdate);
}

void checkForUpdate() {
    std::string path = getModuleFolder().value_or(std::string());
    path += '/';
    path += kUpgraderName;
    path = cutToBuffer(path, kPathBuffer);
    writeNormalLog("Check Tessaroll: ", path);

    // Quoted: the program's folder may hold blanks.
    errno = 0;
    int error = 0;
    if (auto pid = startHiddenProcess("\"" + diskFileName(path) + "\" -checkupdate")) {
        detachProcess(*pid);
    } else {
        error = errno ? errno : ENOENT;
    }
    writeNormalLogInt("ShellExecute error:", error);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
}
