#include "TessarollUtil/UrlCheck.h"

#include "doubles/LogCapture/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testing_support::LogCapture;

class UrlCheckTest : public ::testing::Test {
protected:
    void TearDown() override {
        clearUrlCheckList();
        setUnlockURL("");
    }
    LogCapture log;
};

TEST_F(UrlCheckTest, EntriesAreTrimmedWidenedAndRewritten) {
    setUnlockURL(" d.example.com ;\t.e.org ;  ; f.net. \r\n");
    EXPECT_EQ(urlCheckList(),
              (std::vector<std::string>{R"(d\.example\.com)", R"(\S*\.e\.org)", R"(f\.net\.\S*)"}));
    std::vector<std::string> logged;
    for (const std::string& line : log.lines()) {
        if (const auto at = line.find("Url check list: "); at != std::string::npos)
            logged.push_back(line.substr(at + 16));
    }
    EXPECT_EQ(logged, (std::vector<std::string>{"d.example.com", "*.e.org", "f.net.*"}));
    EXPECT_TRUE(log.contains("[Normal] Enable url check list"));
}

struct OriginCase {
    const char* list;
    const char* origin;
    bool allowed;
};

class UrlCheckOriginTest : public UrlCheckTest, public ::testing::WithParamInterface<OriginCase> {};

