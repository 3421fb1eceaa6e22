// The key sequences: records as built from their code arrays, and the detector fed with
// key-state snapshots in place of the desktop.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <vector>

#include "MonitorTestSupport.h"
#include "TessarollMonitor/DebugMode.h"
#include "TessarollMonitor/KeySequence.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/System.h"
#include "helpers/Sandbox.h"

namespace {

// One snapshot per poll: the set of keys down until the detector's next sleep.
class SnapshotKeys final : public KeyStateSource {
public:
    explicit SnapshotKeys(std::vector<std::set<int32_t>> snapshots)
        : snapshots_(std::move(snapshots)) {}
    bool isKeyDown(int32_t key) override {
        return at_ < snapshots_.size() && snapshots_[at_].count(key) > 0;
    }
    void sleepFor(std::chrono::milliseconds) override { ++at_; }
    bool done() const { return at_ >= snapshots_.size(); }

private:
    std::vector<std::set<int32_t>> snapshots_;
    std::size_t at_ = 0;
};

using Snapshots = std::vector<std::set<int32_t>>;

// Each key pressed for `held` polls, then released.
Snapshots typed(const std::vector<int32_t>& keys, int held = 1) {
    Snapshots out;
    for (int32_t key : keys) {
        for (int i = 0; i < held; ++i) out.push_back({key});
        out.push_back({});
    }
    return out;
}

Snapshots operator+(Snapshots a, const Snapshots& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<int32_t> kFunctionKeys = {0x70, 0x70, 0x71, 0x71, 0x21, 0x21,
                                            0x22, 0x22, 0x51, 0x57, 0x51, 0x57};
const std::vector<int32_t> kLetters = {0x50, 0x4B, 0x4D, 0x55, 0x52, 0x54};
const std::vector<int32_t> kMouse(10, 0x04);

void runAll(CheatCodeDetector& detector, const SnapshotKeys& keys) {
    while (!keys.done()) detector.runOnce();
}

TEST(CheatCodeRecord, BuildsFromCodesUpToTheFirstZeroAndAtMost63) {
    struct Case {
        const char* name;
        std::vector<int32_t> keys;
        int32_t count;
        int32_t expectedLength;  // -1: refused
    };
    std::vector<int32_t> long63(63, 0x41), long64(64, 0x41), long70(70, 0x41);
    const Case cases[] = {
        {"stops at zero", {0x50, 0x4B, 0, 0x4D}, 4, 2},
        {"count shorter than the keys", {0x50, 0x4B, 0x4D}, 2, 2},
        {"no keys", {0}, 1, 0},
        {"negative count", {0x50}, -1, 0},
        {"63 keys", long63, 63, 63},
        {"64 keys", long64, 64, -1},
        {"70 keys", long70, 70, -1},
    };
    for (const Case& c : cases) {
        std::unique_ptr<CheatCode> code = initCheatCode(c.keys.data(), c.count);
        if (c.expectedLength < 0) {
            EXPECT_EQ(code, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(code, nullptr) << c.name;
        EXPECT_EQ(code->length, c.expectedLength) << c.name;
        EXPECT_EQ(code->progress, 0) << c.name;
        EXPECT_TRUE(code->callback) << c.name;
        for (std::size_t i = 0; i < code->keys.size(); ++i)
            EXPECT_EQ(code->keys[i], static_cast<int32_t>(i) < c.expectedLength ? c.keys[i] : 0)
                << c.name << " " << i;
    }
    EXPECT_EQ(initCheatCode(nullptr, 3), nullptr);
}

TEST(CheatCodeDetector, MatchesTheNewestPressesWhileTheAboutBoxIsOpen) {
    struct Case {
        const char* name;
        Snapshots snapshots;
        bool aboutOpen;
        std::vector<int> matches;  // per sequence, in table order
    };
    std::vector<int32_t> lettersWithExtra = kLetters;
    lettersWithExtra.insert(lettersWithExtra.begin() + 3, 0x41);
    const Case cases[] = {
        {"function keys", typed(kFunctionKeys), true, {1, 0, 0}},
        {"letters", typed(kLetters), true, {0, 1, 0}},
        {"ten middle-button clicks", typed(kMouse), true, {0, 0, 1}},
        {"nine clicks are not enough", typed(std::vector<int32_t>(9, 0x04)), true, {0, 0, 0}},
        {"box closed", typed(kLetters), false, {0, 0, 0}},
        {"each key held for several polls counts once", typed(kLetters, 5), true, {0, 1, 0}},
        {"stray keys before do not matter", typed({0x41, 0x42}) + typed(kLetters), true, {0, 1, 0}},
        {"an extra key in the middle breaks it", typed(lettersWithExtra), true, {0, 0, 0}},
        {"typed again cleanly after a broken try",
         typed(lettersWithExtra) + typed(kLetters),
         true,
         {0, 1, 0}},
        {"twice in a row", typed(kLetters) + typed(kLetters), true, {0, 2, 0}},
        {"a match starts afresh: its tail cannot begin the next",
         typed(kMouse) + typed({0x04, 0x04, 0x04}),
         true,
         {0, 0, 1}},
    };
    for (const Case& c : cases) {
        std::vector<std::unique_ptr<CheatCode>> codes = buildDefaultCheatCodes();
        ASSERT_EQ(codes.size(), 3u);
        std::vector<int> matches(codes.size(), 0);
        for (std::size_t i = 0; i < codes.size(); ++i)
            codes[i]->callback = [&matches, i] { ++matches[i]; };
        SnapshotKeys keys(c.snapshots);
        CheatCodeDetector detector(codes, keys, [&] { return c.aboutOpen; });
        runAll(detector, keys);
        EXPECT_EQ(matches, c.matches) << c.name;
    }
}

TEST(CheatCodeDetector, HistoryKeepsTheNewestSixteenAndEmptiesOnAMatch) {
    std::vector<std::unique_ptr<CheatCode>> codes = buildDefaultCheatCodes();
    for (auto& code : codes) code->callback = [] {};
    std::vector<int32_t> seventeen;
    for (int32_t key = 0x41; key < 0x41 + 17; ++key) seventeen.push_back(key);
    SnapshotKeys keys(typed(seventeen));
    CheatCodeDetector detector(codes, keys, [] { return true; });
    runAll(detector, keys);
    EXPECT_EQ(std::vector<int32_t>(detector.history().begin(), detector.history().end()),
              std::vector<int32_t>(seventeen.begin() + 1, seventeen.end()));

    SnapshotKeys more(typed(kLetters));
    CheatCodeDetector again(codes, more, [] { return true; });
    runAll(again, more);
    EXPECT_TRUE(again.history().empty());
}

TEST(CheatCodeDetector, TheDefaultSequencesToggleDebugMode) {
    testing_support::Sandbox sandbox;
    testing_support::FreshMonitorState state;
    resetLogForTests();
    resetLoggerForTests();
    setProgramPrefix("TessarollMonitor-TEST0000_SID");
    initDebugLogSettings();

    std::vector<std::unique_ptr<CheatCode>> codes = buildDefaultCheatCodes();
    SnapshotKeys keys(typed(kFunctionKeys) + typed(kMouse));
    CheatCodeDetector detector(codes, keys, [] { return true; });
    // Part way: the first sequence turned debug mode on, the second turns it off.
    while (!keys.done() && state->debugMode.on.load() == 0) detector.runOnce();
    EXPECT_EQ(state->debugMode.on.load(), 1);
    EXPECT_TRUE(fileExists(logIniPath));
    runAll(detector, keys);
    EXPECT_EQ(state->debugMode.on.load(), 0);
    EXPECT_FALSE(fileExists(logIniPath));

    logIniPath.clear();
    resetLogForTests();
    resetLoggerForTests();
}

}  // namespace
