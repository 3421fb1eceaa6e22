// The session table: start-up state and files, age tickets, release of one slot.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SessionFixture.h"
#include "TessarollSession/SessionTable.h"
#include "helpers/SessionText.h"

namespace fs = std::filesystem;
using namespace session_tests;
using testing_support::instanceOf;

TEST_F(SessionTest, StartUpLeavesEveryslotFreeAndTheWorkFolderReady) {
    EXPECT_EQ(service_->table().oldestSlot(), -1);
    for (int i = 0; i < sessionSlotCount; ++i) EXPECT_FALSE(slot(i).loaded) << i;
    EXPECT_EQ(slotsInUse(), 0);
    EXPECT_EQ(testing_support::readFile(workFolderPath() / "ZEFAGPKITessarollMainVersion"),
              "Tessaroll version=1.0.23.0510");
    for (int i = 0; i < sessionSlotCount; ++i) EXPECT_TRUE(fs::is_directory(slotFolder(i))) << i;
    EXPECT_FALSE(fs::exists(workFolderPath() / "Tempfile" / "Session_32"));
}

TEST_F(SessionTest, RestartRewritesTheMarkerAndDropsLeftoverCopies) {
    testing_support::writeFile(workFolderPath() / "ZEFAGPKITessarollMainVersion",
                               "Tessaroll version=0.9 and more text");
    testing_support::writeFile(slotFolder(3) / "ZEFAVZDediGPKICryptATLAdapter.so",
                               "left by a crash");
    testing_support::writeFile(workFolderPath() / "Tempfile" / "stray.txt", "x");
    SessionTable restarted(workFolderPath().string(), installFolder().string());
    EXPECT_EQ(testing_support::readFile(workFolderPath() / "ZEFAGPKITessarollMainVersion"),
              "Tessaroll version=1.0.23.0510");
    EXPECT_TRUE(fs::is_empty(slotFolder(3)));
    EXPECT_FALSE(fs::exists(workFolderPath() / "Tempfile" / "stray.txt"));
}

TEST_F(SessionTest, OldestSlotFollowsTicketsAlsoPastThe32BitLimit) {
    SessionTable& table = service_->table();
    for (uint64_t start : {uint64_t{0}, uint64_t{0xFFFFFFFEu}}) {
        table.setNextAgeTicket(start);
        SessionTable::Claim claims[3];
        for (int i : {0, 1, 2}) {
            SessionTable::Opening opening = table.open("S" + std::to_string(i), pageOrigin);
            ASSERT_EQ(opening.outcome, SessionTable::Opening::claimed);
            ASSERT_EQ(opening.claim.index, i);
            claims[i] = opening.claim;
        }
        EXPECT_EQ(slot(2).age, start + 2);
        table.forget(claims[1]);
        EXPECT_EQ(table.oldestSlot(), 0);
        table.forget(claims[0]);
        EXPECT_EQ(table.oldestSlot(), 2);
        table.forget(claims[2]);
        EXPECT_EQ(table.oldestSlot(), -1);
    }
}

// A claim made before a slot changed hands never reaches the slot's next session, and an
// id already owned is not claimed twice.
TEST_F(SessionTest, ClaimsOfAnEarlierOwnerAreVoid) {
    SessionTable& table = service_->table();
    const SessionTable::Opening first = table.open("A_SID", pageOrigin);
    ASSERT_EQ(first.outcome, SessionTable::Opening::claimed);
    EXPECT_EQ(table.open("A_SID", "https://other.example").outcome, SessionTable::Opening::taken);
    EXPECT_TRUE(table.find("A_SID", pageOrigin));
    EXPECT_FALSE(table.find("A_SID", "https://other.example"));
    table.forget(first.claim);
    const SessionTable::Opening second = table.open("B_SID", pageOrigin);
    ASSERT_EQ(second.claim.index, first.claim.index);
    EXPECT_FALSE(table.holds(first.claim));
    table.forget(first.claim);  // a void claim frees nothing
    EXPECT_EQ(slot(second.claim.index).sessionId, "B_SID");
    table.forget(second.claim);
    table.close();
    EXPECT_EQ(table.open("C_SID", pageOrigin).outcome, SessionTable::Opening::closed);
}

