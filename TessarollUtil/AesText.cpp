#include "TessarollUtil/AesText.h"

#include <cstdio>
#include <string>

#include "TessarollUtil/Crypto.h"
#include "TessarollUtil/Log.h"

namespace {

void logEngineError(CipherResult code, int line) {
    char text[512];
    std::snprintf(text, sizeof text, "Error code %d = 0x%X at %d line in %s",
                  static_cast<int>(code), code, line, __FILE__);
    writeWarningLog("", text);
}

}  // namespace

std::optional<std::vector<uint8_t>> encryptAESCBC(std::string_view inputText,
                                                  std::span<const uint8_t, 32> inputKey,
                                                  std::span<const uint8_t, 16> inputIV) {
    SecretString plain;
    plain.reserve(kAesTextPrefix.size() + inputText.size() + 1);
    plain.append(kAesTextPrefix).append(inputText) += '\0';

    // Whole blocks plus the padding, which is a full block when the plaintext fills its last one.
    std::vector<uint8_t> cipher(16 * (plain.size() / 16 + 1));
    CipherContext context;
    std::size_t produced = 0;
    std::size_t last = 0;
    CipherResult rc = cipherInit(context, kMechanismAesCbcPad, inputKey, inputIV, false);
    if (rc == kCipherOk)
        rc = cipherUpdate(context, {reinterpret_cast<const uint8_t*>(plain.data()), plain.size()},
                          cipher, produced);
    if (rc == kCipherOk) rc = cipherFinal(context, std::span(cipher).subspan(produced), last);
    if (rc != kCipherOk) {
        logEngineError(rc, __LINE__);
        return std::nullopt;
    }
    cipher.resize(produced + last);
    return cipher;
}

std::optional<SecretString> decryptAESCBC(std::span<const uint8_t> inputText,
                                          std::span<const uint8_t, 32> inputKey,
                                          std::span<const uint8_t, 16> inputIV) {
    SecretString plain;
    plain.resize(inputText.size());
    auto* out = reinterpret_cast<uint8_t*>(plain.data());
    CipherContext context;
    std::size_t produced = 0;
    std::size_t last = 0;
    CipherResult rc = cipherInit(context, kMechanismAesCbcPad, inputKey, inputIV, true);
    if (rc == kCipherOk) rc = cipherUpdate(context, inputText, {out, plain.size()}, produced);
    if (rc == kCipherOk) rc = cipherFinal(context, {out + produced, plain.size() - produced}, last);
    if (rc != kCipherOk) {
        logEngineError(rc, __LINE__);
        return std::nullopt;
    }
    // The plaintext is a text: it ends at its own zero byte (encryptAESCBC always adds one).
    std::size_t length = produced + last;
    if (const auto zero = std::string_view(plain.data(), length).find('\0');
        zero != std::string_view::npos)
        length = zero;

    std::string_view text(plain.data(), length);
    if (text.starts_with(kAesTextPrefix)) {
        writeNormalLog("AES: ", "Remove prefix");
        text.remove_prefix(kAesTextPrefix.size());
    }
    return SecretString(text.data(), text.size());
}
