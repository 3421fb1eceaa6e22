// Each user's own TLS material: an elliptic-curve and an RSA root, self-signed and allowed
// to vouch for localhost, 127.0.0.1 and ::1 only, and a localhost server certificate issued
// by each. They live in "$XDG_DATA_HOME/ZEFAGPKI/" (0700, files 0600), so no other local
// user can read a key that this user's browsers trust. The root keys exist only while the
// server certificates are signed; nothing writes them anywhere.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "TessarollUtil/Secure.h"

enum class CredentialKind { EllipticCurve, Rsa };

struct CredentialSet {
    std::string rootPem;
    std::string serverPem;
    SecretString serverKeyPem;
};

// "<XDG_DATA_HOME>/ZEFAGPKI"; empty when there is no home.
std::string userCredentialFolder();

// The file names inside that folder.
std::string rootFileName(CredentialKind kind);
std::string serverFileName(CredentialKind kind);
std::string serverKeyFileName(CredentialKind kind);

// How long before its end a set is made afresh.
inline constexpr std::time_t kRenewalMargin = 30 * 24 * 3600;

// Makes sure the folder holds both sets and that each is usable at `now` and for the
// renewal margin after it: a set that is missing, unreadable, not the user's own, readable
// by others, damaged, whose key does not match its certificate, whose server certificate
// its root did not issue, or that is near its end or not yet valid, is made afresh (an RSA
// root takes seconds). False, with a log line saying why, when the folder cannot be used
// (another user's, a link, not a folder) or a set cannot be made.
bool prepareUserCredentials(std::time_t now = std::time(nullptr));

// One set as prepare left it; nothing, logged, when it cannot be read.
std::optional<CredentialSet> loadUserCredentials(CredentialKind kind);
