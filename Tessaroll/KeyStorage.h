// The TLS material of the listeners: the user's own two localhost server certificates and
// their private keys, kept in the user's credential folder (see certs/UserCredentials.h).
// A key is read only for the short time in which the listeners are started.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "TessarollUtil/Secure.h"

// The RSA certificate serves systems whose version mask is 0 (unknown) or has the oldest
// system's bit 0x1; every other system gets the elliptic-curve certificate.
bool useRsaCertificate(uint32_t osVersionMask);

// Makes the user's roots and server certificates when they are missing, damaged or near
// their end (the first start of a user takes seconds for it). False, logged, when the
// credential folder cannot be used.
bool prepareServerCredentials();

// Heap copy of the chosen certificate's PEM text; empty when it cannot be read.
std::string serverCertificatePem(bool rsa);

// The private key of that certificate as PEM text; nothing when it cannot be read.
std::optional<SecretString> obtainServerKey(bool rsa);

// Wipes the key text and drops it.
void releaseServerKey(std::optional<SecretString>& key);
