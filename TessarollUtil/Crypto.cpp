#include "TessarollUtil/Crypto.h"

#include <cstdio>
#include <cstring>

#include "TessarollUtil/Secure.h"

namespace {

enum class Family { None, Rc4, Des, Des3, Aes };
enum class Mode { Stream, Ecb, Cbc, Mac, CbcPad };

struct MechanismInfo {
    Family family = Family::None;
    Mode mode = Mode::Ecb;
};

MechanismInfo describe(uint32_t mechanism) {
    switch (mechanism) {
        case kMechanismRc4: return {Family::Rc4, Mode::Stream};
        case kMechanismDesEcb: return {Family::Des, Mode::Ecb};
        case kMechanismDesCbc: return {Family::Des, Mode::Cbc};
        case kMechanismDesMac:
        case kMechanismDesMacGeneral: return {Family::Des, Mode::Mac};
        case kMechanismDesCbcPad: return {Family::Des, Mode::CbcPad};
        case kMechanismDes3Ecb: return {Family::Des3, Mode::Ecb};
        case kMechanismDes3Cbc: return {Family::Des3, Mode::Cbc};
        case kMechanismDes3Mac:
        case kMechanismDes3MacGeneral: return {Family::Des3, Mode::Mac};
        case kMechanismDes3CbcPad: return {Family::Des3, Mode::CbcPad};
        case kMechanismAesEcb: return {Family::Aes, Mode::Ecb};
        case kMechanismAesCbc: return {Family::Aes, Mode::Cbc};
        case kMechanismAesMac:
        case kMechanismAesMacGeneral: return {Family::Aes, Mode::Mac};
        case kMechanismAesCbcPad: return {Family::Aes, Mode::CbcPad};
        default: return {};
    }
}

void xorBlock(uint8_t* target, const uint8_t* source, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) target[i] ^= source[i];
}

// The raw block cipher, in place on one block.
void encryptRaw(CipherContext& c, Family family, uint8_t* block) {
    switch (family) {
        case Family::Aes: aes256_encrypt(&c.schedule.aes, 16, block, block); break;
        case Family::Des: des_encrypt(&c.schedule.des[0], 8, block, block); break;
        case Family::Des3:
            // Encrypt-decrypt-encrypt; a single schedule is plain DES, two run K1 K2 K1.
            des_encrypt(&c.schedule.des[0], 8, block, block);
            if (c.scheduleLength > 32) {
                des_decrypt(&c.schedule.des[1], 8, block, block);
                des_encrypt(&c.schedule.des[c.scheduleLength == 96 ? 2 : 0], 8, block, block);
            }
            break;
        default: break;
    }
}

void decryptRaw(CipherContext& c, Family family, uint8_t* block) {
    switch (family) {
        case Family::Aes: aes256_decrypt(&c.schedule.aes, 16, block, block); break;
        case Family::Des: des_decrypt(&c.schedule.des[0], 8, block, block); break;
        case Family::Des3:
            if (c.scheduleLength > 32) {
                des_decrypt(&c.schedule.des[c.scheduleLength == 96 ? 2 : 0], 8, block, block);
                des_encrypt(&c.schedule.des[1], 8, block, block);
            }
            des_decrypt(&c.schedule.des[0], 8, block, block);
            break;
        default: break;
    }
}

// One block step of the mode. Returns whether it wrote `out` (MAC steps only chain).
bool blockStep(CipherContext& c, const uint8_t* in, uint8_t* out) {
    const MechanismInfo info = describe(c.mechanism);
    const std::size_t n = c.bufsize;
    uint8_t block[16];
    std::memcpy(block, in, n);
    bool wrote = true;
    if (!c.decrypting) {
        switch (info.mode) {
            case Mode::Ecb: encryptRaw(c, info.family, block); break;
            case Mode::Cbc:
            case Mode::CbcPad:
                xorBlock(block, c.chain.data(), n);
                encryptRaw(c, info.family, block);
                std::memcpy(c.chain.data(), block, n);
                break;
            case Mode::Mac:
                xorBlock(block, c.chain.data(), n);
                encryptRaw(c, info.family, block);
                std::memcpy(c.chain.data(), block, n);
                wrote = false;
                break;
            default: wrote = false; break;
        }
    } else {
        switch (info.mode) {
            case Mode::Ecb: decryptRaw(c, info.family, block); break;
            case Mode::Cbc:
            case Mode::CbcPad: {
                uint8_t cipher[16];
                std::memcpy(cipher, in, n);
                decryptRaw(c, info.family, block);
                xorBlock(block, c.chain.data(), n);
                std::memcpy(c.chain.data(), cipher, n);
                secureWipe(cipher, sizeof cipher);
                break;
            }
            default: wrote = false; break;
        }
    }
    if (wrote) std::memcpy(out, block, n);
    secureWipe(block, sizeof block);
    return wrote;
}

