// The next session's adapter made ahead: what a session gets from it, and when it must not
// use it. The sessions here open through the session service with the test adapter.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "SessionFixture.h"
#include "TessarollSession/SpareAdapter.h"
#include "helpers/ChildProcess.h"
#include "helpers/SessionText.h"

namespace fs = std::filesystem;
using namespace session_tests;
using namespace testing_support;

namespace {

fs::path spareFolder(const fs::path& work) {
    return work / "Tempfile" / "Spare";
}

int filesIn(const fs::path& folder) {
    int count = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        count += entry.is_regular_file() ? 1 : 0;
    return count;
}

JsonMapPtr firstEcho() {
    return makeRequest(
        {{"FunctionName", "Echo"}, {"PathID", adapterPathId}, {"minServerVersion", "1.0.23.0510"}});
}

}  // namespace

TEST_F(SessionTest, AnIdleServiceMakesNoSpare) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(fs::exists(spareFolder(workFolderPath())));
}

// The second page's session starts on the adapter loaded ahead: at once, in its own fresh
// copy, whose file reaches its slot's path as the next spare is made.
TEST_F(SessionTest, TheNextSessionTakesTheSpareAtOnce) {
    // The first session finds no spare: it asks for one and copies for itself.
    EXPECT_FALSE(service_->handleAtOnce(*firstEcho(), pageOrigin));
    const std::string first = openSession();
    ASSERT_TRUE(spareBecomesReady(service_->spare()));

    std::optional<SessionAnswer> answer = service_->handleAtOnce(*firstEcho(), pageOrigin);
    ASSERT_TRUE(answer && answer->map);
    EXPECT_EQ(answerValue(*answer, "result"), "0");
    EXPECT_EQ(answerValue(*answer, "LibVersion"), "1,0,21,827");
    const std::string second = answerValue(*answer, "SessionID").value_or("");
    const int index = slotOf(second);
    ASSERT_EQ(index, 1);
    EXPECT_EQ(slot(index).dllPath,
              (slotFolder(index) / (std::string(adapterName) + ".so")).string());
    EXPECT_TRUE(waitUntil([&] { return fs::exists(slot(index).dllPath); }));

    // Two copies with state of their own: the loader did not hand the first copy out again.
    // The spare had started itself up with a version query of its own before the session
    // unlocked it and asked again.
    const std::string secondCounters = counters(second);
    EXPECT_NE(instanceOf(secondCounters), instanceOf(counters(first)));
    EXPECT_NE(secondCounters.find("unlock=1 version=2 release=0"), std::string::npos)
        << secondCounters;
    EXPECT_EQ(answerValue(send({{"FunctionName", "TestAdapter_Origin"}, {"SessionId", second}}),
                          "result"),
              pageOrigin);
    // The next spare is a copy of its own too, though the one before it still runs.
    ASSERT_TRUE(spareBecomesReady(service_->spare()));
    std::optional<SessionAnswer> third = service_->handleAtOnce(*firstEcho(), pageOrigin);
    ASSERT_TRUE(third && third->map);
    const std::string thirdId = answerValue(*third, "SessionID").value_or("");
    EXPECT_NE(instanceOf(counters(thirdId)), instanceOf(counters(second)));
    EXPECT_NE(counters(thirdId).find("unlock=1 version=2 release=0"), std::string::npos);

    // The final release deletes the spare with the sessions' copies.
    service_->releaseAll();
    EXPECT_EQ(filesIn(spareFolder(workFolderPath())), 0);
    EXPECT_TRUE(fs::is_empty(slotFolder(0)));
    EXPECT_TRUE(fs::is_empty(slotFolder(1)));
    EXPECT_TRUE(fs::is_empty(slotFolder(2)));
}

// A session released before its copy's file reached the slot's folder: the file gets there
// first and goes with the release, so the slot's next session finds its folder empty.
TEST_F(SessionTest, AReleaseBeforeTheSparesFileMovedLeavesNothingBehind) {
    openSession();
    ASSERT_TRUE(spareBecomesReady(service_->spare()));
    const std::string id = openSession();
    const int index = slotOf(id);
    ASSERT_EQ(index, 1);
    send({{"FunctionName", "TessarollForceRelease"}, {"SessionId", id}});
    EXPECT_EQ(slotOf(id), -1);
    ASSERT_TRUE(spareBecomesReady(service_->spare()));
    EXPECT_TRUE(fs::is_empty(slotFolder(index)));
    EXPECT_EQ(filesIn(spareFolder(workFolderPath())), 1);  // the next spare only

    const std::string next = openSession();
    ASSERT_EQ(slotOf(next), index);
    EXPECT_EQ(slot(index).dllPath,
              (slotFolder(index) / (std::string(adapterName) + ".so")).string());
}

