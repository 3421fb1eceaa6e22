#include "TessarollUtil/AesText.h"
#include "TessarollUtil/Crypto.h"

#include "doubles/LogCapture/LogCapture.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using testing_support::LogCapture;
using Bytes = std::vector<uint8_t>;

constexpr std::array<uint8_t, 32> kKey = {
    0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81,
    0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
constexpr std::array<uint8_t, 16> kIv = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// The engine's own padded CBC over raw bytes, the way a page without our prefix encrypts.
Bytes encryptRaw(std::string_view plain, std::span<const uint8_t, 32> key = kKey) {
    CipherContext context;
    Bytes out(plain.size() + 16);
    std::size_t produced = 0, last = 0;
    EXPECT_EQ(cipherInit(context, kMechanismAesCbcPad, key, kIv, false), kCipherOk);
    EXPECT_EQ(cipherUpdate(context, {reinterpret_cast<const uint8_t*>(plain.data()), plain.size()},
                           out, produced),
              kCipherOk);
    EXPECT_EQ(cipherFinal(context, std::span(out).subspan(produced), last), kCipherOk);
    out.resize(produced + last);
    return out;
}

// Padded decryption of the raw bytes, padding removed.
std::string decryptRaw(const Bytes& cipher) {
    CipherContext context;
    Bytes out(cipher.size());
    std::size_t produced = 0, last = 0;
    EXPECT_EQ(cipherInit(context, kMechanismAesCbcPad, kKey, kIv, true), kCipherOk);
    EXPECT_EQ(cipherUpdate(context, cipher, out, produced), kCipherOk);
    EXPECT_EQ(cipherFinal(context, std::span(out).subspan(produced), last), kCipherOk);
    return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(produced + last));
}

TEST(EncryptAESCBC, PlaintextIsPrefixTextAndZeroByteInWholeBlocks) {
    // L + 1 = 16 + text length; lengths 0, 16, 32 fill their last block and get a whole
    // block of padding.
    for (std::size_t length : {0u, 1u, 15u, 16u, 17u, 32u, 100u}) {
        SCOPED_TRACE(length);
        const std::string text(length, 'x');
        auto cipher = encryptAESCBC(text, kKey, kIv);
        ASSERT_TRUE(cipher);
        const std::size_t plainLength = kAesTextPrefix.size() + length + 1;
        EXPECT_EQ(cipher->size(), 16 * (plainLength / 16 + 1));
        EXPECT_EQ(decryptRaw(*cipher), std::string(kAesTextPrefix) + text + std::string(1, '\0'));
    }
    EXPECT_EQ(encryptAESCBC("", kKey, kIv)->size(), 32u);
}

TEST(DecryptAESCBC, GivesBackWhatWasEncrypted) {
    LogCapture log;
    const std::string texts[] = {"",
                                 "a",
                                 "value with blanks",
                                 "\xE4\xB8\xAD\xE6\x96\x87 UTF-8",
                                 "0123456789abcdef",
                                 std::string(1000, 'z')};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 20));
        auto cipher = encryptAESCBC(text, kKey, kIv);
        ASSERT_TRUE(cipher);
        auto plain = decryptAESCBC(*cipher, kKey, kIv);
        ASSERT_TRUE(plain);
        EXPECT_EQ(std::string(*plain), text);
    }
    EXPECT_TRUE(log.contains("[Normal] AES: Remove prefix"));
}

// Pages encrypt with ordinary PKCS#7 and may leave the prefix out: the padding must not
// end up in the text, and a single block must decrypt too.
TEST(DecryptAESCBC, TextWithoutPrefixOrZeroByte) {
    struct Case {
        std::string plain;
        std::string expected;
        bool prefixRemoved;
    };
    const Case cases[] = {
        {"1234", "1234", false},  // one block in all
        {"exactly16bytes!!", "exactly16bytes!!", false},
        {"TessarollAESCBCpin", "pin", true},
        {"TessarollAESCBC", "", true},
        {"Tessarollaescbc-other-case", "Tessarollaescbc-other-case", false},
        {std::string("cut\0here", 8), "cut", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        LogCapture log;
        auto plain = decryptAESCBC(encryptRaw(c.plain), kKey, kIv);
        ASSERT_TRUE(plain);
        EXPECT_EQ(std::string(*plain), c.expected);
        EXPECT_EQ(log.contains("AES: Remove prefix"), c.prefixRemoved);
    }
}

TEST(DecryptAESCBC, RefusesWhatIsNotAValidCiphertext) {
    const Bytes good = *encryptAESCBC("secret", kKey, kIv);
    std::array<uint8_t, 32> otherKey = kKey;
    otherKey[0] ^= 1;
    Bytes tampered = good;
    tampered.back() ^= 0x01;

    struct Case {
        const char* name;
        Bytes cipher;
        std::span<const uint8_t, 32> key;
        unsigned code;
    };
    const Case cases[] = {
        {"empty", {}, kKey, 0x41},
        {"20 bytes", Bytes(good.begin(), good.begin() + 20), kKey, 0x41},
        {"one byte short", Bytes(good.begin(), good.end() - 1), kKey, 0x41},
        {"last byte changed", tampered, kKey, 0x40},
        {"wrong key", good, otherKey, 0x40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(decryptAESCBC(c.cipher, c.key, kIv));
        testing::internal::GetCapturedStdout();
        char expected[64];
        std::snprintf(expected, sizeof expected, "Error code %u = 0x%X at ", c.code, c.code);
        EXPECT_TRUE(log.contains(expected)) << expected;
    }
}

}  // namespace
