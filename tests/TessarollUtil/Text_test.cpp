#include "TessarollUtil/Text.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <span>
#include <string>

#include "doubles/LogCapture/LogCapture.h"

using testing_support::LogCapture;

namespace {

std::string text(std::span<const char> buffer) {
    return std::string(buffer.data());
}

TEST(TextCopy, BoundedCopiesCutAndTerminate) {
    struct Case {
        std::size_t size;
        const char* source;
        const char* expected;
    } cases[] = {
        {8, "truefalse", "truefal"},
        {10, "truefalse", "truefalse"},
        {9, "truefalse", "truefals"},
        {1, "abc", ""},
        {4, "", ""},
        {6, nullptr, "zzzzz"},  // a null source leaves the buffer alone
    };
    for (const auto& c : cases) {
        std::array<char, 16> buffer;
        buffer.fill('z');
        buffer[c.size - 1] = '\0';
        copyString(std::span(buffer.data(), c.size), c.source);
        EXPECT_EQ(text(buffer), c.expected) << c.size << " " << (c.source ? c.source : "(null)");
        EXPECT_EQ(buffer[c.size], 'z') << "wrote past the buffer";
        EXPECT_EQ(cutToBuffer(c.source ? c.source : "zzzzz", c.size), c.expected);
    }
    copyString(std::span<char>(), "abc");  // an empty buffer stays untouched
    EXPECT_EQ(cutToBuffer("abc", 0), "");

    std::array<char16_t, 4> wide{};
    copyWideString(wide, u"abcdef");
    EXPECT_EQ(std::u16string(wide.data()), u"abc");
}

TEST(TextCopy, CopyAndFreeEmptiesTheSource) {
    std::array<char, 4> buffer{};
    std::string secret = "PIN12345";
    copyAndFreeString(buffer, secret);
    EXPECT_EQ(text(buffer), "PIN");
    EXPECT_TRUE(secret.empty());

    std::optional<std::string> held = std::string("key");
    copyAndFreeString(buffer, held);
    EXPECT_FALSE(held);
    std::optional<std::string> none;
    copyAndFreeString(buffer, none);
    EXPECT_EQ(text(buffer), "key");

    std::array<char16_t, 8> wide{};
    std::optional<std::u16string> wideHeld = std::u16string(u"wide");
    copyAndFreeWideString(wide, wideHeld);
    EXPECT_EQ(std::u16string(wide.data()), u"wide");
    EXPECT_FALSE(wideHeld);
}

TEST(TextHeap, SafeCallocRefusesSizesSilentlyAndZeroes) {
    LogCapture log;
    log.take();  // the set-up lines
    EXPECT_EQ(safeCalloc(0), nullptr);
    EXPECT_EQ(safeCalloc(0x80000000u), nullptr);
    EXPECT_TRUE(log.take().empty());

    auto* block = static_cast<unsigned char*>(safeCalloc(64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0);
    std::free(block);

    EXPECT_FALSE(duplicateString(nullptr));
    EXPECT_EQ(duplicateString("x"), "x");
    EXPECT_TRUE(log.take().empty());  // null into duplicateString is no warning
    EXPECT_FALSE(duplicateWideString(nullptr));
    EXPECT_TRUE(log.contains("Parameter input is null at"));
    EXPECT_EQ(duplicateWideString(u"w"), u"w");
}

TEST(TextNumbers, ConversionsSetTheProcessWideError) {
    struct Case {
        const char* text;
        bool digitsOnly;
        int32_t value;
        int32_t error;
    } cases[] = {
        {"-12", true, -12, 0},
        {"1-2", true, 0, kConversionNotANumber},
        {"12a", true, 0, kConversionNotANumber},
        {"12a", false, 12, 0},
        {" 42", false, 42, 0},
        {" 42", true, 0, kConversionNotANumber},
        {"", true, 0, kConversionNotANumber},
        {"-", true, 0, kConversionNotANumber},
        {"abc", false, 0, kConversionNotANumber},
        {"2147483647", true, INT32_MAX, 0},
        {"-2147483648", true, INT32_MIN, 0},
        {"2147483648", true, 0, kConversionNotANumber},
        {"-2147483649", false, 0, kConversionNotANumber},
        {"99999999999999999999999", false, 0, kConversionNotANumber},
        {nullptr, true, 0, kConversionNullInput},
        {nullptr, false, 0, kConversionNullInput},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        lastConversionError = 12345;  // every conversion starts afresh
        EXPECT_EQ(stringToLong(c.text, c.digitsOnly), c.value);
        EXPECT_EQ(lastConversionError.load(), c.error);
        EXPECT_EQ(lastConversionFailed(), c.error != 0);
    }
    EXPECT_EQ(stringToLong(std::string("77"), true), 77);

    struct HexCase {
        const char* text;
        int32_t value;
        int32_t error;
    } hexCases[] = {
        {"ff", 255, 0},
        {"0x1A", 26, 0},
        {"7FFFFFFF", INT32_MAX, 0},
        {"80000000", 0, kConversionNotANumber},
        {"zz", 0, kConversionNotANumber},
        {"10g", 16, 0},
        {nullptr, 0, kConversionNullInput},
    };
    for (const auto& c : hexCases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(hexStringToLong(c.text), c.value);
        EXPECT_EQ(lastConversionError.load(), c.error);
    }
}

TEST(TextReplace, ReplaceAllWorksLeftToRightWithoutOverlap) {
    struct Case {
        const char* text;
        const char* pattern;
        const char* replacement;
        const char* expected;
    } cases[] = {
        {"a*b*c", "*", "\\", "a\\b\\c"},
        {"no match", "*", "x", "no match"},
        {"aaa", "aa", "b", "ba"},
        {"*a*", "*", "", "a"},
        {"%2B%2B", "%2B", "+", "++"},
        {"ab", "b", "bbb", "abbb"},
        {"", "x", "y", ""},
        {"keep", "", "y", "keep"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(replaceAll(c.text, c.pattern, c.replacement), c.expected) << c.text;

    EXPECT_EQ(removeExeExtension("ZEFAGPKITessarollMain.exe"), "ZEFAGPKITessarollMain");
    EXPECT_EQ(removeExeExtension("C:/x.exe/Setup.exe.exe"), "C:/x/Setup");
    EXPECT_EQ(removeExeExtension("SETUP.EXE"), "SETUP.EXE");
}

TEST(TextBase64, EncodesWithPadding) {
    struct Case {
        std::string bytes;
        const char* encoded;
    } cases[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {"abcd", "YWJjZA=="},
        {"\xff\xfe", "//4="},
        {std::string("\0\0\0", 3), "AAAA"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(base64EncodeText(c.bytes), c.encoded);
        std::array<char, 16> buffer;
        buffer.fill('z');
        std::size_t result = base64Encode(
            buffer,
            std::span(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()));
        EXPECT_EQ(result, std::string(c.encoded).size() + 1);
        EXPECT_EQ(text(buffer), c.encoded);
    }
    std::array<char, 4> small{};
    const unsigned char three[] = {1, 2, 3};
    EXPECT_EQ(base64Encode(small, three), 0u);  // needs 5 bytes
}

TEST(TextBase64, UrlEscapedDecodeStopsOutsideTheAlphabet) {
    struct Case {
        const char* input;
        std::string decoded;
    } cases[] = {
        {"YWJj%3D", "abc"},
        {"YWJj", "abc"},
        {"YW Jj", "a"},
        {"YWI%3D", "ab"},
        {"YQ", "a"},
        {"Y", ""},
        {"%2B%2F8%3D", "\xfb\xff"},
        {"%2b%2F8", ""},  // only the upper-case escapes are turned back
        {"YW-J", "a"},
        {"YW\nJj", "a"},
        {"AGI=", ""},  // the text ends at the zero byte
        {"", ""},
    };
    // Decoded over itself, the text holds the same at its start.
    auto inPlace = [](std::string text) {
        text.resize(urlBase64DecodeInPlace(std::span(text.data(), text.size())));
        return text;
    };
    for (const auto& c : cases) {
        EXPECT_EQ(urlBase64Decode(c.input), c.decoded) << c.input;
        EXPECT_EQ(inPlace(c.input), c.decoded) << c.input;
    }
    const std::string sample = "{\"FunctionName\":\"GPKI_SignData\",\"Data\":\"a+b/c=?\"}";
    const std::string field =
        replaceAll(replaceAll(base64EncodeText(sample), "=", "%3D"), "+", "%2B");
    EXPECT_EQ(urlBase64Decode(field), sample);
    EXPECT_EQ(inPlace(field), sample);
}

TEST(TextJson, UnescapeTurnsBackOnlyTheSevenEscapes) {
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {"a\\nb", "a\nb"},
        {"\\r\\t", "\r\t"},
        {"\\u000f\\u000e\\u001b", "\x0f\x0e\x1b"},
        {"say \\\"hi\\\"", "say \"hi\""},
        {"\\\\n", "\\\n"},  // the order of the replacements shows here
        {"\\/ \\\\ \\u0041 \\b", "\\/ \\\\ \\u0041 \\b"},
        {"\\U000F", "\\U000F"},
    };
    for (const auto& c : cases) EXPECT_EQ(unescapeJsonText(c.input), c.expected) << c.input;
}

// Texts made of escapes, their pieces and backslashes read as the seven replacements one
// after another read them, and the URL escapes of a form field likewise.
TEST(TextJson, OnePassReadsAsTheReplacementsInTurn) {
    const char* const jsonPieces[] = {"\\",    "r",     "n",   "t", "\"", "u000f",
                                      "u000e", "u001b", "u00", "x", "\\u"};
    const char* const fieldPieces[] = {"%", "2B", "2F", "3D", "%2", "QU", "Jj", "=", "+", "/", "Z"};
    auto inTurn = [](std::string text,
                     const std::vector<std::pair<std::string, std::string>>& replacements) {
        for (const auto& [from, to] : replacements) text = replaceAll(text, from, to);
        return text;
    };
    const std::vector<std::pair<std::string, std::string>> json = {
        {"\\r", "\r"},       {"\\n", "\n"},       {"\\t", "\t"}, {"\\u000f", "\x0f"},
        {"\\u000e", "\x0e"}, {"\\u001b", "\x1b"}, {"\\\"", "\""}};
    const std::vector<std::pair<std::string, std::string>> field = {
        {"%2B", "+"}, {"%2F", "/"}, {"%3D", "="}};
    uint32_t seed = 12345;
    auto next = [&seed](std::size_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    for (int round = 0; round < 3000; ++round) {
        std::string jsonText;
        std::string fieldText;
        for (std::size_t n = 1 + next(8); n > 0; --n) {
            jsonText += jsonPieces[next(std::size(jsonPieces))];
            fieldText += fieldPieces[next(std::size(fieldPieces))];
        }
        EXPECT_EQ(unescapeJsonText(jsonText), inTurn(jsonText, json)) << jsonText;
        const std::string unescaped = inTurn(fieldText, field);
        std::string decodable = unescaped.substr(
            0, unescaped.find_first_not_of(
                   "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"));
        EXPECT_EQ(urlBase64Decode(fieldText), urlBase64Decode(decodable)) << fieldText;
        std::string overItself = fieldText;
        overItself.resize(urlBase64DecodeInPlace(std::span(overItself.data(), overItself.size())));
        EXPECT_EQ(overItself, urlBase64Decode(fieldText)) << fieldText;
    }
}

TEST(TextPadding, RightAlignedFields) {
    EXPECT_EQ(alignRight16("abc"), std::string(13, ' ') + "abc");
    EXPECT_EQ(alignRight16(""), std::string(16, ' '));
    EXPECT_EQ(alignRight16("0123456789abcdef"), "0123456789abcdef");
    EXPECT_EQ(alignRight16("0123456789abcdefXY"), "23456789abcdefXY");
    EXPECT_EQ(padLeft("7", 2, '0'), "07");
    EXPECT_EQ(padLeft("12", 2, '0'), "12");
    EXPECT_EQ(padLeft("", 2, '0'), "00");
}

TEST(TextVersion, ComparesPartByPart) {
    struct Case {
        const char* a;
        const char* b;
        int32_t result;
    } cases[] = {
        {"1.0.23.0510", "1.0.23.0510", 0},
        {"1.0.23.0510", "1.0.23.510", 0},
        {"1.0.9", "1.0.10", -1},
        {"1.2", "1.10", -1},
        {"2 .0", "1.9", 1},
        {"1,0,3", "1.0.2", 1},
        {"1.0", "1.0.0", 3},
        {"1.0a", "1.0b", 2},
        {"1.x", "1.x", 0},
        {"1.2", "1.x", 2},
        {"1..2", "1.0.2", kVersionEmptyPart},
        {"1.0.", "1.0.1", kVersionEmptyPart},
        {"", "", 0},
        {" ", "", 0},
        {nullptr, "1.0", kVersionUncomparable},
        {"1.0", nullptr, kVersionUncomparable},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareVersion(c.a, c.b), c.result)
            << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
    }
    EXPECT_EQ(compareVersion(std::string("1.0.24"), "1.0.23.0510"), 3);
}

TEST(TextVersion, WarnsAboutNullsAndTextParts) {
    LogCapture log;
    compareVersion(nullptr, "1");
    EXPECT_TRUE(log.contains("[Warning] Parameter inputVersionA is null at "));
    compareVersion("1", nullptr);
    EXPECT_TRUE(log.contains("[Warning] Parameter inputVersionB is null at "));
    log.take();
    EXPECT_EQ(compareVersion("1.0a", "1.0b"), 2);
    auto lines = log.take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("[Warning] Version check: String compare mode"), std::string::npos);
    EXPECT_NE(lines[1].find("[Warning]  - Version A: 0a"), std::string::npos);
    EXPECT_NE(lines[2].find("[Warning]  - Version B: 0b"), std::string::npos);
    EXPECT_EQ(compareVersion("1.2", "1.2x"), 2);  // B not a number and different: warned too
    EXPECT_EQ(log.take().size(), 3u);
    EXPECT_EQ(compareVersion("1.2", "1.2"), 0);
    EXPECT_TRUE(log.take().empty());
}

TEST(TextSmall, PrefixSubstringCaseAndDisplayName) {
    EXPECT_TRUE(isPrefix(nullptr, "abc"));
    EXPECT_TRUE(isPrefix("ab", "abc"));
    EXPECT_TRUE(isPrefix("", "abc"));
    EXPECT_FALSE(isPrefix("abc", "ab"));
    EXPECT_FALSE(isPrefix("B", "abc"));
    EXPECT_TRUE(isPrefix(std::string("localhost:"), std::string("localhost:56482")));
    {
        LogCapture log;
        EXPECT_FALSE(isPrefix("a", nullptr));
        EXPECT_TRUE(log.contains("Parameter inputMainString is null at "));
    }

    EXPECT_EQ(subString("0123456789", 3, 7), "3456");
    EXPECT_EQ(subString("0123", 2, 10), "23");
    EXPECT_EQ(subString("0123", 8, 10), "");
    EXPECT_FALSE(subString("0123", 2, 2));
    EXPECT_FALSE(subString("0123", 3, 1));

    EXPECT_EQ(toLowerString("AbC-Z_\xc3\x84"), "abc-z_\xc3\x84");  // only A to Z
    EXPECT_TRUE(equalsIgnoringCase("Keep-Alive", "keep-ALIVE"));
    EXPECT_TRUE(equalsIgnoringCase("", ""));
    EXPECT_FALSE(equalsIgnoringCase("true", "true "));
    // Only A to Z fold: bytes 32 apart that are not letters stay apart.
    EXPECT_FALSE(equalsIgnoringCase("@[\\]^", "`{|}~"));
    EXPECT_FALSE(equalsIgnoringCase("\xc3\x84", "\xc3\xa4"));
    EXPECT_TRUE(startsWithIgnoringCase("HTTPS://Page.example", "https://"));
    EXPECT_FALSE(startsWithIgnoringCase("http:", "http://"));

    EXPECT_TRUE(endsWithDisplayName("/opt/DisplayName.txt"));
    EXPECT_TRUE(endsWithDisplayName("XDisplayName.txt"));
    EXPECT_TRUE(endsWithDisplayName("DisplayName.txt"));
    EXPECT_FALSE(endsWithDisplayName("Name.txt"));
    EXPECT_FALSE(endsWithDisplayName("xDisplayname.txt"));
    EXPECT_FALSE(endsWithDisplayName("DisplayName.txt.bak"));
}

TEST(TextSplit, PiecesIncludingEmptyOnes) {
    using Pieces = std::vector<std::string>;
    struct Case {
        const char* text;
        const char* delimiter;
        Pieces array;
        Pieces pieces;
    } cases[] = {
        {"a", ",", {"a"}, {"a"}},
        {",", ",", {"", ""}, {""}},
        {"a,,b", ",", {"a", "", "b"}, {"a", "", "b"}},
        {"a,b,", ",", {"a", "b", ""}, {"a", "b"}},
        {",a", ",", {"", "a"}, {"", "a"}},
        {"https://x.test/p", "/", {"https:", "", "x.test", "p"}, {"https:", "", "x.test", "p"}},
        {"a\r\nb\r\n", "\r\n", {"a", "b", ""}, {"a", "b"}},
        {"", ",", {}, {}},
        {"abc", "", {}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(splitToArray(c.text, c.delimiter), c.array) << c.text;
        EXPECT_EQ(splitString(c.text, c.delimiter), c.pieces) << c.text;
    }
}

TEST(TextHex, DecodesPairsHighNibbleFirst) {
    using Bytes = std::vector<unsigned char>;
    EXPECT_EQ(hexToBytes("0aFf7"), (Bytes{0x0A, 0xFF}));
    EXPECT_EQ(hexToBytes("zz"), (Bytes{0x00}));
    EXPECT_EQ(hexToBytes("1g"), (Bytes{0x10}));
    EXPECT_EQ(hexToBytes(""), Bytes{});
    EXPECT_EQ(hexToBytes("0123456789abcdef"),
              (Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
}

struct BstrDeleter {
    void operator()(OLECHAR* text) const { SysFreeString(text); }
};
using BstrPtr = std::unique_ptr<OLECHAR, BstrDeleter>;

TEST(TextBstr, ConversionsKeepNullEmptyAndTextApart) {
    EXPECT_FALSE(bstrToUtf8(nullptr));
    BstrPtr empty(SysAllocStringLen(nullptr, 0));
    EXPECT_FALSE(bstrToUtf8(empty.get()));  // an empty text never comes back as ""

    BstrPtr word(utf8ToBstr("\xe4\xb8\xad\xe6\x96\x87 ok"));
    ASSERT_TRUE(word);
    EXPECT_EQ(SysStringLen(word.get()), 5u);
    EXPECT_EQ(std::u16string(word.get(), 5), u"\u4e2d\u6587 ok");
    EXPECT_EQ(bstrToUtf8(word.get()), "\xe4\xb8\xad\xe6\x96\x87 ok");

    EXPECT_EQ(utf8ToBstr(nullptr), nullptr);
    BstrPtr fromEmpty(utf8ToBstr(""));
    ASSERT_TRUE(fromEmpty);
    EXPECT_EQ(SysStringLen(fromEmpty.get()), 0u);

    BstrPtr withZero(utf8ToBstr(std::string_view("a\0b", 3)));
    EXPECT_EQ(SysStringLen(withZero.get()), 3u);
}

TEST(TextBstr, MonitorConversionsFollowTheLibraryCodePage) {
    const char* big5 = "\xa4\xa4\xa4\xe5";
    BstrPtr wide(multiByteToWide(big5, 4, kCodePageBig5));
    ASSERT_TRUE(wide);
    EXPECT_EQ(std::u16string(wide.get(), SysStringLen(wide.get())), u"\u4e2d\u6587");
    EXPECT_EQ(bstrToMultiByte(wide.get(), kCodePageBig5), big5);
    EXPECT_EQ(multiByteToWide(nullptr, 0, kCodePageUtf8), nullptr);
    EXPECT_EQ(multiByteToWide("x", 1, 1252), nullptr);
    BstrPtr partial(multiByteToWide("abc", 2, kCodePageUtf8));
    EXPECT_EQ(std::u16string(partial.get(), SysStringLen(partial.get())), u"ab");

    ASSERT_EQ(libraryCodePage.load(), kCodePageUtf8);
    EXPECT_EQ(bstrToText(wide.get()), "\xe4\xb8\xad\xe6\x96\x87");
    libraryCodePage = kCodePageBig5;
    EXPECT_EQ(bstrToText(wide.get()), big5);
    BstrPtr back(multiByteToBstr(big5));
    libraryCodePage = kCodePageUtf8;
    EXPECT_EQ(std::u16string(back.get(), SysStringLen(back.get())), u"\u4e2d\u6587");
}

}  // namespace