void resetContext(CipherContext& c) {
    secureWipe(&c.schedule, sizeof c.schedule);
    secureWipe(c.partial.data(), c.partial.size());
    secureWipe(c.chain.data(), c.chain.size());
    c.mechanism = 0;
    c.scheduleLength = 0;
    c.bufsize = 0;
    c.Buse = 0;
    c.holdBack = 0;
    c.decrypting = false;
}

}  // namespace

CipherContext::~CipherContext() {
    resetContext(*this);
}

CipherResult cipherInit(CipherContext& context, uint32_t mechanism, std::span<const uint8_t> key,
                        std::span<const uint8_t> iv, bool decrypting) {
    resetContext(context);
    const MechanismInfo info = describe(mechanism);
    if (info.family == Family::None) return kCipherMechanismInvalid;
    // A MAC is only ever computed, never "decrypted".
    if (decrypting && info.mode == Mode::Mac) return kCipherMechanismInvalid;

    switch (info.family) {
        case Family::Rc4:
            if (key.size() < ARCFOUR_MIN_KEY_SIZE || key.size() > ARCFOUR_MAX_KEY_SIZE)
                return kCipherKeySizeRange;
            arcfour_set_key(&context.schedule.rc4, key.size(), key.data());
            context.bufsize = 1;
            break;
        case Family::Des:
            if (key.size() != DES_KEY_SIZE) return kCipherKeySizeRange;
            des_set_key(&context.schedule.des[0], key.data());  // weak keys are not refused
            context.scheduleLength = 32;
            context.bufsize = 8;
            break;
        case Family::Des3: {
            if (key.size() != 8 && key.size() != 16 && key.size() != 24) return kCipherKeySizeRange;
            const std::size_t keys = key.size() / 8;
            for (std::size_t i = 0; i < keys; ++i)
                des_set_key(&context.schedule.des[i], key.data() + 8 * i);
            context.scheduleLength = static_cast<uint32_t>(32 * keys);
            context.bufsize = 8;
            break;
        }
        case Family::Aes:
            if (key.size() != AES256_KEY_SIZE) return kCipherKeySizeRange;
            if (decrypting)
                aes256_set_decrypt_key(&context.schedule.aes, key.data());
            else
                aes256_set_encrypt_key(&context.schedule.aes, key.data());
            context.scheduleLength = 60;
            context.bufsize = 16;
            break;
        case Family::None: break;
    }
    if (info.mode == Mode::Cbc || info.mode == Mode::CbcPad) {
        if (iv.size() < context.bufsize) {
            resetContext(context);
            return kCipherMechanismParamInvalid;
        }
        std::memcpy(context.chain.data(), iv.data(), context.bufsize);
    }
    context.mechanism = mechanism;
    context.decrypting = decrypting;
    context.holdBack = (decrypting && info.mode == Mode::CbcPad) ? 1 : 0;
    return kCipherOk;
}

CipherResult cipherUpdate(CipherContext& context, std::span<const uint8_t> input,
                          std::span<uint8_t> output, std::size_t& produced) {
    produced = 0;
    if (context.bufsize == 0) return kCipherMechanismInvalid;
    if (input.empty()) return kCipherOk;

    if (context.bufsize == 1) {
        if (output.size() < input.size()) return kCipherBufferTooSmall;
        arcfour_crypt(&context.schedule.rc4, input.size(), output.data(), input.data());
        produced = input.size();
        return kCipherOk;
    }

    const std::size_t n = context.bufsize;
    const std::size_t hold = context.holdBack;
    const bool writes = describe(context.mechanism).mode != Mode::Mac;
    const std::size_t available = context.Buse + input.size();
    if (writes && available > hold && (available - hold) / n > output.size() / n)
        return kCipherBufferTooSmall;

    std::size_t at = 0;
    if (available >= n + hold) {
        const std::size_t fill = n - context.Buse;
        std::memcpy(context.partial.data() + context.Buse, input.data(), fill);
        at = fill;
        context.Buse = 0;
        if (blockStep(context, context.partial.data(), output.data() + produced)) produced += n;
        while (input.size() - at >= n + hold) {
            if (blockStep(context, input.data() + at, output.data() + produced)) produced += n;
            at += n;
        }
    }
    const std::size_t rest = input.size() - at;
    std::memcpy(context.partial.data() + context.Buse, input.data() + at, rest);
    context.Buse += static_cast<uint32_t>(rest);
    return kCipherOk;
}

