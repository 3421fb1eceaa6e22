// Enveloped data (CMS): the content encrypted with AES-256-CBC under a random key, the key
// encrypted to the recipient certificate's RSA key (PKCS #1 v1.5). Any CMS tool can open
// what encryptEnvelope makes, and decryptEnvelope opens what such tools make for the card.
#pragma once

#include "CardComponent/Certificate.h"

#include <gnutls/abstract.h>

#include <functional>
#include <string>
#include <string_view>

namespace card {

std::string encryptEnvelope(const Certificate& recipient, std::string_view content);

struct Recipient {
    std::string issuerDer;  // raw DER of the issuer name
    std::string serial;     // INTEGER content octets, without a leading zero
};

// `keyFor` answers the key that belongs to the recipient (or throws CardError(kNoKey)).
std::string decryptEnvelope(
    std::string_view envelope,
    const std::function<gnutls_privkey_t(const std::vector<Recipient>&, size_t&)>& keyFor);

// Raw RSA PKCS #1 v1.5 encryption and decryption of a short message.
std::string rsaEncrypt(const Certificate& recipient, std::string_view message);
std::string rsaDecrypt(gnutls_privkey_t key, std::string_view cipher);

Recipient recipientOf(const Certificate& cert);

}  // namespace card
