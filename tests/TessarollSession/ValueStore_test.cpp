// The value store on its own: channel reuse, the full table and its eviction rule, the
// sliding timeout, origins.
#include <ctime>
#include <map>

#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "TessarollSession/ValueStore.h"

namespace {

const std::string origin = "https://app.example.org";

class ValueStoreTest : public ::testing::Test {
protected:
    int set(const std::string& name, int32_t timeout, const std::string& value = "v",
            const std::string& from = origin) {
        return store.set(name, std::string("app.example.org"), timeout, value, from);
    }
    std::string get(const std::string& name, const std::string& from = origin) {
        const std::optional<SecretString> value = store.get(name, from);
        return value ? std::string(value->view()) : "<none>";
    }
    int indexOf(const std::string& name) {
        for (int i = 0; i < valueChannelCount; ++i)
            if (store.channel(i).channelName == name) return i;
        return -1;
    }
    void advance(int64_t seconds) { clock += seconds; }

    int64_t clock = 1'700'000'000;
    ValueStore store{[this] { return clock; }};
};

TEST_F(ValueStoreTest, ValuesAreKeptEncryptedAndReadBack) {
    ASSERT_EQ(set("token", 5, "a value with ü and \"quotes\""), 0);
    const ValueChannel channel = store.channel(0);
    const std::string stored(channel.encryptedValue.begin(), channel.encryptedValue.end());
    EXPECT_EQ(stored.find("a value"), std::string::npos);
    EXPECT_EQ(channel.valueLength, channel.encryptedValue.size());
    EXPECT_EQ(get("token"), "a value with ü and \"quotes\"");
    EXPECT_EQ(get("token", "https://other.example.org"), "");
    EXPECT_EQ(get("token", "null"), "");
}

TEST_F(ValueStoreTest, NameInOtherCaseUpdatesTheSameChannel) {
    ASSERT_EQ(set("a", 0, "first"), 0);
    ASSERT_EQ(set("Basket", 0, "one"), 0);
    ASSERT_EQ(set("BASKET", 0, "two"), 0);
    EXPECT_EQ(indexOf("Basket"), 1);
    EXPECT_EQ(indexOf("BASKET"), -1);
    EXPECT_EQ(get("basket"), "two");
}

TEST_F(ValueStoreTest, FullStoreRefusesNewNamesWhileAllTimeoutsRun) {
    for (int i = 0; i < valueChannelCount; ++i) ASSERT_EQ(set("c" + std::to_string(i), 10), 0);
    EXPECT_EQ(set("c16", 10), 61019);
    EXPECT_EQ(indexOf("c16"), -1);
    EXPECT_EQ(set("C3", 10, "updated"), 0);  // existing names still update
    EXPECT_EQ(get("c3"), "updated");
}

TEST_F(ValueStoreTest, FullStoreEvictsTimedOutChannelsAndTakesTheHighest) {
    for (int i = 0; i < valueChannelCount; ++i)
        ASSERT_EQ(set("c" + std::to_string(i), i == 3 || i == 9 ? 1 : 10), 0);
    advance(61);
    ASSERT_EQ(set("new", 10, "fresh"), 0);
    EXPECT_EQ(indexOf("new"), 9);
    EXPECT_FALSE(store.channel(3).channelName);
    EXPECT_EQ(get("new"), "fresh");
}

TEST_F(ValueStoreTest, ChannelsWithoutTimeoutNeverExpireButAreEvictedWhenFull) {
    ASSERT_EQ(set("forever", 0, "kept"), 0);
    EXPECT_EQ(store.channel(0).expiry, 0);
    EXPECT_EQ(get("forever"), "kept");
    for (int i = 1; i < valueChannelCount; ++i) ASSERT_EQ(set("c" + std::to_string(i), 10), 0);
    ASSERT_EQ(set("newcomer", 10), 0);
    EXPECT_EQ(indexOf("newcomer"), 0);
    EXPECT_EQ(get("forever"), "");
}

// Values are bounded one by one and all together: past either bound a set is refused as
// when the store is full, and changes nothing; channels that may be reclaimed make room.
TEST_F(ValueStoreTest, ValuesAreBoundedInSizeOneByOneAndAllTogether) {
    EXPECT_EQ(set("huge", 5, std::string(valueSizeLimit + 1, 'h')), 61019);
    EXPECT_EQ(indexOf("huge"), -1);
    // Each of these is kept in a little less than a quarter of the store.
    const std::string quarter(valueSizeLimit - 64, 'q');
    const std::string kilobyte(1024, 'k');
    for (const char* name : {"a", "b", "c", "d"}) ASSERT_EQ(set(name, 5, quarter), 0) << name;

    EXPECT_EQ(set("e", 5, kilobyte), 61019);
    EXPECT_EQ(indexOf("e"), -1);
    // A channel's own value makes way for its new one.
    EXPECT_EQ(set("a", 5, quarter), 0);
    EXPECT_EQ(set("a", 5, "now small"), 0);
    EXPECT_EQ(set("e", 5, kilobyte), 0);
    EXPECT_EQ(set("a", 5, quarter), 61019);
    EXPECT_EQ(get("a"), "now small");
    EXPECT_EQ(get("e"), kilobyte);

    // Once the others have timed out, they are taken back for a value that needs the room.
    advance(6 * 60);
    EXPECT_EQ(set("a", 5, quarter + "12345678"), 0);
    EXPECT_EQ(get("a"), quarter + "12345678");
    for (const char* name : {"b", "c", "d", "e"}) EXPECT_EQ(indexOf(name), -1) << name;
}

TEST_F(ValueStoreTest, TimeoutSlidesOnAllowedReadsOnly) {
    ASSERT_EQ(set("s", 2, "alive"), 0);
    // Most of the timeout has passed: an allowed read restarts it, a refused one does not.
    advance(115);
    EXPECT_EQ(get("s", "https://elsewhere.example"), "");
    EXPECT_EQ(store.channel(0).expiry, clock + 5);
    EXPECT_EQ(get("s"), "alive");
    EXPECT_EQ(store.channel(0).expiry, clock + 120);
    // Past the timeout: empty, and the channel keeps its place.
    advance(121);
    EXPECT_EQ(get("s"), "");
    EXPECT_EQ(indexOf("s"), 0);
}

// A page may not replace another site's live value; once the value has timed out, the
// channel is anyone's again.
TEST_F(ValueStoreTest, OnlyAnAllowedOriginOverwritesALiveValue) {
    struct Case {
        const char* from;
        int64_t later;  // seconds after the value was stored
        int result;
        const char* kept;
    };
    const Case cases[] = {
        {"https://app.example.org", 0, 0, "new"},
        {"https://APP.example.org:444", 0, 0, "new"},
        {"https://evil.example", 0, 61011, "first"},
        {"https://app.example.org.evil.example", 0, 61011, "first"},
        {"https://evil.example", 59, 61011, "first"},
        {"https://evil.example", 61, 0, "new"},
    };
    for (const Case& c : cases) {
        ValueStore fresh{[this] { return clock; }};
        ASSERT_EQ(fresh.set(std::string("ch"), std::string("app.example.org"), 1,
                            std::string("first"), origin),
                  0);
        advance(c.later);
        EXPECT_EQ(fresh.set(std::string("ch"), std::string("evil.example; app.example.org"), 1,
                            std::string("new"), c.from),
                  c.result)
            << c.from << " " << c.later;
        EXPECT_EQ(fresh.get(std::string("ch"), c.result == 0 ? std::string(c.from) : origin),
                  c.kept)
            << c.from << " " << c.later;
    }
    // A value that never times out stays its site's.
    ASSERT_EQ(set("forever", 0, "mine"), 0);
    EXPECT_EQ(set("forever", 0, "theirs", "https://evil.example"), 61011);
    EXPECT_EQ(get("forever"), "mine");
}

// A domain list in capitals allows its origins in any case, as one in lower case does.
TEST_F(ValueStoreTest, DomainListsIgnoreLetterCase) {
    for (const char* list :
         {"BANK.EXAMPLE", "B*K.EXAMPLE", "Bank.", "other.example; BANK.Example"}) {
        ValueStore fresh{[this] { return clock; }};
        ASSERT_EQ(fresh.set(std::string("c"), std::string(list), 5, std::string("kept"),
                            "https://bank.example"),
                  0);
        for (const char* reader : {"https://bank.example", "https://BANK.example:8443"}) {
            const std::optional<SecretString> value =
                fresh.get(std::string("c"), std::string(reader));
            EXPECT_TRUE(value && value->view() == "kept") << list << " " << reader;
        }
        EXPECT_EQ(fresh.get(std::string("c"), std::string("https://evil.example"))->view(), "")
            << list;
    }
}

TEST_F(ValueStoreTest, EmptyDomainListIsReadableFromNowhere) {
    ASSERT_EQ(set("allowed", 0, "x"), 0);
    ASSERT_EQ(store.set(std::string("blank"), std::string(""), 0, std::string("secret"), origin),
              0);
    ASSERT_EQ(
        store.set(std::string("blanks"), std::string(" ; "), 0, std::string("secret"), origin), 0);
    EXPECT_EQ(get("allowed"), "x");  // leaves an allowed verdict behind
    EXPECT_EQ(get("blank"), "");
    EXPECT_EQ(get("blank", "https://attacker.example"), "");
    EXPECT_EQ(get("blanks"), "");
}

TEST_F(ValueStoreTest, MissingArguments) {
    EXPECT_EQ(store.set(std::nullopt, std::string("a"), 0, std::string("v"), origin), 61005);
    EXPECT_EQ(store.set(std::string("c"), std::nullopt, 0, std::string("v"), origin), 61005);
    EXPECT_EQ(store.set(std::string("c"), std::string("a"), 0, std::nullopt, origin), 61005);
    EXPECT_EQ(store.set(std::string("c"), std::string("a"), -1, std::string("v"), origin), 61005);
    EXPECT_EQ(indexOf("c"), -1);
    EXPECT_EQ(store.get(std::nullopt, origin), "");
    ASSERT_EQ(set("c", 0), 0);
    EXPECT_EQ(store.get(std::string("c"), std::nullopt), "");
}

}  // namespace

