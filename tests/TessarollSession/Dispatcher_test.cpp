// The sessions with the test adapter: opening and finding sessions, the path table, the
// version gates, release and browser mode, value-store calls and adapter calls.

#include "SessionFixture.h"
#include "helpers/SessionText.h"

namespace fs = std::filesystem;
using namespace session_tests;
using namespace testing_support;
static const std::string& tableId = adapterPathId;

namespace {

bool folderIsEmpty(const fs::path& folder) {
    return fs::is_empty(folder);
}

}  // namespace

TEST_F(SessionTest, EchoOpensSessionWithGeneratedIdAndVersions) {
    JsonMapPtr answer =
        send({{"FunctionName", "Echo"}, {"PathID", tableId}, {"minServerVersion", "1.0.23.0510"}});
    ASSERT_TRUE(answer);
    const std::string id = answerValue(answer, "SessionID").value_or("");
    EXPECT_TRUE(isGeneratedSessionId(id)) << id;
    EXPECT_EQ(answerValue(answer, "ServerVersion"), "1.0.23.0510");
    EXPECT_EQ(answerValue(answer, "LibVersion"), "1,0,21,827");
    EXPECT_EQ(answerValue(answer, "result"), "0");

    const int index = slotOf(id);
    ASSERT_EQ(index, 0);
    // The session runs its own copy of the adapter, not the installed file.
    const fs::path copy = slotFolder(0) / (std::string(adapterName) + ".so");
    EXPECT_EQ(slot(0).dllPath, copy.string());
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_EQ(slot(0).browserMode, 0);
}

TEST_F(SessionTest, LaterRequestsReachTheSameCopyWithoutNewUnlock) {
    const std::string id = openSession();
    const std::string first = counters(id);
    const std::string second = counters(id);
    EXPECT_NE(instanceOf(first), "");
    EXPECT_EQ(instanceOf(first), instanceOf(second));
    EXPECT_NE(second.find("unlock=1 version=1 release=0"), std::string::npos) << second;

    // A request of an existing session answers Echo itself, without the adapter.
    JsonMapPtr echo = send({{"FunctionName", "Echo"}, {"SessionId", id}});
    EXPECT_EQ(answerValue(echo, "result"), "0");
    EXPECT_EQ(answerValue(echo, "LibVersion"), "1,0,21,827");
    EXPECT_FALSE(answerValue(echo, "SessionID"));
    EXPECT_NE(counters(id).find("unlock=1 version=1 release=0 calls=5"), std::string::npos);
}

TEST_F(SessionTest, TheUnlockCarriesThePageOrigin) {
    const std::string id = openSession();
    JsonMapPtr answer = send({{"FunctionName", "TestAdapter_Origin"}, {"SessionId", id}});
    EXPECT_EQ(answerValue(answer, "result"), pageOrigin);
}

// A page that names its own session id must never receive another page's requests, and
// another page must never reach its session: ids match exactly.
TEST_F(SessionTest, OnePageCannotReachAnotherPagesSession) {
    JsonMapPtr own = send({{"FunctionName", "Echo"},
                           {"SessionId", "_SID"},
                           {"PathID", tableId},
                           {"minServerVersion", "1.0.23.0510"}});
    ASSERT_EQ(answerValue(own, "result"), "0");
    EXPECT_FALSE(answerValue(own, "SessionID"));  // opened under the page's own id
    ASSERT_EQ(slotOf("_SID"), 0);
    const std::string ownInstance = instanceOf(counters("_SID"));

    const std::string other = openSession();
    ASSERT_NE(slotOf(other), -1);
    EXPECT_NE(instanceOf(counters(other)), ownInstance);
    EXPECT_EQ(instanceOf(counters("_SID")), ownInstance);

    // Ids that contain "_SID", or differ only in case, are other sessions.
    for (const std::string& id :
         {std::string("X_SID"), std::string("_sid"), std::string("_SID_"), other + "1"}) {
        JsonMapPtr answer = send({{"FunctionName", "TestAdapter_Counters"},
                                  {"SessionId", id},
                                  {"PathID", tableId},
                                  {"minServerVersion", "1.0.23.0510"}});
        const std::string reached = instanceOf(answerValue(answer, "result").value_or(""));
        EXPECT_NE(reached, ownInstance) << id;
        EXPECT_NE(reached, instanceOf(counters(other))) << id;
        EXPECT_EQ(slotOf(id), slotsInUse() - 1) << id;  // a new session under exactly that id
    }
}

