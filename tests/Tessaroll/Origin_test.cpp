// What counts as a page's origin: the forms a browser sends pass unchanged, anything a
// hostile client could smuggle past a prefix check does not.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Tessaroll/Origin.h"

namespace {

TEST(OriginTest, OnlyBareHttpOriginsAreOrigins) {
    const char* valid[] = {
        "https://localhost:8443",
        "http://localhost",
        "https://example.com",
        "https://sub.example-site.co.uk",
        "https://example.com.",
        "http://127.0.0.1:56482",
        "https://xn--bcher-kva.example",
        "https://[::1]:8443",
        "https://[::1]",
        "https://[2001:db8::8a2e:370:7334]",
        "https://[::ffff:127.0.0.1]:1",
        "https://a:65535",
    };
    for (const char* text : valid)
        EXPECT_EQ(validOrigin(text), std::optional<std::string>(text)) << text;

    const std::string invalid[] = {
        "",
        "null",
        "httpx://evil",
        "ftp://example.com",
        "https:/example.com",
        "https//example.com",
        "https://",
        "https://evil.example/path",
        "https://evil.example/",
        "https://evil.example?x",
        "https://evil.example#x",
        "https://a.example, https://b.example",
        "https://a.example https://b",
        "https://user@good.example",
        "https://good.example@evil.example",
        "https://evil.example:",
        "https://evil.example:0",
        "https://evil.example:65536",
        "https://evil.example:08443",
        "https://evil.example:84a",
        "https://-evil.example",
        "https://evil-.example",
        "https://evil..example",
        "https://.evil.example",
        "https://evil_example.com",
        "https://evil.example\r\nX: 1",
        " https://evil.example",
        "https://evil.example ",
        "https://%65vil.example",
        "https://[::1",
        "https://[::1]x",
        "https://[::1]:",
        "https://[1:2:3:4:5:6:7:8:9]",
        "https://[1::2::3]",
        "https://[fe80::1%25eth0]",
        "https://[:1]",
        "https://[1:]",
        "https://[g::1]",
        "https://" + std::string(64, 'a') + ".example",
    };
    for (const auto& text : invalid) EXPECT_EQ(validOrigin(text), std::nullopt) << text;
}

TEST(OriginTest, RefererGivesItsSchemeHostAndPortOnly) {
    struct Case {
        const char* url;
        std::optional<std::string> origin;
    };
    const Case cases[] = {
        {"https://localhost:8443/app/page.html", "https://localhost:8443"},
        {"https://localhost:8443", "https://localhost:8443"},
        {"https://example.com?q=1", "https://example.com"},
        {"https://example.com#top", "https://example.com"},
        {"http://[::1]:8080/a/b?c#d", "http://[::1]:8080"},
        {"https://user:pw@example.com/", std::nullopt},
        {"https://evil.example/pa th", std::nullopt},
        {"https://evil.example/\x7f", std::nullopt},
        {"httpx://evil/", std::nullopt},
        {"about:blank", std::nullopt},
        {"null", std::nullopt},
        {"//example.com/", std::nullopt},
        {"https://a.example, https://b.example/", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(originOfUrl(c.url), c.origin) << c.url;
}

}  // namespace