TEST_P(UrlCheckOriginTest, Verdict) {
    const OriginCase& c = GetParam();
    setUnlockURL(c.list);
    EXPECT_EQ(checkUnlockDomain(c.origin), c.allowed);
    EXPECT_EQ(isUnlocked(), c.allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Origins, UrlCheckOriginTest,
    ::testing::Values(
        // A plain entry: that host only, any scheme, port and letter case.
        OriginCase{"d.example.com", "https://d.example.com", true},
        OriginCase{"d.example.com", "http://D.EXAMPLE.COM:8080", true},
        OriginCase{"d.example.com", "HTTPS://d.example.com", true},
        OriginCase{"d.example.com", "https://d.example.com/", true},
        OriginCase{"d.example.com", "https://x.d.example.com", false},
        OriginCase{"d.example.com", "https://d.example.com.evil", false},
        OriginCase{"d.example.com", "https://dxexample.com", false},
        OriginCase{"d.example.com/", "https://d.example.com", true},
        // A leading dot (or "*."): one or more labels in front, not the bare domain.
        OriginCase{".e.org", "https://a.e.org", true},
        OriginCase{".e.org", "https://a.b.e.org:443", true},
        OriginCase{"*.e.org", "https://a.e.org", true},
        OriginCase{".e.org", "https://e.org", false}, OriginCase{".e.org", "https://ae.org", false},
        // A trailing dot: anything after.
        OriginCase{"f.net.", "https://f.net.tw", true},
        OriginCase{"f.net.", "https://f.net", false},
        // Several entries, and addresses.
        OriginCase{"a.com;b.com", "https://b.com", true},
        OriginCase{"a.com;b.com", "https://c.com", false},
        OriginCase{"127.0.0.1", "https://127.0.0.1:56482", true},
        OriginCase{"127.0.0.1", "https://127.0.0.2", false},
        // A star anywhere stands for any run of characters, dots included.
        OriginCase{"a.*.com", "https://a.x.y.com", true},
        OriginCase{"a.*.com", "https://a.com", false},
        OriginCase{"*", "https://anything.example", true},
        OriginCase{"*a*a*b", "https://xaab", true}, OriginCase{"*a*a*b", "https://xab", false},
        OriginCase{"*ab*ab", "https://abab", true}, OriginCase{"*ab*ab", "https://aba", false},
        OriginCase{"a*a", "https://a", false},
        // Entries in capitals, of every shape, as a page may write them.
        OriginCase{"D.Example.COM", "https://d.example.com", true},
        OriginCase{"BANK.EXAMPLE", "https://bank.example", true},
        OriginCase{"BANK.EXAMPLE", "HTTPS://Bank.Example:443", true},
        OriginCase{"BANK.EXAMPLE/", "https://bank.example", true},
        OriginCase{".BANK.EXAMPLE", "https://www.bank.example", true},
        OriginCase{"*.BANK.EXAMPLE", "https://WWW.bank.example", true},
        OriginCase{"BANK.", "https://bank.example", true},
        OriginCase{"B*K.EXAMPLE", "https://bank.example", true},
        OriginCase{"other.example;BANK.EXAMPLE", "https://bank.example", true},
        OriginCase{"BANK.EXAMPLE", "https://bank.example.evil", false},
        OriginCase{".BANK.EXAMPLE", "https://bank.example", false},
        OriginCase{"d.example.com", "https://d.example.com/:8080", true},
        OriginCase{"d.example.com*", "https://d.example.com/", true},
        // Not URLs at all.
        OriginCase{"d.example.com", "", false}, OriginCase{"d.example.com", "null", false},
        OriginCase{"d.example.com", "file:///d.example.com", false},
        OriginCase{"d.example.com", "ftp://d.example.com", false},
        OriginCase{"d.example.com", "https://d.example.com/path", false},
        OriginCase{"d.example.com", "https://d.example.com:port", false},
        OriginCase{"d.example.com", "https://d.example.com extra", false},
        OriginCase{"*", "https://-d.example.com", false},
        OriginCase{"*", "https://d-.example.com", false},
        OriginCase{"*", "https://d..example.com", false},
        OriginCase{"*", "https://d.example.com.", false},
        OriginCase{"*", "https://d.example.com:", false}, OriginCase{"*", "https://", false},
        OriginCase{"*", "https://d.example.com//", false},
        // No list, no entries: nothing is allowed.
        OriginCase{"", "https://d.example.com", false},
        OriginCase{" ; ;", "https://d.example.com", false}));

TEST_F(UrlCheckTest, OriginThatIsNoUrlIsLogged) {
    setUnlockURL("d.example.com");
    EXPECT_FALSE(checkUnlockDomain(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(checkUnlockDomain("file:///etc/passwd"));
    EXPECT_TRUE(log.contains("[Warning] [Warning] Input domain is not url"));
    EXPECT_FALSE(log.contains("Unlock original domain input: "));
    EXPECT_TRUE(checkUnlockDomain("https://d.example.com"));
    EXPECT_TRUE(log.contains("[Normal] Unlock original domain input: https://d.example.com"));
}

// The matcher recurses per character: an Origin header of many kilobytes must be refused
// before it gets there.
TEST_F(UrlCheckTest, HugeOriginIsRefusedWithoutMatching) {
    std::string origin = "https://";
    for (int i = 0; i < 50000; ++i) origin += "a.";
    origin += "com";
    setUnlockURL(".com");
    EXPECT_FALSE(checkUnlockDomain(origin));
    EXPECT_TRUE(log.contains("Input domain is not url"));
}

TEST_F(UrlCheckTest, InvalidEntryIsAnExceptionNotAnAllowance) {
    setUnlockURL("(d.example.com;ok.com");
    EXPECT_FALSE(checkUnlockDomain("https://ok.com"));
    EXPECT_TRUE(log.contains("[Warning] unlock exception: "));
}

// A page's list is data: whatever it holds, the check ends at once and allows nothing
// when the list is not plain domain patterns within the limits.
struct HostileListCase {
    const char* name;
    std::string list;
    std::string origin;
    const char* warning;
};

std::vector<HostileListCase> hostileLists() {
    const std::string sixtyAs = "https://" + std::string(60, 'a');
    std::string alternations;
    for (int i = 0; i < 30; ++i) alternations += "(a|a)";
    std::string manyEntries;
    for (std::size_t i = 0; i <= kMaxUrlCheckEntries; ++i)
        manyEntries += "a" + std::to_string(i) + ".com;";
    return {
        {"deeply nested brackets", std::string(20000, '(') + "a" + std::string(20000, ')'),
         "https://a", "[Warning] setUnlockURL exception: Url check list too long"},
        {"nested brackets within the length limit",
         std::string(8000, '(') + std::string(8000, ')') + ";a", "https://a",
         "[Warning] unlock exception: Not a domain pattern"},
        {"backtracking alternation", alternations + "b", sixtyAs,
         "[Warning] unlock exception: Not a domain pattern"},
        {"regular expression syntax", "a+.com;ok.com", "https://aa.com",
         "[Warning] unlock exception: Not a domain pattern"},
        {"scheme in an entry", "https://ok.com", "https://ok.com",
         "[Warning] unlock exception: Not a domain pattern"},
        {"entry one over the length limit", std::string(kMaxUrlCheckEntryLength + 1, 'a'),
         "https://" + std::string(kMaxUrlCheckEntryLength + 1, 'a'),
         "[Warning] unlock exception: Not a domain pattern"},
        {"one entry too many", manyEntries, "https://a0.com",
         "[Warning] setUnlockURL exception: Url check list too long"},
        {"list one over the length limit",
         "ok.com;" + std::string(kMaxUrlCheckListLength - 7 + 1, 'a'), "https://ok.com",
         "[Warning] setUnlockURL exception: Url check list too long"},
    };
}

TEST_F(UrlCheckTest, HostileListsAllowNothing) {
    for (const HostileListCase& c : hostileLists()) {
        SCOPED_TRACE(c.name);
        setUnlockURL(c.list);
        EXPECT_FALSE(checkUnlockDomain(c.origin));
        EXPECT_TRUE(log.contains(c.warning));
    }
}

// The largest list within the limits still works: the limits refuse abuse, not use.
TEST_F(UrlCheckTest, ListAtTheLimitsStillMatches) {
    std::string list;
    for (std::size_t i = 1; i < kMaxUrlCheckEntries; ++i)
        list += "*.x" + std::to_string(i) + "*x.com;";
    std::string longest = "*.";
    while (longest.size() + 2 + 6 <= kMaxUrlCheckEntryLength) longest += "a*";
    list += longest + "b.com/";
    ASSERT_LE(list.size(), kMaxUrlCheckListLength);
    setUnlockURL(list);
    const std::string label(62, 'a');
    EXPECT_TRUE(checkUnlockDomain("https://www." + label + "." + label + ".x.aab.com"));
    EXPECT_FALSE(checkUnlockDomain("https://www." + label + ".x.aab.com"));
    EXPECT_TRUE(checkUnlockDomain("https://q.x17yx.com"));
    EXPECT_FALSE(checkUnlockDomain("https://q.x17y.com"));
}

// A verdict belongs to one check: it must not open a later read with another list, an
// empty list, or another origin.
TEST_F(UrlCheckTest, VerdictNeverCarriesOver) {
    setUnlockURL("d.example.com");
    ASSERT_TRUE(checkUnlockDomain("https://d.example.com"));
    EXPECT_FALSE(checkUnlockDomain("https://evil.example.net"));

    ASSERT_TRUE(checkUnlockDomain("https://d.example.com"));
    setUnlockURL("");
    EXPECT_FALSE(isUnlocked());
    EXPECT_TRUE(urlCheckList().empty());
    EXPECT_FALSE(checkUnlockDomain("https://d.example.com"));

    setUnlockURL("d.example.com");
    ASSERT_TRUE(checkUnlockDomain("https://d.example.com"));
    clearUrlCheckList();
    EXPECT_FALSE(checkUnlockDomain("https://d.example.com"));

    setUnlockURL(static_cast<const char*>(nullptr));
    EXPECT_FALSE(checkUnlockDomain("https://d.example.com"));
}

}  // namespace