namespace {

// Encrypting with padding: the partial block is filled with the pad length and enciphered.
CipherResult padLastBlock(CipherContext& context, std::span<uint8_t> output,
                          std::size_t& produced) {
    const std::size_t n = context.bufsize;
    if (output.size() < n) return kCipherBufferTooSmall;
    const auto pad = static_cast<uint8_t>(n - context.Buse);
    std::memset(context.partial.data() + context.Buse, pad, pad);
    blockStep(context, context.partial.data(), output.data());
    produced = n;
    return kCipherOk;
}

// Decrypting with padding: the held-back block is deciphered and its padding checked and removed.
CipherResult unpadLastBlock(CipherContext& context, std::span<uint8_t> output,
                            std::size_t& produced) {
    const std::size_t n = context.bufsize;
    if (context.Buse != n) {
        std::printf("p->Buse: %d\n", static_cast<int>(context.Buse));
        std::printf("bufsize: %d\n", static_cast<int>(n));
        return kCipherEncryptedDataLenRange;
    }
    uint8_t block[16];
    blockStep(context, context.partial.data(), block);
    // A pad byte of 0 is no padding at all: only a wrong key produces it.
    const uint8_t pad = block[n - 1];
    bool valid = pad != 0 && pad <= n;
    for (std::size_t i = n - (valid ? pad : 0); valid && i < n; ++i) valid = block[i] == pad;
    CipherResult result = kCipherOk;
    if (!valid) {
        result = kCipherEncryptedDataInvalid;
    } else if (output.size() < n - pad) {
        result = kCipherBufferTooSmall;
    } else {
        std::memcpy(output.data(), block, n - pad);
        produced = n - pad;
    }
    secureWipe(block, sizeof block);
    return result;
}

}  // namespace

CipherResult cipherFinal(CipherContext& context, std::span<uint8_t> output, std::size_t& produced) {
    produced = 0;
    if (context.bufsize == 0) return kCipherMechanismInvalid;

    CipherResult result = kCipherOk;
    switch (describe(context.mechanism).mode) {
        case Mode::Stream:
        case Mode::Ecb:
        case Mode::Cbc:
            if (context.Buse != 0) return kCipherDataLenRange;
            break;
        case Mode::CbcPad:
            result = context.decrypting ? unpadLastBlock(context, output, produced)
                                        : padLastBlock(context, output, produced);
            if (result != kCipherOk) return result;
            break;
        case Mode::Mac: return kCipherMechanismInvalid;
    }
    resetContext(context);
    return kCipherOk;
}

Sha512Context::~Sha512Context() {
    secureWipe(&state, sizeof state);
}

void sha512Init(Sha512Context& context) {
    sha512_init(&context.state);
}

void sha512Update(Sha512Context& context, std::span<const uint8_t> data) {
    sha512_update(&context.state, data.size(), data.data());
}

void sha512Update(Sha512Context& context, std::string_view text) {
    sha512_update(&context.state, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
}

void sha512Final(Sha512Context& context, std::span<uint8_t, kSha512DigestSize> digest) {
    sha512_digest(&context.state, digest.size(), digest.data());
    secureWipe(&context.state, sizeof context.state);
}

std::string digestToHex(std::span<const uint8_t, kSha512DigestSize> digest) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex(2 * digest.size(), '0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    return hex;
}

std::string sha512HexText(std::string_view text) {
    Sha512Context context;
    sha512Init(context);
    sha512Update(context, text);
    Sha512Digest digest{};
    sha512Final(context, digest);
    std::string hex = digestToHex(digest);
    secureWipe(digest.data(), digest.size());
    return hex;
}