TEST_F(SessionTest, UnknownIdOpensSessionUnderItsFirst63Characters) {
    const std::string longId(80, 'Q');
    JsonMapPtr answer = send({{"FunctionName", "Echo"},
                              {"SessionId", longId},
                              {"PathID", tableId},
                              {"minServerVersion", "1.0.23.0510"}});
    EXPECT_EQ(answerValue(answer, "result"), "0");
    EXPECT_EQ(slotOf(longId.substr(0, 63)), 0);
    // The long id reaches it again; so does its cut form.
    EXPECT_EQ(instanceOf(counters(longId)), instanceOf(counters(longId.substr(0, 63))));
}

TEST_F(SessionTest, AdapterLocationMustBeInThePathTable) {
    struct Case {
        const char* pathId;
        const char* folder;
        const char* name;
        const char* result;
    };
    const Case cases[] = {
        {"", "ZEFAGPKI", "ZEFAVZDediGPKICryptATLAdapter", "0"},
        {"", "zefagpki", "zefavzdedigpkicryptatladapter", "0"},
        {"", "ZEFA/GPKI", "ZEFAVZDediGPKI\\CryptATLAdapter", "0"},  // separators are dropped
        {"", "Other", "ZEFAVZDediGPKICryptATLAdapter", "61009"},
        {"", "..", "ZEFAVZDediGPKICryptATLAdapter", "61009"},
        {"", "", "", "61009"},
        {"5d27c0a91b3e4f68a2c7e0b9146d83f2", "../../elsewhere", "evil",
         "0"},  // the table's entry wins
        {"0000", "..", "ZEFAVZDediGPKICryptATLAdapter", "61009"},
        {"0000", "Missing", "Nothing", "61902"},  // taken unchecked, but nothing loads
    };
    for (const Case& c : cases) {
        JsonMapPtr answer = send({{"FunctionName", "Echo"},
                                  {"PathID", c.pathId},
                                  {"LibDir", c.folder},
                                  {"ComName", c.name},
                                  {"minServerVersion", "1.0.23.0510"}});
        const std::string where = std::string(c.pathId) + " " + c.folder + " " + c.name;
        EXPECT_EQ(answerValue(answer, "result"), c.result) << where;
        if (std::string(c.result) != "0") {
            EXPECT_EQ(answerSize(answer), 1) << where;  // no session id for a refused session
            EXPECT_EQ(slotsInUse(), 0) << where;
        } else {
            const int index = slotOf(answerValue(answer, "SessionID").value_or(""));
            ASSERT_GE(index, 0);
            releaseSlot(index);
        }
        EXPECT_TRUE(folderIsEmpty(slotFolder(0))) << where;
    }
}

