#include "TessarollSession/TopmostWatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "TessarollUtil/Log.h"
#include "platform/Desktop.h"
#include "platform/Encoding.h"

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(300);

struct WatcherState {
    uint32_t targetProcess = 0;
    bool allProcesses = false;
    // Every window seen since the start, in the order seen; its size is the count.
    std::vector<DesktopWindow> windowList;
    // Room in the list; grows by doubling and keeps its size for later starts.
    uint32_t capacity = 256;
    int phase = 1;  // 1: record what exists, 2: record and raise what is new
    std::atomic<bool> stopFlag{false};
    std::thread watcherThread;
    // Lets a stop end the wait between two polls at once instead of at its end.
    std::mutex wakeMutex;
    std::condition_variable wake;
    // Serialises start and stop; the dispatcher calls them one request at a time already.
    std::mutex controlMutex;

    // A watcher still running at exit is ended before the process goes.
    ~WatcherState() { stopThread(); }

    void stopThread() {
        {
            std::lock_guard<std::mutex> lock(wakeMutex);
            stopFlag.exchange(true);
        }
        wake.notify_all();
        if (watcherThread.joinable()) watcherThread.join();
    }
};

WatcherState& watcher() {
    static WatcherState state;
    return state;
}

bool isInputMethodWindow(const std::string& title) {
    return title == "MSCTFIME UI" || title == "Default IME";
}

// One window of an enumeration: true to go on with the next one, false to end it.
bool topmostEnumProc(DesktopWindow window) {
    WatcherState& state = watcher();
    if (windowProcessId(window) != state.targetProcess && !state.allProcesses) return true;

    if (state.windowList.size() >= state.capacity) {
        const uint64_t grown = uint64_t{state.capacity} * 2;
        bool resized = grown * sizeof(DesktopWindow) <= std::numeric_limits<uint32_t>::max();
        if (resized) {
            try {
                state.windowList.reserve(grown);
            } catch (const std::bad_alloc&) {
                resized = false;
            } catch (const std::length_error&) {
                resized = false;
            }
        }
        if (!resized) {
            writeErrorLog("", "Resizing WNDListSize failed");
            return false;
        }
        state.capacity = static_cast<uint32_t>(grown);
        writeNormalLogInt("Resize WNDListSize to ", static_cast<int32_t>(state.capacity));
    }

    if (state.phase == 2) {
        if (std::find(state.windowList.begin(), state.windowList.end(), window) !=
            state.windowList.end())
            return true;
        const std::string title = windowTitle(window, 512);
        if (!isInputMethodWindow(title)) {
            writeNormalLogW("Set UI top: ", utf8ToUtf16(title));
            setWindowTopmost(window);
            writeNormalLog("Set UI top: ", "Complete");
        }
    }
    state.windowList.push_back(window);
    return true;
}

void enumerateWindows() {
    for (DesktopWindow window : listTopLevelWindows())
        if (!topmostEnumProc(window)) break;
}

void topmostWatchLoop() {
    WatcherState& state = watcher();
    state.phase = 2;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(state.wakeMutex);
            state.wake.wait_for(lock, kPollPeriod, [&] { return state.stopFlag.load(); });
        }
        if (state.stopFlag.load()) return;
        enumerateWindows();
        if (state.stopFlag.load()) return;
    }
}

void freeWindowList(WatcherState& state) {
    state.allProcesses = false;
    state.windowList.clear();
    state.windowList.shrink_to_fit();
}

}  // namespace

void startTopmostWatcher(uint32_t processId, bool allProcesses) {
    WatcherState& state = watcher();
    std::lock_guard<std::mutex> control(state.controlMutex);
    // One watcher at a time: a start while one runs ends the old one first, so its thread
    // and list are never shared by two runs.
    state.stopThread();
    freeWindowList(state);

    state.targetProcess = processId;
    state.allProcesses = allProcesses;
    try {
        state.windowList.reserve(state.capacity);
    } catch (const std::bad_alloc&) {
        writeErrorLog("", "Resizing WNDListSize failed");
        freeWindowList(state);
        return;
    }
    state.phase = 1;
    enumerateWindows();
    state.stopFlag.exchange(false);
    try {
        state.watcherThread = std::thread(topmostWatchLoop);
    } catch (const std::system_error& error) {
        // The call goes on without the watcher: its windows simply stay where they open.
        writeErrorLog("Top-most window watcher not started: ", error.what());
        freeWindowList(state);
    }
}

void stopTopmostWatcher() {
    WatcherState& state = watcher();
    std::lock_guard<std::mutex> control(state.controlMutex);
    state.stopThread();
    freeWindowList(state);
}
