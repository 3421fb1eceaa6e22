// AES-256-CBC with PKCS#7 padding over texts: the plaintext is "TessarollAESCBC", the text
// and its terminating zero byte; decryption removes the prefix again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "TessarollUtil/Secure.h"

inline constexpr std::string_view kAesTextPrefix = "TessarollAESCBC";

// The ciphertext of "TessarollAESCBC" + text + a zero byte: 16 * (floor((L + 1) / 16) + 1)
// bytes, L = 15 + text length. The value store passes its process key and the first 16
// bytes of its IV block.
std::optional<std::vector<uint8_t>> encryptAESCBC(std::string_view inputText,
                                                  std::span<const uint8_t, 32> inputKey,
                                                  std::span<const uint8_t, 16> inputIV);

// The text inside a ciphertext: padding removed, then cut at its first zero byte, then a
// leading "TessarollAESCBC" removed ("AES: " "Remove prefix"). Nothing when the ciphertext
// is not whole blocks or its padding is wrong (a warning with the engine's code).
std::optional<SecretString> decryptAESCBC(std::span<const uint8_t> inputText,
                                          std::span<const uint8_t, 32> inputKey,
                                          std::span<const uint8_t, 16> inputIV);
