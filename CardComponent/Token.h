// Tokens reached through GnuTLS's PKCS#11 support. By default every module registered with
// p11-kit is loaded (the set p11-kit's proxy module reaches: OpenSC for smart cards, SoftHSM2,
// ...); one module can be chosen by path instead. A reader is a slot that holds a token.
//
// All PKCS#11 work runs under tokenMutex(): GnuTLS's PIN callback and module list are
// process-wide, and several component objects (one per page session) share them.
#pragma once

#include "CardComponent/CardErrors.h"
#include "CardComponent/Certificate.h"
#include "TessarollUtil/Secure.h"

#include <gnutls/abstract.h>

#include <mutex>
#include <string>
#include <vector>

namespace card {

std::mutex& tokenMutex();

struct Token {
    std::string url;     // PKCS#11 URL of the token
    std::string label;
    std::string serial;
    unsigned flags = 0;  // GNUTLS_PKCS11_TOKEN_*
};

struct TokenCertificate {
    Certificate certificate;
    std::string id;       // CKA_ID, raw bytes
};

// The module in use: empty for every module registered with p11-kit.
const std::string& pkcs11Module();
// Switches modules. Only regular files inside the system's PKCS#11 module folders are
// loaded (a page must not make the service run a library of its choosing): kAccessDenied
// otherwise, kModuleNotFound when the module does not load. Empty path or p11-kit's proxy
// module: back to the default.
void usePkcs11Module(const std::string& path);

std::vector<Token> presentTokens();

// Certificates on the token; with a PIN, private certificate objects are included too.
std::vector<TokenCertificate> tokenCertificates(const Token& token, const SecretString* pin = nullptr);

// Logs in with the PIN and out again. Wrong PIN: kWrongPin; blocked: kPinBlocked. Every
// outcome is counted (see remainingPinTries).
void verifyPin(const Token& token, const SecretString& pin);
void changePin(const Token& token, const SecretString& oldPin, const SecretString& newPin);

// Tries left before the PIN is blocked: what the token's flags say, and never more than the
// component's own limit of consecutive wrong PINs, which it enforces also on tokens that
// do not count (a PIN must not be guessable through a web page).
int remainingPinTries(const Token& token);
constexpr int kPinTryLimit = 3;

class PrivateKey {
public:
    PrivateKey(const Token& token, const TokenCertificate& cert, const SecretString& pin);
    ~PrivateKey();
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;
    gnutls_privkey_t get() const { return key_; }

private:
    gnutls_privkey_t key_ = nullptr;
    SecretString pin_;
};

// Maps a GnuTLS error of a key operation to the component's code.
HResult keyError(int gnutlsError);

}  // namespace card
