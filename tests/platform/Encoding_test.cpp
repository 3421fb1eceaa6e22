#include "platform/Encoding.h"

#include <gtest/gtest.h>

#include "platform/ComBstr.h"

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

// Every way into UTF-16 and back follows one rule: the conversion itself and the BSTR
// holder, which the adapter, the component and the service use.
TEST(Encoding, IllFormedInputBecomesReplacementCharactersEverywhere) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"a\xff"
         "b",
         u"a\uFFFDb"},
        {"a\xc3", u"a\uFFFD"},  // cut at the end
        {"\xe4\xb8"
         "x",
         u"\uFFFDx"},  // cut before a plain byte: one character
        {"\xe2\x82"
         "A\xe2\x82\xac",
         u"\uFFFDA\u20ac"},
        {"\xc0\xaf", u"\uFFFD\uFFFD"},                      // overlong "/"
        {"\xe0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},            // overlong NUL
        {"\xed\xa0\x80x", u"\uFFFD\uFFFD\uFFFDx"},          // an encoded surrogate
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xf0\x9f\x94", u"\uFFFD"},                        // a cut four-byte sequence
        {"\x80\xbf", u"\uFFFD\uFFFD"},                      // continuation bytes alone
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16);
        _bstr_t held{std::string_view(c.utf8)};
        EXPECT_EQ(std::u16string(held.GetBSTR(), held.length()), c.utf16);
    }

    const std::pair<std::u16string, std::string> lone[] = {
        {u"x\xD800y", "x\xef\xbf\xbdy"},
        {u"\xDC00", "\xef\xbf\xbd"},
        {u"\xDC00\xD800", "\xef\xbf\xbd\xef\xbf\xbd"},  // the wrong order is no pair
        {u"\xD800", "\xef\xbf\xbd"},
        {u"\u20ac\U0001D11E", "\xe2\x82\xac\xf0\x9d\x84\x9e"},
    };
    for (const auto& [utf16, utf8] : lone) {
        SCOPED_TRACE(utf8);
        EXPECT_EQ(utf16ToUtf8(utf16), utf8);
        _bstr_t held(SysAllocStringLen(utf16.data(), uint32_t(utf16.size())), false);
        EXPECT_STREQ(held.c_str(), utf8.c_str());
    }
}

TEST(Encoding, CodePage950WritesOneQuestionMarkPerMissingCharacter) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"a\U0001F511b", "a?b"},  // a pair the code page lacks
        {u"a\xD800"
         "b\xDC00",
         "a?b?"},  // lone surrogates: the next character stays
        {u"\xD800\xD800\U0001F511", "???"},
        {u"\xD800", "?"},
        {u"\u4e2d\xDC00\u6587", "\xa4\xa4?\xa4\xe5"},
    };
    for (const auto& [wide, big5] : cases)
        EXPECT_EQ(utf16ToCodePage(wide, kCodePageBig5), big5) << big5;
}

TEST(Encoding, CodePage950IsBig5) {
    const std::string big5 = "\xa4\xa4\xa4\xe5 OK";
    const std::u16string wide = u"\u4e2d\u6587 OK";
    EXPECT_EQ(codePageToUtf16(big5, kCodePageBig5), wide);
    EXPECT_EQ(utf16ToCodePage(wide, kCodePageBig5), big5);
    EXPECT_EQ(codePageToUtf16("", kCodePageBig5), u"");
    // A byte that starts no character is read as U+FFFD.
    EXPECT_EQ(codePageToUtf16("a\xff"
                              "b",
                              kCodePageBig5),
              u"a\uFFFDb");
    EXPECT_EQ(codePageToUtf16("a\xa4 b", kCodePageBig5), u"a\uFFFD b");
    EXPECT_EQ(codePageToUtf16("\xa4", kCodePageBig5), u"\uFFFD");

    EXPECT_EQ(codePageToUtf16("\xc3\xa9", kCodePageUtf8), u"\u00e9");
    EXPECT_FALSE(codePageToUtf16("x", 1252));
    EXPECT_FALSE(utf16ToCodePage(u"x", 1252));
}

}  // namespace
