#include "TessarollUtil/ProcessTools.h"

#include <unistd.h>
#include <chrono>
#include <string>
#include <thread>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Message.h"
#include "platform/Process.h"

namespace {

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls every 100 ms for at most 3 s until no process of that name runs.
void waitForEnd(const char* imageName, const std::string* tag) {
    for (int waited = 0, counter = 0; waited < 3000 && isProcessRunning(imageName);
         waited += 100, ++counter) {
        if (tag) writeNormalLogInt("[" + *tag + "] Wait for " + imageName + " shutdown: ", counter);
        sleepMs(100);
    }
}

// Kills every process of exactly that executable name, except this one.
std::string killAllNamed(const char* imageName, bool ignoreCase) {
    std::string pids;
    for (pid_t pid : findProcessesByName(imageName, ignoreCase)) {
        if (pid == ::getpid()) continue;
        if (killProcess(pid)) pids += " " + std::to_string(pid);
    }
    return pids;
}

}  // namespace

int runHiddenAndWait(const char* command, bool useCmd) {
    if (!command) return 1;
    std::string commandLine = useCmd ? std::string("cmd /c ") + command : std::string(command);
    auto pid = startHiddenProcess(commandLine);
    return pid ? waitForProcess(*pid) : 0;
}

void hideNOWaitCommand(const char* command) {
    if (!command) {
        TESSAROLL_NULL_PARAMETER("inputCommand");
        return;
    }
    writeNormalLog("hideNOWaitCommand: ", command);
    if (auto pid = startHiddenProcess(command)) detachProcess(*pid);
}

bool isProcessRunning(const char* imageName) {
    if (!imageName) {
        TESSAROLL_NULL_PARAMETER("processName");
        return false;
    }
    return !findProcessesByName(imageName, true).empty();
}

bool killProcessByName(const char* imageName, ProgramForm form) {
    const std::string tag = form == ProgramForm::Monitor ? kSenderMonitor : kSenderWorker;
    const std::string tagText = "[" + tag + "] ";
    if (!imageName) {
        TESSAROLL_NULL_PARAMETER("inputTo");
    } else {
        // Ask first; the send returns once the program's final function has run.
        if (form == ProgramForm::Monitor) {
            sendIPCMsg(imageName);
        } else {
            sendIPCMsg(imageName, kInstructionSuicide);
        }
        killAllNamed(imageName, false);
        waitForEnd(imageName, nullptr);
        if (!isProcessRunning(imageName)) {
            writeNormalLog(tagText, tag + " kill " + imageName + " success");
        } else {
            writeErrorLog(tagText, tag + " kill " + imageName + " fail");
            writeErrorLog(tagText, "Start command kill mode");
            // The forced kill by name, now without regard to letter case.
            std::string pids = killAllNamed(imageName, true);
            writeNormalLog("Command: ", "kill -KILL" + pids);
            waitForEnd(imageName, &tag);
        }
    }
    bool gone = !imageName || !isProcessRunning(imageName);
    if (isLogOn()) {
        std::string text =
            "[" + tag + "] kill " + (imageName ? imageName : "") + " shutdown state: ";
        if (gone) {
            writeNormalLog(text, "Success");
        } else {
            writeErrorLog(text, "Fail");
        }
    }
    return gone;
}

void unlockUserMutex(std::unique_ptr<NamedMutex>& handle) {
    if (!handle) return;
    handle->release();
    handle.reset();
}
