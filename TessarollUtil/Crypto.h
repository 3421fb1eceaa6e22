// The library's own symmetric crypto engine: block-cipher modes chosen by PKCS#11 mechanism
// numbers, with errors reported as the PKCS#11 return values of the same numbers. nettle
// supplies the block primitives (AES-256, DES, RC4) and SHA-512; buffering, chaining,
// padding and the hold-back of the last block when decrypting are ours.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <nettle/aes.h>
#include <nettle/arcfour.h>
#include <nettle/des.h>
#include <nettle/sha2.h>

// Mechanisms (PKCS#11 numbers).
inline constexpr uint32_t kMechanismRc4 = 0x111;
inline constexpr uint32_t kMechanismDesEcb = 0x121;
inline constexpr uint32_t kMechanismDesCbc = 0x122;
inline constexpr uint32_t kMechanismDesMac = 0x123;
inline constexpr uint32_t kMechanismDesMacGeneral = 0x124;
inline constexpr uint32_t kMechanismDesCbcPad = 0x125;
inline constexpr uint32_t kMechanismDes3Ecb = 0x132;
inline constexpr uint32_t kMechanismDes3Cbc = 0x133;
inline constexpr uint32_t kMechanismDes3Mac = 0x134;
inline constexpr uint32_t kMechanismDes3MacGeneral = 0x135;
inline constexpr uint32_t kMechanismDes3CbcPad = 0x136;
inline constexpr uint32_t kMechanismAesEcb = 0x1081;
inline constexpr uint32_t kMechanismAesCbc = 0x1082;
inline constexpr uint32_t kMechanismAesMac = 0x1083;
inline constexpr uint32_t kMechanismAesMacGeneral = 0x1084;
inline constexpr uint32_t kMechanismAesCbcPad = 0x1085;

// Results (PKCS#11 return values).
using CipherResult = uint32_t;
inline constexpr CipherResult kCipherOk = 0;
inline constexpr CipherResult kCipherDataLenRange = 0x21;  // unpadded final with bytes waiting
inline constexpr CipherResult kCipherEncryptedDataInvalid = 0x40;   // bad padding
inline constexpr CipherResult kCipherEncryptedDataLenRange = 0x41;  // ciphertext not whole blocks
inline constexpr CipherResult kCipherKeySizeRange = 0x62;           // key of the wrong length
inline constexpr CipherResult kCipherMechanismParamInvalid = 0x71;  // IV shorter than a block
inline constexpr CipherResult kCipherMechanismInvalid =
    0x91;                                                     // unknown mechanism, or no final rule
inline constexpr CipherResult kCipherBufferTooSmall = 0x150;  // output cannot take the blocks

// One operation's state. Holds key material: it wipes itself when it goes away and after
// a successful final step. Not copyable.
struct CipherContext {
    uint32_t mechanism = 0;
    union Schedule {
        aes256_ctx aes;
        des_ctx des[3];
        arcfour_ctx rc4;
    } schedule{};
    uint32_t scheduleLength = 0;  // key-schedule words: 60 AES-256; 32, 64, 96 DES/3DES
    std::array<uint8_t, 16> partial{};
    uint32_t bufsize = 0;  // block size: 16 AES, 8 DES/3DES, 1 RC4
    uint32_t Buse = 0;     // bytes waiting in `partial`
    uint32_t holdBack =
        0;  // 1 when decrypting with padding: the last block waits for the final step
    bool decrypting = false;
    std::array<uint8_t, 16> chain{};  // IV, then the last cipher block or the running MAC

    CipherContext() = default;
    CipherContext(const CipherContext&) = delete;
    CipherContext& operator=(const CipherContext&) = delete;
    ~CipherContext();
};

// Sets up `context` for one operation. AES mechanisms take a 32-byte key; DES an 8-byte key;
// 3DES an 8-byte (single DES), 16-byte (K1 K2 K1) or 24-byte (K1 K2 K3) key; RC4 1 to 256
// bytes. Chaining modes read their IV from the first block-size bytes of `iv`.
CipherResult cipherInit(CipherContext& context, uint32_t mechanism, std::span<const uint8_t> key,
                        std::span<const uint8_t> iv, bool decrypting);

// Consumes `input` and writes the whole blocks it completes to `output`; `produced` receives
// their byte count. Output too small for them: kCipherBufferTooSmall, nothing changes.
CipherResult cipherUpdate(CipherContext& context, std::span<const uint8_t> input,
                          std::span<uint8_t> output, std::size_t& produced);

// Finishes the operation: for padded encryption writes the padding block; for padded
// decryption checks the padding of the held-back block and writes that block without its
// padding. `produced` receives the bytes written. Wipes the context on success.
CipherResult cipherFinal(CipherContext& context, std::span<uint8_t> output, std::size_t& produced);

// SHA-512. The context wipes itself when it goes away and after the final step.
struct Sha512Context {
    sha512_ctx state{};

    Sha512Context() = default;
    Sha512Context(const Sha512Context&) = delete;
    Sha512Context& operator=(const Sha512Context&) = delete;
    ~Sha512Context();
};

inline constexpr std::size_t kSha512DigestSize = 64;
using Sha512Digest = std::array<uint8_t, kSha512DigestSize>;

void sha512Init(Sha512Context& context);
void sha512Update(Sha512Context& context, std::span<const uint8_t> data);
void sha512Update(Sha512Context& context, std::string_view text);
void sha512Final(Sha512Context& context, std::span<uint8_t, kSha512DigestSize> digest);

// 128 upper-case hexadecimal digits, high half of each byte first.
std::string digestToHex(std::span<const uint8_t, kSha512DigestSize> digest);

// digestToHex of the SHA-512 of the text's bytes.
std::string sha512HexText(std::string_view text);