// A spare is a copy of the installed file as it was: once an installer has replaced or
// rewritten that file, the next session loads what is installed now.
TEST_F(SessionTest, AReplacedAdapterIsNotServedFromTheSpare) {
    openSession();
    ASSERT_TRUE(spareBecomesReady(service_->spare()));
    for (const char* library : {TEST_ADAPTER_TEXT_ONLY_PATH, TEST_ADAPTER_PATH}) {
        SCOPED_TRACE(library);
        const fs::path replacement = installFolder() / "replacement.so";
        fs::copy_file(library, replacement, fs::copy_options::overwrite_existing);
        fs::rename(replacement, installedAdapter());
        const std::string id = openSession();
        ASSERT_NE(slotOf(id), -1);
        const bool textOnly = std::string(library) == TEST_ADAPTER_TEXT_ONLY_PATH;
        EXPECT_EQ(slot(slotOf(id)).jsonMapEntry, !textOnly);
        ASSERT_TRUE(spareBecomesReady(service_->spare()));
    }
}

// A full table opens a new session only on a worker: the eviction waits for the oldest
// session's running call.
TEST_F(SessionTest, AFullTableIsNotOpenedAtOnce) {
    for (int i = 0; i < sessionSlotCount; ++i) openSession();
    ASSERT_TRUE(spareBecomesReady(service_->spare()));
    EXPECT_FALSE(service_->handleAtOnce(*firstEcho(), pageOrigin));
    EXPECT_EQ(slotsInUse(), sessionSlotCount);
}

