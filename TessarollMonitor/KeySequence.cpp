#include "TessarollMonitor/KeySequence.h"

#include <bitset>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

#include "TessarollMonitor/DebugMode.h"
#include "TessarollUtil/Log.h"
#include "platform/Desktop.h"

namespace {

constexpr int32_t kFirstKey = 1;
constexpr int32_t kLastKey = 254;
constexpr std::size_t kKeyLimit = 63;  // the 64th slot stays 0
constexpr auto kIdleSleep = std::chrono::milliseconds(200);
constexpr auto kPollSleep = std::chrono::milliseconds(50);

// Each zero-terminated, as the table builds them.
constexpr int32_t kSequenceFunctionKeys[13] = {0x70, 0x70, 0x71, 0x71, 0x21, 0x21, 0x22,
                                               0x22, 0x51, 0x57, 0x51, 0x57, 0};
constexpr int32_t kSequenceLetters[7] = {0x50, 0x4B, 0x4D, 0x55, 0x52, 0x54, 0};
constexpr int32_t kSequenceMouse[11] = {0x04, 0x04, 0x04, 0x04, 0x04, 0x04,
                                        0x04, 0x04, 0x04, 0x04, 0};

// The desktop's keys read once per scan: one round trip to the display per 50 ms rather
// than one per key code, with the same answers as asking key by key.
class DesktopKeyStateSource final : public KeyStateSource {
public:
    bool isKeyDown(int32_t virtualKey) override {
        if (virtualKey < 0 || virtualKey > 255) return false;
        if (!fresh_) {
            pressed_ = pressedVirtualKeys();
            fresh_ = true;
        }
        return pressed_.test(static_cast<std::size_t>(virtualKey));
    }
    void sleepFor(std::chrono::milliseconds duration) override {
        std::this_thread::sleep_for(duration);
        fresh_ = false;
    }

private:
    std::bitset<256> pressed_;
    bool fresh_ = false;
};

std::once_flag registerOnce;

}  // namespace

std::unique_ptr<CheatCode> initCheatCode(const int32_t* keys, int32_t count) {
    if (!keys) {
        logNullParameter("inputCheatCode", "TessarollCheatCode", 23);
        return nullptr;
    }
    std::unique_ptr<CheatCode> code(new (std::nothrow) CheatCode());
    if (!code) {
        logAllocationFailure("TessarollCheatCode", 27);
        return nullptr;
    }
    int32_t stored = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (keys[i] == 0) break;
        code->keys[static_cast<std::size_t>(i)] = keys[i];
        stored = i + 1;
        if (static_cast<std::size_t>(i) >= kKeyLimit) {
            writeErrorLog(" Init cheat code error, input too long", "");
            return nullptr;
        }
    }
    code->progress = 0;
    code->length = stored;
    code->callback = toggleDebugMode;
    return code;
}

std::unique_ptr<KeyStateSource> desktopKeyStateSource() {
    return std::make_unique<DesktopKeyStateSource>();
}

CheatCodeDetector::CheatCodeDetector(const std::vector<std::unique_ptr<CheatCode>>& codes,
                                     KeyStateSource& keys, std::function<bool()> aboutBoxOpen)
    : codes_(codes), keys_(keys), aboutBoxOpen_(std::move(aboutBoxOpen)) {
    for (const auto& code : codes_) code->progress = 0;
}

void CheatCodeDetector::runOnce() {
    if (!aboutBoxOpen_ || !aboutBoxOpen_()) {
        keys_.sleepFor(kIdleSleep);
        return;
    }
    for (int32_t key = kFirstKey; key <= kLastKey; ++key) {
        if (!keys_.isKeyDown(key)) continue;
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(key));
        writeNormalLog("User pressed: ", hex);

        history_.push_back(key);
        while (history_.size() > kKeyHistoryLimit) history_.pop_front();

        // A key held down counts once.
        while (keys_.isKeyDown(key)) keys_.sleepFor(kPollSleep);

        matchSequences();
    }
    keys_.sleepFor(kPollSleep);
}

void CheatCodeDetector::matchSequences() {
    for (const auto& code : codes_) {
        const std::size_t length = static_cast<std::size_t>(code->length);
        std::deque<int32_t> recent = history_;
        if (recent.size() < length) continue;
        while (recent.size() > length) recent.pop_front();
        bool equal = true;
        for (std::size_t i = 0; i < length && equal; ++i) equal = recent[i] == code->keys[i];
        if (!equal) continue;
        history_.clear();  // a match starts afresh
        if (code->callback) code->callback();
    }
}

void CheatCodeDetector::run() {
    for (;;) runOnce();
}

std::vector<std::unique_ptr<CheatCode>> buildDefaultCheatCodes() {
    std::vector<std::unique_ptr<CheatCode>> codes;
    for (auto [keys, count] : {std::pair{kSequenceFunctionKeys, 13}, std::pair{kSequenceLetters, 7},
                               std::pair{kSequenceMouse, 11}}) {
        if (auto code = initCheatCode(keys, count)) codes.push_back(std::move(code));
    }
    return codes;
}

void registerCheatCodes(std::function<bool()> aboutBoxOpen) {
    std::call_once(registerOnce, [&] {
        std::vector<std::unique_ptr<CheatCode>> table = buildDefaultCheatCodes();
        if (table.size() > kCheatCodeTableLimit) table.resize(kCheatCodeTableLimit);
        // The thread owns the table, the key source and the test; it runs until the
        // process ends, so nothing it reads is destroyed under it at exit.
        std::thread([table = std::move(table), open = std::move(aboutBoxOpen)] {
            std::unique_ptr<KeyStateSource> keys = desktopKeyStateSource();
            CheatCodeDetector detector(table, *keys, open);
            detector.run();
        }).detach();
    });
}
