// The hidden key sequences that toggle debug mode while the About box is open, and the
// detector thread that watches for them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

// One key sequence: virtual-key codes oldest first, the slots after the last key 0.
struct CheatCode {
    std::array<int32_t, 64> keys{};
    int32_t progress = 0;
    int32_t length = 0;
    std::function<void()> callback;
};

inline constexpr std::size_t kCheatCodeTableLimit = 16;
inline constexpr std::size_t kKeyHistoryLimit = 16;

// A record of the first `count` codes of `keys`, ending early at a 0, whose callback is
// toggleDebugMode. Nothing for null keys or more than 63 keys (both logged).
std::unique_ptr<CheatCode> initCheatCode(const int32_t* keys, int32_t count);

// Where a poller learns which keys are down and how it waits: the desktop in the monitor,
// a list of key-state snapshots in tests.
class KeyStateSource {
public:
    virtual ~KeyStateSource() = default;
    // The high bit of the key's state: the key or mouse button is down now.
    virtual bool isKeyDown(int32_t virtualKey) = 0;
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
};
// The real keyboard and pointer of the user's display.
std::unique_ptr<KeyStateSource> desktopKeyStateSource();

class CheatCodeDetector {
public:
    // `codes` and `keys` outlive the detector; `aboutBoxOpen` tells whether to watch.
    CheatCodeDetector(const std::vector<std::unique_ptr<CheatCode>>& codes, KeyStateSource& keys,
                      std::function<bool()> aboutBoxOpen);
    // One turn of the detector's loop: sleeps 200 ms while no About box is open, else scans
    // the key codes 1 to 254 once, then sleeps 50 ms.
    void runOnce();
    [[noreturn]] void run();
    // The newest key presses, oldest first, at most kKeyHistoryLimit.
    const std::deque<int32_t>& history() const { return history_; }

private:
    void matchSequences();
    const std::vector<std::unique_ptr<CheatCode>>& codes_;
    KeyStateSource& keys_;
    std::function<bool()> aboutBoxOpen_;
    std::deque<int32_t> history_;
};

// The three sequences of the monitor, in their order, each calling toggleDebugMode.
std::vector<std::unique_ptr<CheatCode>> buildDefaultCheatCodes();

// Called each time the About box opens; the first call builds the three sequences and
// starts the detector thread (detached) that owns them, later calls do nothing.
// `aboutBoxOpen` is read by the detector for the life of the process.
void registerCheatCodes(std::function<bool()> aboutBoxOpen);
