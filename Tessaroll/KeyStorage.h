// The TLS material of the listeners: the two localhost server certificates built into the
// program and their private keys, which are kept masked and only unmasked for the short
// time in which the listeners are started.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "TessarollUtil/Secure.h"

// The RSA certificate serves systems whose version mask is 0 (unknown) or has the oldest
// system's bit 0x1; every other system gets the elliptic-curve certificate.
bool useRsaCertificate(uint32_t osVersionMask);

// Heap copy of the chosen certificate's PEM text.
std::string serverCertificatePem(bool rsa);

// The private key of that certificate as PEM text; nothing when it cannot be unmasked.
std::optional<SecretString> obtainServerKey(bool rsa);

// Wipes the key text and drops it.
void releaseServerKey(std::optional<SecretString>& key);