TEST_F(SessionTest, VersionGatesAndAdapterCodes) {
    struct Case {
        const char* minServer;  // nullptr: key absent
        const char* minLib;
        const char* adapterVersion;  // nullptr: the test adapter's own
        const char* unlockAnswer;
        const char* result;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, nullptr, "61203"},  // no minimum is not four parts
        {"1.0.23.0510", nullptr, nullptr, nullptr, "0"},
        {"1.0.23.510", "0.0.0.0", nullptr, nullptr, "0"},
        {"1.0.22.9999", nullptr, nullptr, nullptr, "0"},
        {"1.0.23.0511", nullptr, nullptr, nullptr, "61203"},
        {"1.0.23", nullptr, nullptr, nullptr, "61203"},
        {"1.0.23.0510", "1.0", nullptr, nullptr, "61204"},
        {"1.0.23.0510", "1.0.21.827", nullptr, nullptr, "0"},
        {"1.0.23.0510", "1.0.21.828", nullptr, nullptr, "61204"},
        {"1.0.23.0510", nullptr, "61905", nullptr, "61905"},
        {"1.0.23.0510", nullptr, "61999", nullptr, "61999"},
        {"1.0.23.0510", nullptr, nullptr, "61905", "61905"},
        {"1.0.23.0510", nullptr, nullptr, "1", "1"},
    };
    for (const Case& c : cases) {
        if (c.adapterVersion)
            setenv("TESSAROLL_TEST_ADAPTER_VERSION", c.adapterVersion, 1);
        else
            unsetenv("TESSAROLL_TEST_ADAPTER_VERSION");
        if (c.unlockAnswer)
            setenv("TESSAROLL_TEST_ADAPTER_UNLOCK", c.unlockAnswer, 1);
        else
            unsetenv("TESSAROLL_TEST_ADAPTER_UNLOCK");
        JsonMapPtr request = c.minServer
                                 ? c.minLib ? makeRequest({{"FunctionName", "Echo"},
                                                           {"PathID", tableId},
                                                           {"minServerVersion", c.minServer},
                                                           {"minLibVersion", c.minLib}})
                                            : makeRequest({{"FunctionName", "Echo"},
                                                           {"PathID", tableId},
                                                           {"minServerVersion", c.minServer}})
                                 : makeRequest({{"FunctionName", "Echo"}, {"PathID", tableId}});
        JsonMapPtr answer = send(request);
        const std::string where = std::string(c.minServer ? c.minServer : "-") + " " +
                                  (c.minLib ? c.minLib : "-") + " " +
                                  (c.adapterVersion ? c.adapterVersion : "-") + " " +
                                  (c.unlockAnswer ? c.unlockAnswer : "-");
        EXPECT_EQ(answerValue(answer, "result"), c.result) << where;
        if (std::string(c.result) != "0") {
            EXPECT_EQ(answerSize(answer), 1) << where;
            EXPECT_EQ(slotsInUse(), 0) << where;
            EXPECT_TRUE(folderIsEmpty(slotFolder(0))) << where;  // the copy went with the slot
        } else {
            releaseSlot(0);
        }
        // The test adapter reads the environment on every call, the next session's copy
        // starting up on the maker's thread among them: the next case changes it only once
        // that copy is ready.
        ASSERT_TRUE(spareBecomesReady(service_->spare())) << where;
    }
}

TEST_F(SessionTest, ThirtyThirdSessionEvictsTheOldest) {
    std::vector<std::string> ids;
    for (int i = 0; i < sessionSlotCount; ++i) ids.push_back(openSession());
    ASSERT_EQ(slotsInUse(), sessionSlotCount);
    // Slot 5 is the oldest once 0 to 4 are closed and reopened.
    for (int i = 0; i < 5; ++i) {
        send({{"FunctionName", "TessarollClose"}, {"SessionId", ids[static_cast<std::size_t>(i)]}});
        ids[static_cast<std::size_t>(i)] = openSession();
    }
    const std::string evictedInstance = instanceOf(counters(ids[5]));

    const std::string newcomer = openSession();
    EXPECT_EQ(slotOf(newcomer), 5);
    EXPECT_EQ(slotOf(ids[5]), -1);
    EXPECT_EQ(slotsInUse(), sessionSlotCount);
    EXPECT_NE(adapterEvents().find(evictedInstance + " Tessaroll_Release"), std::string::npos);
    // The evicted copy was unloaded and deleted: the newcomer made and loaded a fresh copy.
    EXPECT_EQ(slot(5).dllPath, (slotFolder(5) / (std::string(adapterName) + ".so")).string());
    EXPECT_NE(instanceOf(counters(newcomer)), evictedInstance);

    send({{"FunctionName", "TessarollForceRelease"}, {"SessionId", newcomer}});
    EXPECT_TRUE(folderIsEmpty(slotFolder(5)));
}

