// Enveloped XML signatures. The document names where the signature goes with a signature
// template (a ds:Signature element, chosen by its Id) or, when it has none, gets a complete
// one as the last child of its root. References are the whole document (URI ""), an element
// of it ("#id") or a file in one of the reference folders; canonicalisation is exclusive
// XML canonicalisation by libxml2.
#pragma once

#include "CardComponent/Certificate.h"

#include <gnutls/gnutls.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace card {

struct XmlSigningOptions {
    std::string signId;  // Id of the template, or of the new signature
    gnutls_digest_algorithm_t digest = GNUTLS_DIG_SHA256;
    std::vector<std::string> referenceDirs;  // where external references are looked up
    bool keepGivenDigests = false;           // a DigestValue already filled in stays
};

// Fills every reference's DigestValue; answers the document with the prepared signature
// (SignatureValue left empty). Throws CardError(kInvalidArgument) for XML that does not parse.
std::string prepareXmlSignature(std::string_view xml, const XmlSigningOptions& options);

// `sign` gets the canonical SignedInfo and answers the SignatureValue bytes (for ECDSA the
// r and s halves side by side, as XML signatures carry them).
using XmlSignFunction =
    std::function<std::string(std::string_view signedInfo, gnutls_digest_algorithm_t)>;
std::string signXml(std::string_view xml, const XmlSigningOptions& options,
                    const Certificate& signer, const XmlSignFunction& sign);

}  // namespace card
