#include "Tessaroll/KeyStorage.h"

#include "certs/UserCredentials.h"

namespace {

CredentialKind kindOf(bool rsa) {
    return rsa ? CredentialKind::Rsa : CredentialKind::EllipticCurve;
}

}  // namespace

bool useRsaCertificate(uint32_t osVersionMask) {
    return osVersionMask == 0 || (osVersionMask & 0x1) != 0;
}

bool prepareServerCredentials() {
    return prepareUserCredentials();
}

std::string serverCertificatePem(bool rsa) {
    std::optional<CredentialSet> set = loadUserCredentials(kindOf(rsa));
    return set ? std::move(set->serverPem) : std::string();
}

std::optional<SecretString> obtainServerKey(bool rsa) {
    std::optional<CredentialSet> set = loadUserCredentials(kindOf(rsa));
    if (!set) return std::nullopt;
    return std::move(set->serverKeyPem);
}

void releaseServerKey(std::optional<SecretString>& key) {
    if (key) secureWipe(*key);
    key.reset();
}