TEST_F(SessionTest, ReleaseOfAFreeSlotDoesNothing) {
    const std::string id = openSession();
    const int index = slotOf(id);
    SessionTable& table = service_->table();
    {
        std::lock_guard lock(table.callLock(index + 1));
        table.releaseAdapter(index + 1);
    }
    table.releaseAdapter(-1);
    EXPECT_EQ(slotOf(id), index);
    {
        std::lock_guard lock(table.callLock(index));
        table.releaseAdapter(index);
        table.releaseAdapter(index);  // a second release is harmless
    }
    EXPECT_FALSE(slot(index).loaded);
    EXPECT_TRUE(fs::is_empty(slotFolder(index)));
    // The adapter was told once.
    const std::string events = adapterEvents();
    std::size_t releases = 0;
    for (std::size_t at = events.find("Tessaroll_Release"); at != std::string::npos;
         at = events.find("Tessaroll_Release", at + 1))
        ++releases;
    EXPECT_EQ(releases, 1u);
}

// A released copy runs its static destructors as it is unloaded, and the next session in
// the slot is a fresh copy.
TEST_F(SessionTest, ReleasedCopyRunsItsStaticDestructorsAtUnload) {
    const std::string first = openSession();
    const std::string instance = instanceOf(counters(first));
    ASSERT_FALSE(instance.empty());
    send({{"FunctionName", "TessarollForceRelease"}, {"SessionId", first}});
    const std::string events = adapterEvents();
    const std::size_t released = events.find(instance + " Tessaroll_Release");
    const std::size_t unloaded = events.find(instance + " unloaded");
    ASSERT_NE(released, std::string::npos) << events;
    ASSERT_NE(unloaded, std::string::npos) << events;
    EXPECT_LT(released, unloaded);
    EXPECT_NE(instanceOf(counters(openSession())), instance);
}

// A full table gives up the oldest session of the origin that holds the most, so pages of
// one origin push out only their own sessions; among origins that hold as many, the oldest
// session of all goes, as a table shared fairly always did.
TEST_F(SessionTest, AFullTableEvictsFromTheOriginThatHoldsTheMost) {
    struct Case {
        const char* name;
        // Origins ("a", "b", ...) of the 32 sessions in the order they opened, as runs.
        std::vector<std::pair<std::string, int>> runs;
        std::string newcomer;
        int evicted;  // the slot (= opening order) that goes
    };
    const Case cases[] = {
        {"one origin floods after two others", {{"b", 1}, {"c", 1}, {"a", 30}}, "a", 2},
        {"the flood comes from a newcomer's rival", {{"b", 1}, {"a", 31}}, "b", 1},
        {"a newcomer of a third origin", {{"b", 2}, {"a", 30}}, "c", 2},
        {"every origin once: the oldest", {}, "x", 0},
        {"a tie: the oldest of the tied origins", {{"c", 2}, {"a", 15}, {"b", 15}}, "c", 2},
        {"interleaved equal shares: the oldest",
         {{"a", 1}, {"b", 1}, {"a", 15}, {"b", 15}},
         "b",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionTable table(workFolderPath().string(), installFolder().string());
        std::vector<std::string> origins;
        for (const auto& [origin, count] : c.runs) origins.insert(origins.end(), count, origin);
        while (origins.size() < sessionSlotCount)
            origins.push_back("u" + std::to_string(origins.size()));
        for (std::size_t i = 0; i < origins.size(); ++i)
            ASSERT_EQ(table.open("S" + std::to_string(i), "https://" + origins[i]).claim.index,
                      static_cast<int>(i));

        const SessionTable::Opening opening = table.open("NEW", "https://" + c.newcomer);
        ASSERT_EQ(opening.outcome, SessionTable::Opening::claimed);
        EXPECT_TRUE(opening.evicted);
        EXPECT_EQ(opening.claim.index, c.evicted);
        // Every other session keeps its slot.
        for (int i = 0; i < sessionSlotCount; ++i) {
            if (i != c.evicted) {
                EXPECT_EQ(table.slotOf("S" + std::to_string(i)), i) << i;
            }
        }
        EXPECT_EQ(table.slotOf("S" + std::to_string(c.evicted)), -1);
    }
}