// The spare on its own, as the session service uses it.
TEST(SpareAdapterTest, TakeStopAndOccupiedSlots) {
    Sandbox sandbox;
    const fs::path library = sandbox.root() / "installed.so";
    fs::copy_file(TEST_ADAPTER_PATH, library);
    const fs::path spares = sandbox.root() / "spares";
    const fs::path slot = sandbox.root() / "slot.so";
    SpareAdapter spare(spares.string());
    EXPECT_FALSE(spare.take(library.string(), slot.string()));  // nothing asked for yet

    spare.keepReady(library.string());
    ASSERT_TRUE(spareBecomesReady(spare));
    EXPECT_FALSE(spare.take((sandbox.root() / "other.so").string(), slot.string()));
    EXPECT_TRUE(spare.ready());  // kept for the library it was made from

    // Whatever lies at the slot's path stays; the spare is given up.
    writeFile(slot, "left behind");
    EXPECT_FALSE(spare.take(library.string(), slot.string()));
    EXPECT_EQ(readFile(slot), "left behind");
    EXPECT_EQ(filesIn(spares), 0);

    // A taken copy's file stays where it was made until the maker wakes for the next
    // spare, and reaches the slot before that one is made.
    fs::remove(slot);
    spare.keepReady(library.string());
    ASSERT_TRUE(spareBecomesReady(spare));
    SharedLibrary taken = spare.take(library.string(), slot.string());
    ASSERT_TRUE(taken);
    EXPECT_TRUE(taken.symbol("callJsonMapMethod"));
    EXPECT_FALSE(fs::exists(slot));
    spare.keepReady(library.string());
    ASSERT_TRUE(spareBecomesReady(spare));
    EXPECT_TRUE(fs::exists(slot));
    EXPECT_EQ(fs::status(slot).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(filesIn(spares), 1);

    // settle() moves it at once, and so does stop().
    const fs::path secondSlot = sandbox.root() / "second-slot.so";
    ASSERT_TRUE(spare.take(library.string(), secondSlot.string()));
    spare.settle();
    EXPECT_TRUE(fs::exists(secondSlot));
    const fs::path thirdSlot = sandbox.root() / "third-slot.so";
    spare.keepReady(library.string());
    ASSERT_TRUE(spareBecomesReady(spare));
    ASSERT_TRUE(spare.take(library.string(), thirdSlot.string()));
    spare.stop();
    EXPECT_TRUE(fs::exists(thirdSlot));
    EXPECT_EQ(filesIn(spares), 0);
    spare.keepReady(library.string());  // after stop: nothing more is made
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(filesIn(spares), 0);
}

// A service holds the making until the answer that asked for it has gone out: nothing is
// made before wakeHeld, the spare follows it, and a wake with nothing asked makes nothing.
TEST(SpareAdapterTest, HeldWakesMakeTheSpareOnlyAfterTheAnswer) {
    Sandbox sandbox;
    const fs::path library = sandbox.root() / "installed.so";
    fs::copy_file(TEST_ADAPTER_PATH, library);
    const fs::path spares = sandbox.root() / "spares";
    SpareAdapter spare(spares.string());
    spare.holdWakes();

    spare.wakeHeld();
    spare.keepReady(library.string());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(spare.ready());
    EXPECT_EQ(filesIn(spares), 0);

    spare.wakeHeld();
    ASSERT_TRUE(spareBecomesReady(spare));
    ASSERT_TRUE(spare.take(library.string(), (sandbox.root() / "slot.so").string()));

    // Taken, asked again, woken again: each asking is woken once, however many answers end.
    spare.keepReady(library.string());
    spare.wakeHeld();
    spare.wakeHeld();
    ASSERT_TRUE(spareBecomesReady(spare));
    EXPECT_EQ(filesIn(spares), 1);
}

// What the service prepares in a spare is done before the spare is offered, and undone for
// every spare that is given up instead of taken: outdated, refused at the slot, or left at
// the stop.
TEST(SpareAdapterTest, APreparedSpareIsRetiredUnlessTaken) {
    Sandbox sandbox;
    const fs::path library = sandbox.root() / "installed.so";
    const fs::path other = sandbox.root() / "other.so";
    fs::copy_file(TEST_ADAPTER_PATH, library);
    fs::copy_file(TEST_ADAPTER_PATH, other);
    const fs::path slot = sandbox.root() / "slot.so";
    std::atomic<int> prepared{0}, retired{0};
    std::atomic<bool> loadedWhenPrepared{true};
    SpareAdapter spare((sandbox.root() / "spares").string(),
                       {[&](const SharedLibrary& copy) {
                            if (!copy.symbol("callJsonMapMethod")) loadedWhenPrepared = false;
                            ++prepared;
                        },
                        [&](const SharedLibrary&) { ++retired; }});

    spare.keepReady(library.string());
    ASSERT_TRUE(spareBecomesReady(spare));
    EXPECT_EQ(prepared.load(), 1);
    ASSERT_TRUE(spare.take(library.string(), slot.string()));
    EXPECT_EQ(retired.load(), 0);

    spare.keepReady(library.string());
    ASSERT_TRUE(spareBecomesReady(spare));
    spare.keepReady(other.string());  // the ready one is outdated
    ASSERT_TRUE(spareBecomesReady(spare));
    EXPECT_EQ(retired.load(), 1);
    EXPECT_FALSE(spare.take(other.string(), slot.string()));  // the slot's path is taken
    EXPECT_EQ(retired.load(), 2);

    spare.keepReady(other.string());
    ASSERT_TRUE(spareBecomesReady(spare));
    spare.stop();
    EXPECT_EQ(prepared.load(), 4);
    EXPECT_EQ(retired.load(), 3);
    EXPECT_TRUE(loadedWhenPrepared.load());
}

// The final release can be asked for on several threads at once, each stopping the maker:
// every stop returns, the left spare is retired once, and nothing stays in the folder.
// Stopped both with a spare ready and with one in the making.
TEST(SpareAdapterTest, StopsOnSeveralThreadsAtOnceAllReturn) {
    Sandbox sandbox;
    const fs::path library = sandbox.root() / "installed.so";
    fs::copy_file(TEST_ADAPTER_PATH, library);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const fs::path spares = sandbox.root() / ("spares" + std::to_string(round));
        std::atomic<int> retired{0};
        // Left behind, not destroyed, should a stop hang: its threads still use it.
        auto* spare =
            new SpareAdapter(spares.string(), {nullptr, [&](const SharedLibrary&) { ++retired; }});
        spare->keepReady(library.string());
        const bool readyFirst = round % 2 == 0;
        if (readyFirst) {
            ASSERT_TRUE(spareBecomesReady(*spare));
        }

        constexpr int kStoppers = 4;
        std::atomic<int> waiting{kStoppers}, returned{0};
        for (int i = 0; i < kStoppers; ++i) {
            std::thread([&waiting, &returned, spare] {
                --waiting;
                while (waiting.load() > 0) std::this_thread::yield();
                spare->stop();
                ++returned;
            }).detach();
        }
        if (!waitUntil([&] { return returned.load() == kStoppers; }, std::chrono::seconds(30))) {
            ADD_FAILURE() << returned.load() << " of " << kStoppers << " stops returned";
            std::quick_exit(1);  // the hung threads hold the adapter and the counters
        }
        if (readyFirst) {
            EXPECT_EQ(retired.load(), 1);
        }
        EXPECT_LE(retired.load(), 1);
        EXPECT_EQ(filesIn(spares), 0);
        delete spare;  // its own stop finds nothing more to do
    }
}
