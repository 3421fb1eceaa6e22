#include "Tessaroll/KeyStorage.h"

#include <span>

#include "certs/ServerCredentials.h"

namespace {

static_assert(sizeof(ecServerKeyMasked) == sizeof(ecServerKeyPad));
static_assert(sizeof(rsaServerKeyMasked) == sizeof(rsaServerKeyPad));

std::optional<SecretString> unmask(std::span<const unsigned char> masked,
                                   std::span<const unsigned char> pad) {
    SecretString key;
    key.resize(masked.size());
    for (std::size_t i = 0; i < masked.size(); ++i)
        key.data()[i] = static_cast<char>(masked[i] ^ pad[i]);
    if (!key.view().starts_with("-----BEGIN ")) return std::nullopt;  // a broken build, not a key
    return key;
}

}  // namespace

bool useRsaCertificate(uint32_t osVersionMask) {
    return osVersionMask == 0 || (osVersionMask & 0x1) != 0;
}

std::string serverCertificatePem(bool rsa) {
    return rsa ? std::string(rsaServerCertificate) : std::string(ecServerCertificate);
}

std::optional<SecretString> obtainServerKey(bool rsa) {
    if (rsa) return unmask(rsaServerKeyMasked, rsaServerKeyPad);
    return unmask(ecServerKeyMasked, ecServerKeyPad);
}

void releaseServerKey(std::optional<SecretString>& key) {
    if (key) secureWipe(*key);
    key.reset();
}
