// The session table: start-up state and files, age tickets, release of one slot.
#include "SessionFixture.h"
#include "TessarollSession/SessionTable.h"

namespace fs = std::filesystem;
using namespace session_tests;

TEST_F(SessionTest, StartUpLeavesEveryslotFreeAndTheWorkFolderReady) {
    EXPECT_EQ(findOldestSessionSlot(), -1);
    for (const SessionSlot& slot : sessionSlots) EXPECT_FALSE(slot.inUse());
    EXPECT_EQ(testing_support::readFile(workFolderPath() / "ZEFAGPKITessarollMainVersion"),
              "Tessaroll version=1.0.23.0510");
    for (int i = 0; i < sessionSlotCount; ++i) EXPECT_TRUE(fs::is_directory(slotFolder(i))) << i;
    EXPECT_FALSE(fs::exists(workFolderPath() / "Tempfile" / "Session_32"));
}

TEST_F(SessionTest, RestartRewritesTheMarkerAndDropsLeftoverCopies) {
    testing_support::writeFile(workFolderPath() / "ZEFAGPKITessarollMainVersion", "Tessaroll version=0.9 and more text");
    testing_support::writeFile(slotFolder(3) / "ZEFAVZDediGPKICryptATLAdapter.so", "left by a crash");
    testing_support::writeFile(workFolderPath() / "Tempfile" / "stray.txt", "x");
    initSessionTable(workFolderPath().string(), installFolder().string());
    markAllSessionAgesFree();
    EXPECT_EQ(testing_support::readFile(workFolderPath() / "ZEFAGPKITessarollMainVersion"),
              "Tessaroll version=1.0.23.0510");
    EXPECT_TRUE(fs::is_empty(slotFolder(3)));
    EXPECT_FALSE(fs::exists(workFolderPath() / "Tempfile" / "stray.txt"));
}

TEST_F(SessionTest, OldestSlotFollowsTicketsAlsoPastThe32BitLimit) {
    for (uint64_t start : {uint64_t{0}, uint64_t{0xFFFFFFFEu}}) {
        sessionAgeCounter = start;
        for (int i : {0, 1, 2}) {
            sessionSlots[static_cast<std::size_t>(i)].sessionId = "S" + std::to_string(i);
            takeSessionAge(i);
        }
        EXPECT_EQ(sessionAge[2], start + 2);
        releaseSessionSlot(1);
        sessionAge[1] = freeSessionAge;
        EXPECT_EQ(findOldestSessionSlot(), 0);
        releaseSessionSlot(0);
        sessionAge[0] = freeSessionAge;
        EXPECT_EQ(findOldestSessionSlot(), 2);
        releaseSessionSlot(2);
        sessionAge[2] = freeSessionAge;
        EXPECT_EQ(findOldestSessionSlot(), -1);
    }
}

TEST_F(SessionTest, ReleaseOfAFreeSlotDoesNothing) {
    const std::string id = openSession();
    const int index = slotOf(id);
    releaseSessionSlot(-1);
    releaseSessionSlot(index + 1);
    EXPECT_EQ(slotOf(id), index);
    releaseSessionSlot(index);
    releaseSessionSlot(index);  // a second release is harmless
    sessionAge[static_cast<std::size_t>(index)] = freeSessionAge;
    EXPECT_FALSE(sessionSlots[static_cast<std::size_t>(index)].module);
    EXPECT_TRUE(fs::is_empty(slotFolder(index)));
    // The adapter was told once.
    const std::string events = adapterEvents();
    std::size_t releases = 0;
    for (std::size_t at = events.find("Tessaroll_Release"); at != std::string::npos;
         at = events.find("Tessaroll_Release", at + 1))
        ++releases;
    EXPECT_EQ(releases, 1u);
}
