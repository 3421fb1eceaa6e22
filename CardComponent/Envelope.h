// Enveloped data (CMS): the content encrypted with AES-256-CBC under a random key, the key
// encrypted to the recipient certificate's RSA key (PKCS #1 v1.5). Any CMS tool can open
// what encryptEnvelope makes, and decryptEnvelope opens what such tools make for the card.
#pragma once

#include "CardComponent/Certificate.h"
#include "TessarollUtil/Secure.h"

#include <gnutls/abstract.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace card {

std::string encryptEnvelope(const Certificate& recipient, std::string_view content);

struct Recipient {
    std::string issuerDer;  // raw DER of the issuer name
    std::string serial;     // INTEGER content octets, without a leading zero
};

// `unwrap` finds the key of one of the recipients and answers the content key decrypted with
// it from that recipient's encrypted key (or throws CardError(kNoKey)). Only it uses the card.
using ContentKeyUnwrap = std::function<SecretString(const std::vector<Recipient>& recipients,
                                                    const std::vector<std::string_view>& keys)>;
std::string decryptEnvelope(std::string_view envelope, const ContentKeyUnwrap& unwrap);

// Raw RSA PKCS #1 v1.5 encryption and decryption of a short message.
std::string rsaEncrypt(const Certificate& recipient, std::string_view message);
std::string rsaDecrypt(gnutls_privkey_t key, std::string_view cipher);

Recipient recipientOf(const Certificate& cert);

}  // namespace card
