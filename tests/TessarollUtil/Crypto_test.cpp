#include "TessarollUtil/Crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

Bytes fromText(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string toHex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

struct Outcome {
    CipherResult update = kCipherOk;
    CipherResult final = kCipherOk;
    Bytes output;
};

// One whole operation: init, one update per chunk (a chunk size of 0 means one update), final.
Outcome run(uint32_t mechanism, const Bytes& key, const Bytes& iv, bool decrypting,
            const Bytes& input, std::size_t chunk = 0) {
    CipherContext context;
    Outcome outcome;
    EXPECT_EQ(cipherInit(context, mechanism, key, iv, decrypting), kCipherOk);
    outcome.output.resize(input.size() + 16);
    std::size_t total = 0;
    const std::size_t step = chunk ? chunk : input.size();
    for (std::size_t at = 0; at < input.size(); at += step) {
        std::size_t produced = 0;
        const std::size_t length = std::min(step, input.size() - at);
        outcome.update = cipherUpdate(context, std::span(input).subspan(at, length),
                                      std::span(outcome.output).subspan(total), produced);
        if (outcome.update != kCipherOk) return outcome;
        total += produced;
    }
    std::size_t last = 0;
    outcome.final = cipherFinal(context, std::span(outcome.output).subspan(total), last);
    outcome.output.resize(total + last);
    return outcome;
}

// Published vectors: FIPS 197 C.3, SP 800-38A F.2.5 / F.2.6, FIPS 46 worked example, RC4 test
// texts.
struct Vector {
    const char* name;
    uint32_t mechanism;
    Bytes key;
    Bytes iv;
    Bytes plain;
    std::string cipherHex;
};

class PublishedVectorTest : public ::testing::TestWithParam<Vector> {};

TEST_P(PublishedVectorTest, EncryptsAndDecryptsInOneGoAndInPieces) {
    const Vector& v = GetParam();
    for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{17}}) {
        SCOPED_TRACE(chunk);
        Outcome enc = run(v.mechanism, v.key, v.iv, false, v.plain, chunk);
        ASSERT_EQ(enc.update, kCipherOk);
        ASSERT_EQ(enc.final, kCipherOk);
        EXPECT_EQ(toHex(enc.output), v.cipherHex);
        Outcome dec = run(v.mechanism, v.key, v.iv, true, fromHex(v.cipherHex), chunk);
        ASSERT_EQ(dec.update, kCipherOk);
        ASSERT_EQ(dec.final, kCipherOk);
        EXPECT_EQ(dec.output, v.plain);
    }
}

const Bytes kAesKey = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const Bytes kNistIv = fromHex("000102030405060708090a0b0c0d0e0f");
const Bytes kNistPlain = fromHex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");

