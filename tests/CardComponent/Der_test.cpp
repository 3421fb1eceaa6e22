// The small DER reader and writer under the extension readers and the enveloped data.
#include "CardComponent/Der.h"
#include "CardComponent/CardErrors.h"
#include "CardComponent/Certificate.h"

#include <gtest/gtest.h>

using namespace card;

TEST(Der, OidTextRoundTrips) {
    for (const char* oid : {"1.2.840.113549.1.7.3", "2.5.29.9", "2.16.840.1.101.3.4.1.42",
                            "1.3.6.1.4.1.59999.1.1", "2.999.1"}) {
        std::string content = der::oidFromText(oid);
        ASSERT_FALSE(content.empty()) << oid;
        EXPECT_EQ(der::oidToText(content), oid);
    }
    for (const char* bad : {"", "1", "1.2.x", "3.1"}) EXPECT_EQ(der::oidFromText(bad), "") << bad;
}

TEST(Der, LengthsAndTruncatedInput) {
    std::string big(300, 'x');
    std::string encoded = der::tlv(0x04, big);
    EXPECT_EQ(encoded.substr(0, 4), std::string("\x04\x82\x01\x2c", 4));
    std::string_view in = encoded;
    auto e = der::next(in);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->content, big);
    EXPECT_TRUE(in.empty());
    // Every truncation of a valid element, and lengths that point past the end, are refused.
    for (size_t n = 0; n < encoded.size(); ++n) {
        std::string_view cut(encoded.data(), n);
        EXPECT_FALSE(der::next(cut)) << n;
    }
    for (std::string bad : {std::string("\x30\x85\x01\x01\x01\x01\x01", 7),
                            std::string("\x30\x80", 2), std::string("\x1f\x01\x00", 3)}) {
        std::string_view v = bad;
        EXPECT_FALSE(der::next(v));
    }
    EXPECT_EQ(der::integer(0x80), std::string("\x02\x02\x00\x80", 4));
    EXPECT_EQ(der::integer(0), std::string("\x02\x01\x00", 3));
}

TEST(Base64, DecodesWithWhitespaceAndUrlAlphabetAndRefusesGarbage) {
    EXPECT_EQ(base64Decode("aGVs\nbG8=\r\n"), "hello");
    EXPECT_EQ(base64Decode("-_8"), "\xfb\xff");
    EXPECT_EQ(base64Decode(base64Encode(std::string("\0\1\2", 3))), std::string("\0\1\2", 3));
    EXPECT_THROW(base64Decode("@@@@"), CardError);
}