TEST_F(SessionTest, ReleaseFunctionsAndBrowserMode) {
    // Without a session nothing is opened: only a new id comes back.
    JsonMapPtr none = send({{"FunctionName", "TessarollClose"}, {"PathID", tableId}});
    EXPECT_EQ(answerSize(none), 1);
    EXPECT_TRUE(answerValue(none, "SessionID"));
    EXPECT_EQ(slotsInUse(), 0);

    const std::string plain = openSession();
    send({{"FunctionName", "tessarollrelease"}, {"SessionId", plain}});
    EXPECT_EQ(slotOf(plain), -1);
    EXPECT_TRUE(folderIsEmpty(slotFolder(0)));

    for (const char* mode : {"true", "1"}) {
        JsonMapPtr echo = send({{"FunctionName", "TessarollEcho"},
                                {"PathID", tableId},
                                {"minServerVersion", "1.0.23.0510"},
                                {"TessarollMode", mode}});
        const std::string id = answerValue(echo, "SessionID").value_or("");
        ASSERT_EQ(slot(slotOf(id)).browserMode, 1) << mode;
        send({{"FunctionName", "TessarollClose"}, {"SessionId", id}});
        send({{"FunctionName", "TessarollRelease"}, {"SessionId", id}});
        EXPECT_NE(slotOf(id), -1) << mode;
        send({{"FunctionName", "TessarollForceRelease"}, {"SessionId", id}});
        EXPECT_EQ(slotOf(id), -1) << mode;
    }
    EXPECT_TRUE(folderIsEmpty(slotFolder(0)));
}

TEST_F(SessionTest, AdapterResultPassesUnchanged) {
    const std::string id = openSession();
    const std::string text = "line one\nline \"two\" 61011";
    JsonMapPtr answer = send({{"FunctionName", "TestAdapter_Echo"},
                              {"SessionId", id},
                              {"text", text},
                              {"hide_result", "true"}});
    EXPECT_EQ(answerValue(answer, "result"), text);
    JsonMapPtr unknown = send({{"FunctionName", "NoSuchFunction"}, {"SessionId", id}});
    EXPECT_EQ(answerValue(unknown, "result"), "61005");
}

TEST_F(SessionTest, FirstRequestOfANewSessionRunsTheAdapterFunction) {
    JsonMapPtr answer = send({{"FunctionName", "TestAdapter_Echo"},
                              {"PathID", tableId},
                              {"minServerVersion", "1.0.23.0510"},
                              {"text", "hello"}});
    EXPECT_EQ(answerValue(answer, "result"), "hello");
    EXPECT_TRUE(answerValue(answer, "SessionID"));
}

TEST_F(SessionTest, AdapterWithOnlyTheTextEntryPoint) {
    installAdapter(TEST_ADAPTER_TEXT_ONLY_PATH);
    const std::string id = openSession();
    ASSERT_NE(slotOf(id), -1);
    EXPECT_FALSE(slot(slotOf(id)).jsonMapEntry);
    EXPECT_NE(counters(id).find("unlock=1 version=1"), std::string::npos);
    JsonMapPtr answer = send(
        {{"FunctionName", "TestAdapter_Echo"}, {"SessionId", id}, {"text", "a \"quoted\" text"}});
    EXPECT_EQ(answerValue(answer, "result"), "a \"quoted\" text");
    JsonMapPtr origin = send({{"FunctionName", "TestAdapter_Origin"}, {"SessionId", id}});
    EXPECT_EQ(answerValue(origin, "result"), pageOrigin);
    send({{"FunctionName", "TessarollForceRelease"}, {"SessionId", id}});
    EXPECT_NE(adapterEvents().find("Tessaroll_Release"), std::string::npos);
}

