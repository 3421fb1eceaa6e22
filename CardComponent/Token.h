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

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace card {

std::mutex& tokenMutex();

struct Token {
    std::string url;  // PKCS#11 URL of the token
    std::string label;
    std::string serial;
    unsigned flags = 0;  // GNUTLS_PKCS11_TOKEN_*
};

struct TokenCertificate {
    Certificate certificate;
    std::string id;      // CKA_ID, raw bytes
    std::string base64;  // of the DER, as answered
};
using TokenCertificates = std::shared_ptr<const std::vector<TokenCertificate>>;

// Switches the process to a module for the calling session: empty for every module registered
// with p11-kit. GnuTLS holds one module set per process, so a session whose module differs from
// the loaded one reloads it (and every cache below is dropped). kModuleNotFound when it does not
// load.
void loadPkcs11Module(const std::string& module);
// What a session may choose as its module: only a module p11-kit has registered, or one in (or
// linked from) the system's PKCS#11 module folders, never a library of a page's choosing. The
// path is resolved first; answers the resolved path, empty for p11-kit's proxy module (the
// default), kModuleNotFound when it does not exist, kAccessDenied when it is not a module.
std::string allowedPkcs11Module(const std::string& path);

// The tokens present. Kept between calls while every slot reports the same token (label,
// maker, model, serial) and every module the same number of tokens; `rescan` enumerates every
// module's slots again (a token in a module that had none before shows only then).
// forgetTokens() also drops what was read from the tokens and their logins.
std::vector<Token> presentTokens(bool rescan = false);
void forgetTokens();

// Public certificates on the token, read and parsed once per token; with a PIN, private
// certificate objects are included too (read each time).
TokenCertificates tokenCertificates(const Token& token);
TokenCertificates tokenCertificates(const Token& token, const SecretString& pin);

// Logs in with the PIN and out again. Wrong PIN: kWrongPin; blocked: kPinBlocked. Every
// outcome is counted (see remainingPinTries).
void verifyPin(const Token& token, const SecretString& pin);
void changePin(const Token& token, const SecretString& oldPin, const SecretString& newPin);

// Tries left before the PIN is blocked: what the token's flags say, and never more than the
// component's own limit of consecutive wrong PINs, which it enforces also on tokens that
// do not count (a PIN must not be guessable through a web page).
int remainingPinTries(const Token& token);
constexpr int kPinTryLimit = 3;

// The private key of the certificate, opened with the PIN. A token stays logged in for the
// sessions (owners) that use it while they present the PIN it was opened with: the next call
// with that PIN signs at once. Any other PIN first logs the token out (a logged-in token would
// take any PIN) and is tried on the token, and counted, as usual.
gnutls_privkey_t loggedInKey(const void* owner, const Token& token, const TokenCertificate& cert,
                             const SecretString& pin);
// The owner no longer needs its logins (other reader, card or module, object released): a
// token nobody needs any more is logged out and its PIN wiped.
void releaseLogins(const void* owner);

// Maps a GnuTLS error of a key operation to the component's code.
HResult keyError(int gnutlsError);

}  // namespace card
