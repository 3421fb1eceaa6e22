// The administrator's origin list as the unlock reads it: the form origins are compared
// in, and the verdicts for a real file in the sandbox's system folder.
#include <gtest/gtest.h>

#include "AdapterProject/OriginAllowList.h"
#include "helpers/Sandbox.h"

namespace fs = std::filesystem;
using testing_support::Sandbox;

namespace {

TEST(CanonicalOrigin, SchemeAndHostLowerCasedDefaultPortDropped) {
    const std::pair<const char*, const char*> valid[] = {
        {"https://pages.example.com", "https://pages.example.com"},
        {"HTTPS://Pages.Example.COM", "https://pages.example.com"},
        {"https://pages.example.com:443", "https://pages.example.com"},
        {"https://pages.example.com:0443", "https://pages.example.com"},
        {"http://pages.example.com:80", "http://pages.example.com"},
        {"http://pages.example.com:443", "http://pages.example.com:443"},
        {"https://pages.example.com:80", "https://pages.example.com:80"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
        {"https://[::1]:8443", "https://[::1]:8443"},
        {"https://[FE80::1]", "https://[fe80::1]"},
        {"https://xn--bcher-kva.example", "https://xn--bcher-kva.example"},
    };
    for (const auto& [origin, canonical] : valid)
        EXPECT_EQ(canonicalOrigin(origin), canonical) << origin;

    const char* const invalid[] = {
        "",
        "pages.example.com",
        "https:/pages.example.com",
        "httpx://pages.example.com",
        "ftp://pages.example.com",
        "https://",
        "https://pages.example.com/",
        "https://pages.example.com/path",
        "https://pages.example.com?q",
        "https://pages.example.com#f",
        "https://user@pages.example.com",
        "https://pages.example.com:",
        "https://pages.example.com:0",
        "https://pages.example.com:65536",
        "https://pages.example.com:+443",
        "https://pages.example.com:44a",
        "https://pages.example.com:1:2",
        "https://pages example.com",
        " https://pages.example.com",
        "https://a.example, https://b.example",
        "https://[::1",
        "https://[]",
        "https://[::1]x",
        "https://[g::1]",
        "https://\xc3\xa9.example",
        "null",
    };
    for (const char* origin : invalid) EXPECT_EQ(canonicalOrigin(origin), std::nullopt) << origin;
}

class AllowedOrigins : public ::testing::Test {
protected:
    Sandbox sandbox;
    fs::path file() const { return sandbox.windowsDir() / "ZEFAGPKI/allowed-origins"; }
};

TEST_F(AllowedOrigins, TheFileIsInTheSystemFolder) {
    EXPECT_EQ(fs::path(allowedOriginsPath()), file());
}

TEST_F(AllowedOrigins, WithoutTheFileEveryPageMay) {
    for (const char* origin :
         {"https://pages.example.com", "https://evil.example", "not an origin"})
        EXPECT_TRUE(originMayUseCard(std::string(origin))) << origin;
    EXPECT_TRUE(originMayUseCard(std::nullopt));
}

TEST_F(AllowedOrigins, WithTheFileOnlyTheListedOriginsMay) {
    testing_support::writeFile(file(),
                               "# origins that may use the card\n"
                               "HTTPS://Pages.Example.COM:443\r\n"
                               "   http://intranet.example:8080   # the tools\n"
                               "\n"
                               "https://pages.example.com/path\n"  // not an origin: ignored
                               "*.example.org\n");
    const std::pair<const char*, bool> cases[] = {
        {"https://pages.example.com", true},
        {"https://PAGES.example.com:443", true},
        {"http://intranet.example:8080", true},
        {"http://pages.example.com", false},        // another scheme
        {"https://pages.example.com:8443", false},  // another port
        {"https://intranet.example:8080", false},
        {"http://intranet.example", false},
        {"https://sub.pages.example.com", false},  // no patterns: origins compare exactly
        {"https://pages.example.com.evil.example", false},
        {"https://pages.example.com/path", false},
        {"https://a.example.org", false},
        {"", false},
    };
    for (const auto& [origin, allowed] : cases)
        EXPECT_EQ(originMayUseCard(std::string(origin)), allowed) << origin;
    EXPECT_FALSE(originMayUseCard(std::nullopt)) << "a page without an origin";
}

TEST_F(AllowedOrigins, AFileThatListsNothingOrCannotBeReadAllowsNothing) {
    testing_support::writeFile(file(), "# nobody for now\n");
    EXPECT_FALSE(originMayUseCard(std::string("https://pages.example.com")));
    fs::remove(file());
    fs::create_directories(file());  // there, but not a file that can be read
    EXPECT_FALSE(originMayUseCard(std::string("https://pages.example.com")));
}

}  // namespace