TEST_F(SessionTest, AdapterWithoutEntryPointsIsRefused) {
    installAdapter(TEST_ADAPTER_NO_ENTRY_PATH);
    JsonMapPtr answer =
        send({{"FunctionName", "Echo"}, {"PathID", tableId}, {"minServerVersion", "1.0.23.0510"}});
    EXPECT_EQ(answerValue(answer, "result"), "61906");
    EXPECT_EQ(answerSize(answer), 1);
    EXPECT_EQ(slotsInUse(), 0);
    EXPECT_TRUE(folderIsEmpty(slotFolder(0)));
}

// A copy that could not be deleted blocks the slot's next copy; the session then runs the
// installed library, and its release leaves that file alone.
TEST_F(SessionTest, OccupiedCopyPathFallsBackToTheInstalledLibrary) {
    const fs::path stale = slotFolder(0) / (std::string(adapterName) + ".so");
    fs::copy_file(installedAdapter(), stale);
    const std::string id = openSession();
    ASSERT_EQ(slotOf(id), 0);
    EXPECT_EQ(slot(0).dllPath, installedAdapter().string());
    send({{"FunctionName", "TessarollForceRelease"}, {"SessionId", id}});
    EXPECT_TRUE(fs::exists(installedAdapter()));
    EXPECT_TRUE(fs::exists(stale));
}

TEST_F(SessionTest, InstallerVersionIsReadFromTheWorkFolder) {
    testing_support::writeFile(workFolderPath() / "SetupVersion.txt", "2.4.1");
    JsonMapPtr answer = send({{"FunctionName", "Echo"},
                              {"PathID", tableId},
                              {"minServerVersion", "1.0.23.0510"},
                              {"InstallerName", "Setup.exe"}});
    EXPECT_EQ(answerValue(answer, "InstallerVersion"), "2.4.1");
    const std::string id = answerValue(answer, "SessionID").value_or("");
    JsonMapPtr again = send({{"FunctionName", "Echo"}, {"SessionId", id}});
    EXPECT_EQ(answerValue(again, "InstallerVersion"), "2.4.1");
}

// An Echo answered at once comes from the text the slot keeps: the same answer as the
// Echo of the full path, and never the answer of the session the slot held before.
TEST_F(SessionTest, AnEchoAnsweredAtOnceIsTheAnswerOfItsOwnSession) {
    testing_support::writeFile(workFolderPath() / "SetupVersion.txt", "2.4.1");
    JsonMapPtr opened = send({{"FunctionName", "Echo"},
                              {"PathID", tableId},
                              {"minServerVersion", "1.0.23.0510"},
                              {"InstallerName", "Setup.exe"}});
    const std::string first = answerValue(opened, "SessionID").value_or("");
    JsonMapPtr echo = makeRequest({{"FunctionName", "Echo"}, {"SessionId", first}});
    std::optional<SessionAnswer> atOnce = service_->handleAtOnce(*echo, pageOrigin);
    ASSERT_TRUE(atOnce && atOnce->text);
    EXPECT_EQ(*atOnce->text, serializeJsonMap(send(echo).get()));
    EXPECT_EQ(answerValue(*atOnce, "InstallerVersion"), "2.4.1");
    EXPECT_EQ(answerValue(*atOnce, "LibVersion"), "1,0,21,827");
    EXPECT_EQ(answerValue(*atOnce, "ServerVersion"), "1.0.23.0510");
    EXPECT_EQ(answerValue(*atOnce, "result"), "0");
    std::optional<SessionAnswer> again = service_->handleAtOnce(*echo, pageOrigin);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->text, atOnce->text);  // the same kept text, not a copy
    const std::string firstText = *atOnce->text;

    // The next session in the same slot runs another adapter version and no installer.
    send({{"FunctionName", "TessarollForceRelease"}, {"SessionId", first}});
    ASSERT_TRUE(spareBecomesReady(service_->spare()));
    setenv("TESSAROLL_TEST_ADAPTER_VERSION", "1,0,22,5", 1);
    const std::string second = openSession();
    ASSERT_EQ(slotOf(second), 0);
    JsonMapPtr secondEcho = makeRequest({{"FunctionName", "TessarollEcho"}, {"SessionId", second}});
    std::optional<SessionAnswer> secondAnswer = service_->handleAtOnce(*secondEcho, pageOrigin);
    ASSERT_TRUE(secondAnswer);
    EXPECT_EQ(answerValue(*secondAnswer, "LibVersion"), "1,0,22,5");
    EXPECT_FALSE(answerValue(*secondAnswer, "InstallerVersion"));
    ASSERT_TRUE(secondAnswer->text);
    EXPECT_EQ(*secondAnswer->text, serializeJsonMap(send(secondEcho).get()));
    // A response still sending the first session's answer keeps it whole.
    EXPECT_EQ(*atOnce->text, firstText);
}

