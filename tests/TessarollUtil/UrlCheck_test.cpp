#include "TessarollUtil/UrlCheck.h"

#include "LogCapture.h"

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
    EXPECT_EQ(urlCheckList(), (std::vector<std::string>{R"(d\.example\.com)", R"(\S*\.e\.org)", R"(f\.net\.\S*)"}));
    std::vector<std::string> logged;
    for (const std::string& line : log.lines()) {
        if (const auto at = line.find("Url check list: "); at != std::string::npos) logged.push_back(line.substr(at + 16));
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
        OriginCase{".e.org", "https://e.org", false},
        OriginCase{".e.org", "https://ae.org", false},
        // A trailing dot: anything after.
        OriginCase{"f.net.", "https://f.net.tw", true},
        OriginCase{"f.net.", "https://f.net", false},
        // Several entries, and addresses.
        OriginCase{"a.com;b.com", "https://b.com", true},
        OriginCase{"a.com;b.com", "https://c.com", false},
        OriginCase{"127.0.0.1", "https://127.0.0.1:56482", true},
        OriginCase{"127.0.0.1", "https://127.0.0.2", false},
        // Not URLs at all.
        OriginCase{"d.example.com", "", false},
        OriginCase{"d.example.com", "null", false},
        OriginCase{"d.example.com", "file:///d.example.com", false},
        OriginCase{"d.example.com", "ftp://d.example.com", false},
        OriginCase{"d.example.com", "https://d.example.com/path", false},
        OriginCase{"d.example.com", "https://d.example.com:port", false},
        OriginCase{"d.example.com", "https://d.example.com extra", false},
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