// Through the sessions, on an open session.
using session_tests::answerValue;
using session_tests::SessionTest;

TEST_F(SessionTest, ValueStoreCallsOfAnOpenSession) {
    const std::string id = openSession();
    auto set = [&](std::string channel, std::string domains, std::string value,
                   std::string timeout = "0") {
        return answerValue(send({{"FunctionName", "setTessarollValue"},
                                 {"SessionId", id},
                                 {"channel", channel},
                                 {"domain_list", domains},
                                 {"value", value},
                                 {"timeout", timeout}}),
                           "result");
    };
    // Each reading page uses a session of its own: sessions answer only their own origin.
    std::map<std::string, std::string> readers{{session_tests::pageOrigin, id}};
    auto get = [&](std::string channel, std::string origin) {
        if (!readers.count(origin)) readers[origin] = openSession(origin);
        return answerValue(send({{"FunctionName", "getTessarollValue"},
                                 {"SessionId", readers[origin]},
                                 {"channel", channel}},
                                origin),
                           "result");
    };
    EXPECT_EQ(set("cart", "pages.example.com;.shop.example", "three apples"), "0");
    EXPECT_EQ(get("CART", "https://pages.example.com:8443"), "three apples");
    EXPECT_EQ(get("cart", "http://www.shop.example"), "three apples");
    EXPECT_EQ(get("cart", "https://evil.example"), "");
    EXPECT_EQ(get("unknown", "https://pages.example.com"), "");

    // A channel stored without domains is readable from nowhere, also right after a read
    // that an allowed origin passed.
    EXPECT_EQ(set("open", "", "secret"), "0");
    EXPECT_EQ(get("cart", "https://pages.example.com"), "three apples");
    EXPECT_EQ(get("open", "https://evil.example"), "");
    EXPECT_EQ(get("open", "https://pages.example.com"), "");

    // Missing arguments.
    JsonMapPtr noValue = send({{"FunctionName", "setTessarollValue"},
                               {"SessionId", id},
                               {"channel", "x"},
                               {"domain_list", "a.example"}});
    EXPECT_EQ(answerValue(noValue, "result"), "61005");
    JsonMapPtr noChannel = send({{"FunctionName", "getTessarollValue"}, {"SessionId", id}});
    EXPECT_EQ(answerValue(noChannel, "result"), "61005");
    EXPECT_EQ(set("negative", "a.example", "v", "-1"), "61005");

    // The timeout is read as the service reads integers.
    for (const auto& [timeout, minutes] : {std::pair{"true", 1}, std::pair{"FALSE", 0},
                                           std::pair{" 7 min", 7}, std::pair{"soon", 0}}) {
        ASSERT_EQ(set("timed", "pages.example.com", "v", timeout), "0") << timeout;
        int index = 0;
        while (index < valueChannelCount &&
               service_->values().channel(index).channelName != "timed")
            ++index;
        ASSERT_LT(index, valueChannelCount);
        EXPECT_EQ(service_->values().channel(index).timeoutMinutes, minutes) << timeout;
    }
}