TEST(SanitizePathName, DropsSeparatorsAndRefusesParentFolder) {
    struct Case {
        std::string in;
        std::size_t size;
        std::string out;
    };
    const Case cases[] = {
        {"ZEFA/GPKI", 64, "ZEFAGPKI"},
        {"a<b>c:d/e\\f|g?h*i;j&k$l\"m", 64, "abcdefghijklm"},
        {"..", 64, ""},
        {"./.", 64, ""},  // ".." once the slash is gone
        {".", 64, "."},
        {"...", 64, "..."},
        {std::string(70, 'x'), 64, std::string(63, 'x')},
        {"", 64, ""},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        sanitizePathName(text, c.size);
        EXPECT_EQ(text, c.out) << c.in;
    }
}

// A session answers only the page that opened it: another origin with the same id gets a
// session of its own under a new id, and the first page's copy is never reached.
TEST_F(SessionTest, ASessionAnswersOnlyTheOriginThatOpenedIt) {
    const std::string id = openSession();
    const std::string ownInstance = instanceOf(counters(id));
    for (const std::string foreign :
         {"https://evil.example", "http://pages.example.com:8443", "https://pages.example.com",
          "https://PAGES.example.com:8443"}) {
        for (const char* function :
             {"TestAdapter_Counters", "Echo", "TessarollForceRelease", "getTessarollValue"}) {
            JsonMapPtr answer = send({{"FunctionName", function},
                                      {"SessionId", id},
                                      {"PathID", tableId},
                                      {"minServerVersion", "1.0.23.0510"},
                                      {"channel", "c"}},
                                     foreign);
            const std::string where = foreign + " " + function;
            const std::string newId = answerValue(answer, "SessionID").value_or("");
            EXPECT_TRUE(isGeneratedSessionId(newId)) << where;
            EXPECT_NE(newId, id) << where;
            EXPECT_NE(instanceOf(answerValue(answer, "result").value_or("")), ownInstance) << where;
            if (!newId.empty() && slotOf(newId) >= 0) releaseSlot(slotOf(newId));
        }
    }
    // Still there, and its copy saw only its own page's calls.
    EXPECT_EQ(slotOf(id), 0);
    EXPECT_NE(counters(id).find(ownInstance + " unlock=1 version=1 release=0 calls=4"),
              std::string::npos)
        << counters(id);
}

// After the final release nothing answers and no session opens: a copy made then would
// outlive the service.
TEST_F(SessionTest, NothingOpensAfterTheFinalRelease) {
    const std::string id = openSession();
    testing_support::writeFile(workFolderPath() / "stray.so", "a copy in the work folder");
    service_->releaseAll();
    EXPECT_EQ(slotOf(id), -1);
    EXPECT_FALSE(fs::exists(workFolderPath() / "stray.so"));
    EXPECT_FALSE(send({{"FunctionName", "Echo"}, {"SessionId", id}}));
    EXPECT_FALSE(
        send({{"FunctionName", "Echo"}, {"PathID", tableId}, {"minServerVersion", "1.0.23.0510"}}));
    EXPECT_EQ(slotsInUse(), 0);
    EXPECT_TRUE(folderIsEmpty(slotFolder(0)));
    service_->releaseAll();  // a second time is harmless
}
