#include "platform/Encoding.h"

#include <gtest/gtest.h>

namespace {

TEST(Encoding, Utf8AndUtf16RoundTrip) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"", u""},
        {"plain ASCII", u"plain ASCII"},
        {"\xe4\xb8\xad\xe6\x96\x87 caf\xc3\xa9", u"\u4e2d\u6587 caf\u00e9"},
        {"\xf0\x9f\x94\x91", u"\U0001F511"},  // beyond the BMP: a surrogate pair
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(utf16ToUtf8(c.utf16), c.utf8) << c.utf8;
    }
}

TEST(Encoding, IllFormedInputBecomesReplacementCharacters) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"a\xff" "b", u"a\uFFFDb"},
        {"\xc3", u"\uFFFD"},                 // cut at the end
        {"\xe4\xb8" "x", u"\uFFFDx"},        // cut before a plain byte
        {"\xc0\xaf", u"\uFFFD\uFFFD"},                   // overlong "/"
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},         // an encoded surrogate
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xf0\x9f\x94", u"\uFFFD"},                     // a cut four-byte sequence
    };
    for (const auto& c : cases) EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16);
    EXPECT_EQ(utf16ToUtf8(u"x\xD800y"), "x\xef\xbf\xbdy");
    EXPECT_EQ(utf16ToUtf8(u"\xDC00"), "\xef\xbf\xbd");
}

TEST(Encoding, CodePage950IsBig5) {
    const std::string big5 = "\xa4\xa4\xa4\xe5 OK";
    const std::u16string wide = u"\u4e2d\u6587 OK";
    EXPECT_EQ(codePageToUtf16(big5, kCodePageBig5), wide);
    EXPECT_EQ(utf16ToCodePage(wide, kCodePageBig5), big5);
    EXPECT_EQ(codePageToUtf16("", kCodePageBig5), u"");
    // A character the code page lacks is written as "?", a byte that starts none is read as U+FFFD.
    EXPECT_EQ(utf16ToCodePage(u"a\U0001F511b", kCodePageBig5), "a?b");
    EXPECT_EQ(codePageToUtf16("a\xff" "b", kCodePageBig5), u"a\uFFFDb");
    EXPECT_EQ(codePageToUtf16("a\xa4 b", kCodePageBig5), u"a\uFFFD b");
    EXPECT_EQ(codePageToUtf16("\xa4", kCodePageBig5), u"\uFFFD");

    EXPECT_EQ(codePageToUtf16("\xc3\xa9", kCodePageUtf8), u"\u00e9");
    EXPECT_FALSE(codePageToUtf16("x", 1252));
    EXPECT_FALSE(utf16ToCodePage(u"x", 1252));
}

}  // namespace
