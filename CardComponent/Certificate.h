// One X.509 certificate and the fields the component reads from it.
#pragma once

#include <gnutls/x509.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace card {

std::string base64Encode(std::string_view bytes);
// Whitespace is ignored; throws CardError(kInvalidArgument) for anything else that is not Base64.
std::string base64Decode(std::string_view text);

class Certificate {
public:
    // Base64 DER or PEM text; throws CardError(kInvalidArgument) when it is neither.
    static Certificate parse(std::string_view text);
    static Certificate fromDer(std::string_view der);

    Certificate(Certificate&& other) noexcept : crt_(other.crt_) { other.crt_ = nullptr; }
    Certificate& operator=(Certificate&& other) noexcept;
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;
    ~Certificate();

    gnutls_x509_crt_t get() const { return crt_; }
    std::string der() const;
    std::string base64() const { return base64Encode(der()); }

    std::string serialNumber() const;  // upper-case hex, no separators
    std::string issuer() const;        // RFC 4514 text
    std::string subject() const;
    std::string notBefore() const;  // "YYYY-MM-DDTHH:MM:SSZ", UTC
    std::string notAfter() const;
    std::string version() const;    // "1", "2" or "3"
    std::string publicKey() const;  // Base64 DER SubjectPublicKeyInfo
    std::string signatureAlgorithm(bool asOid) const;
    std::string extensions() const;  // "oid,critical,base64" joined by ";"
    std::string subjectDirectoryAttribute(std::string_view oid) const;
    std::string policyOids() const;  // joined by ";"
    std::string extendedKeyUsageOids() const;
    std::string citizenIdTail() const;
    std::string organizationId() const;
    std::string holderRank() const;
    int32_t type() const;  // bit 1 signing, bit 2 encryption, 4 a CA

    bool canSign() const;
    bool canEncrypt() const;
    bool isRsa() const;

private:
    explicit Certificate(gnutls_x509_crt_t crt) : crt_(crt) {}
    std::string subjectAttribute(const char* oid) const;
    gnutls_x509_crt_t crt_ = nullptr;
};

// The signature algorithm of signer `index` of a CMS SignedData (Base64 DER or PEM).
std::string cmsSignatureAlgorithm(std::string_view signedData, int index, bool asOid);

}  // namespace card