INSTANTIATE_TEST_SUITE_P(
    Engine, PublishedVectorTest,
    ::testing::Values(
        Vector{"Aes256Block",
               kMechanismAesEcb,
               fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"),
               {},
               fromHex("00112233445566778899aabbccddeeff"),
               "8ea2b7ca516745bfeafc49904b496089"},
        Vector{"Aes256Ecb",
               kMechanismAesEcb,
               kAesKey,
               {},
               kNistPlain,
               "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
               "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
        Vector{"Aes256Cbc", kMechanismAesCbc, kAesKey, kNistIv, kNistPlain,
               "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
               "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
        Vector{"DesEcb",
               kMechanismDesEcb,
               fromHex("133457799bbcdff1"),
               {},
               fromHex("0123456789abcdef"),
               "85e813540f0ab405"},
        Vector{"DesEcbNowIsTheTime",
               kMechanismDesEcb,
               fromHex("0123456789abcdef"),
               {},
               fromText("Now is the time for all "),
               "3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"},
        Vector{"TripleDesThreeKeys",
               kMechanismDes3Ecb,
               fromHex("0123456789abcdef23456789abcdef01456789abcdef0123"),
               {},
               fromText("The qufck brown fox jump"),
               "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
        Vector{"Rc4Key",
               kMechanismRc4,
               fromText("Key"),
               {},
               fromText("Plaintext"),
               "bbf316e8d940af0ad3"},
        Vector{"Rc4Secret",
               kMechanismRc4,
               fromText("Secret"),
               {},
               fromText("Attack at dawn"),
               "45a01f645fc35b383552544b9bf5"}),
    [](const auto& info) { return std::string(info.param.name); });

// Padded CBC is unpadded CBC over the text and k bytes of value k (a whole block when the
// text fills its last block); decryption gives back exactly the text, in any pieces.
TEST(CipherPadding, AddsOneToOneBlockAndRemovesItAgain) {
    struct Family {
        uint32_t padded, plain;
        Bytes key;
        std::size_t block;
    };
    const Family families[] = {
        {kMechanismAesCbcPad, kMechanismAesCbc, kAesKey, 16},
        {kMechanismDesCbcPad, kMechanismDesCbc, fromHex("133457799bbcdff1"), 8},
        {kMechanismDes3CbcPad, kMechanismDes3Cbc, fromHex("0123456789abcdef23456789abcdef01"), 8},
    };
    for (const Family& f : families) {
        for (std::size_t length = 0; length <= 33; ++length) {
            SCOPED_TRACE(testing::Message()
                         << std::hex << f.padded << std::dec << " length " << length);
            Bytes text(length);
            for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<uint8_t>(i * 7 + 1);
            const std::size_t pad = f.block - length % f.block;
            Bytes padded = text;
            padded.insert(padded.end(), pad, static_cast<uint8_t>(pad));

            Outcome enc = run(f.padded, f.key, kNistIv, false, text, 5);
            ASSERT_EQ(enc.final, kCipherOk);
            EXPECT_EQ(enc.output.size(), (length / f.block + 1) * f.block);
            EXPECT_EQ(enc.output, run(f.plain, f.key, kNistIv, false, padded).output);

            for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, f.block, f.block + 3}) {
                Outcome dec = run(f.padded, f.key, kNistIv, true, enc.output, chunk);
                ASSERT_EQ(dec.update, kCipherOk);
                ASSERT_EQ(dec.final, kCipherOk);
                EXPECT_EQ(dec.output, text);
            }
        }
    }
}

// Two-key 3DES runs K1 K2 K1, and one key is plain DES.
TEST(CipherTripleDes, KeyLengthSelectsTheSchedules) {
    const Bytes k1 = fromHex("0123456789abcdef"), k2 = fromHex("23456789abcdef01");
    const Bytes block = fromText("8 bytes!");
    Bytes twoKeys = k1, threeKeys = k1;
    twoKeys.insert(twoKeys.end(), k2.begin(), k2.end());
    threeKeys.insert(threeKeys.end(), k2.begin(), k2.end());
    threeKeys.insert(threeKeys.end(), k1.begin(), k1.end());
    EXPECT_EQ(run(kMechanismDes3Ecb, twoKeys, {}, false, block).output,
              run(kMechanismDes3Ecb, threeKeys, {}, false, block).output);
    EXPECT_EQ(run(kMechanismDes3Ecb, k1, {}, false, block).output,
              run(kMechanismDesEcb, k1, {}, false, block).output);
    EXPECT_NE(run(kMechanismDes3Ecb, twoKeys, {}, false, block).output,
              run(kMechanismDesEcb, k1, {}, false, block).output);
}

// Helpers that build a ciphertext whose last block decrypts to a chosen block.
Bytes lastBlockDecryptingTo(const Bytes& block) {
    return run(kMechanismAesCbc, kAesKey, kNistIv, false, block).output;
}

TEST(CipherErrors, EachRuleGivesItsCode) {
    Bytes badPadBlock(16, 0x02);
    badPadBlock[15] = 0x03;  // claims three bytes of 3, has 2 2 3
    Bytes tooLongPad(16, 0x11);
    Bytes zeroPad(16, 0x00);

    struct Case {
        const char* name;
        uint32_t mechanism;
        bool decrypting;
        Bytes input;
        CipherResult update, final;
    };
    const Case cases[] = {
        {"unpadded ECB with a partial block", kMechanismAesEcb, false, Bytes(20, 1), kCipherOk,
         kCipherDataLenRange},
        {"unpadded CBC decrypt with a partial block", kMechanismAesCbc, true, Bytes(15, 1),
         kCipherOk, kCipherDataLenRange},
        {"RC4 never has bytes waiting", kMechanismRc4, false, Bytes(5, 1), kCipherOk, kCipherOk},
        {"padded decrypt of 20 bytes", kMechanismAesCbcPad, true, Bytes(20, 1), kCipherOk,
         kCipherEncryptedDataLenRange},
        {"padded decrypt of nothing", kMechanismAesCbcPad, true, Bytes{}, kCipherOk,
         kCipherEncryptedDataLenRange},
        {"padding bytes that differ", kMechanismAesCbcPad, true, lastBlockDecryptingTo(badPadBlock),
         kCipherOk, kCipherEncryptedDataInvalid},
        {"padding longer than a block", kMechanismAesCbcPad, true,
         lastBlockDecryptingTo(tooLongPad), kCipherOk, kCipherEncryptedDataInvalid},
        {"padding byte zero", kMechanismAesCbcPad, true, lastBlockDecryptingTo(zeroPad), kCipherOk,
         kCipherEncryptedDataInvalid},
        {"a MAC has no final rule", kMechanismAesMac, false, Bytes(32, 1), kCipherOk,
         kCipherMechanismInvalid},
        {"a DES MAC has no final rule", kMechanismDes3MacGeneral, false, Bytes(8, 1), kCipherOk,
         kCipherMechanismInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes key = c.mechanism == kMechanismRc4 ? fromText("k")
                          : c.mechanism < 0x1000       ? fromHex("0123456789abcdef")
                                                       : kAesKey;
        CipherContext context;
        ASSERT_EQ(cipherInit(context, c.mechanism, key, kNistIv, c.decrypting), kCipherOk);
        Bytes out(c.input.size() + 16);
        std::size_t produced = 0, last = 0;
        EXPECT_EQ(cipherUpdate(context, c.input, out, produced), c.update);
        testing::internal::CaptureStdout();
        EXPECT_EQ(cipherFinal(context, std::span(out).subspan(produced), last), c.final);
        const std::string printed = testing::internal::GetCapturedStdout();
        if (c.final == kCipherEncryptedDataLenRange) {
            EXPECT_EQ(printed,
                      "p->Buse: " + std::to_string(c.input.size() % 16) + "\nbufsize: 16\n");
        }
    }
}

TEST(CipherErrors, InitRefusesWhatItCannotRun) {
    struct Case {
        const char* name;
        uint32_t mechanism;
        Bytes key;
        Bytes iv;
        bool decrypting;
        CipherResult expected;
    };
    const Case cases[] = {
        {"unknown number", 0x999, kAesKey, kNistIv, false, kCipherMechanismInvalid},
        {"counter mode is not offered", 0x1086, kAesKey, kNistIv, false, kCipherMechanismInvalid},
        {"a MAC cannot decrypt", kMechanismAesMac, kAesKey, kNistIv, true, kCipherMechanismInvalid},
        {"AES-128 key", kMechanismAesCbcPad, Bytes(16, 1), kNistIv, false, kCipherKeySizeRange},
        {"DES key of 16 bytes", kMechanismDesEcb, Bytes(16, 1), {}, false, kCipherKeySizeRange},
        {"3DES key of 20 bytes", kMechanismDes3Ecb, Bytes(20, 1), {}, false, kCipherKeySizeRange},
        {"empty RC4 key", kMechanismRc4, {}, {}, false, kCipherKeySizeRange},
        {"CBC without an IV", kMechanismAesCbc, kAesKey, Bytes(8, 0), false,
         kCipherMechanismParamInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CipherContext context;
        EXPECT_EQ(cipherInit(context, c.mechanism, c.key, c.iv, c.decrypting), c.expected);
        // A refused context runs nothing.
        Bytes out(32);
        std::size_t produced = 0;
        EXPECT_EQ(cipherUpdate(context, Bytes(16, 1), out, produced), kCipherMechanismInvalid);
        EXPECT_EQ(cipherFinal(context, out, produced), kCipherMechanismInvalid);
    }
}

// An update whose blocks do not fit leaves the context as it was, so a retry with room
// gives the same ciphertext as an undisturbed run.
TEST(CipherErrors, TooSmallOutputChangesNothing) {
    CipherContext context;
    ASSERT_EQ(cipherInit(context, kMechanismAesCbc, kAesKey, kNistIv, false), kCipherOk);
    Bytes small(31), out(64);
    std::size_t produced = 0, last = 0;
    EXPECT_EQ(cipherUpdate(context, std::span(kNistPlain).first(32), small, produced),
              kCipherBufferTooSmall);
    EXPECT_EQ(produced, 0u);
    ASSERT_EQ(cipherUpdate(context, kNistPlain, out, produced), kCipherOk);
    ASSERT_EQ(cipherFinal(context, {}, last), kCipherOk);
    EXPECT_EQ(toHex(out),
              "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
              "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");

    // The padding block of a final step needs a whole block of room.
    CipherContext padded;
    ASSERT_EQ(cipherInit(padded, kMechanismAesCbcPad, kAesKey, kNistIv, false), kCipherOk);
    Bytes tiny(15);
    EXPECT_EQ(cipherFinal(padded, tiny, last), kCipherBufferTooSmall);
}

// A successful final step leaves no key material behind.
TEST(CipherContextTest, FinalWipesTheContext) {
    CipherContext context;
    ASSERT_EQ(cipherInit(context, kMechanismAesCbcPad, kAesKey, kNistIv, false), kCipherOk);
    Bytes out(32);
    std::size_t produced = 0, last = 0;
    ASSERT_EQ(cipherUpdate(context, fromText("secret"), out, produced), kCipherOk);
    ASSERT_EQ(cipherFinal(context, out, last), kCipherOk);
    const auto* raw = reinterpret_cast<const unsigned char*>(&context);
    EXPECT_EQ(std::count(raw, raw + sizeof context, 0),
              static_cast<std::ptrdiff_t>(sizeof context));
}

// FIPS 180-4 examples and the empty message.
TEST(Sha512, PublishedDigests) {
    struct Case {
        std::string text;
        const char* digest;
    };
    const Case cases[] = {
        {"abc",
         "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
         "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
        {"",
         "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE"
         "47D0D13C5D85F2B0FF8318D2877EEC2F63B931BD47417A81A538327AF927DA3E"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "mnopqrsmnopqrstnopqrstu",
         "8E959B75DAE313DA8CF4F72814FC143F8F7779C6EB9F7FA17299AEADB6889018"
         "501D289E4900F7E4331B99DEC4B5433AC7D329EEB6DD26545E96E55B874BE909"},
        {std::string(1000000, 'a'),
         "E718483D0CE769644E2E42C7BC15B4638E1F98B13B2044285632A803AFA973EB"
         "DE0FF244877EA60A4CB0432CE577C31BEB009C5C2C49AA2E4EADB217AD8CC09B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        EXPECT_EQ(sha512HexText(c.text), c.digest);
        // The same digest fed in uneven pieces.
        Sha512Context context;
        sha512Init(context);
        for (std::size_t at = 0; at < c.text.size(); at += 97)
            sha512Update(context, std::string_view(c.text).substr(at, 97));
        Sha512Digest digest{};
        sha512Final(context, digest);
        EXPECT_EQ(digestToHex(digest), c.digest);
    }
}

TEST(DigestToHex, UpperCaseHighNibbleFirst) {
    Sha512Digest digest{};
    EXPECT_EQ(digestToHex(digest), std::string(128, '0'));
    digest[0] = 0xA5;
    digest[63] = 0x0F;
    const std::string hex = digestToHex(digest);
    EXPECT_EQ(hex.substr(0, 2), "A5");
    EXPECT_EQ(hex.substr(126), "0F");
}

}  // namespace
