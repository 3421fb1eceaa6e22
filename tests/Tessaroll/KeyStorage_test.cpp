// The built-in TLS material: each unmasked key belongs to its certificate, each server
// certificate chains to its root for localhost, 127.0.0.1 and ::1, and the roots carry the
// validity, constraints and usages they are made with.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include "Tessaroll/KeyStorage.h"
#include "helpers/Sandbox.h"

using testing_support::readFile;

namespace {

struct Certificate {
    gnutls_x509_crt_t crt = nullptr;
    explicit Certificate(const std::string& pem) {
        gnutls_x509_crt_init(&crt);
        gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                            static_cast<unsigned>(pem.size())};
        ok = gnutls_x509_crt_import(crt, &data, GNUTLS_X509_FMT_PEM) == 0;
    }
    ~Certificate() { gnutls_x509_crt_deinit(crt); }
    bool ok = false;
};

std::string certsFolder() {
    return std::string(TESSAROLL_BINARY_DIR) + "/generated/certs/";
}

TEST(KeyStorageTest, RsaOnlyForAnUnknownOrTheOldestSystem) {
    const std::pair<uint32_t, bool> cases[] = {{0, true},         {0x1, true},
                                               {0x201, true},     {0x10000, false},
                                               {0x214000, false}, {0x4000, false}};
    for (auto [mask, rsa] : cases) EXPECT_EQ(useRsaCertificate(mask), rsa) << std::hex << mask;
}

TEST(KeyStorageTest, EachKeyBelongsToItsCertificateAndChainsToItsRoot) {
    for (bool rsa : {false, true}) {
        SCOPED_TRACE(rsa ? "RSA" : "EC");
        const std::string certificate = serverCertificatePem(rsa);
        std::optional<SecretString> key = obtainServerKey(rsa);
        ASSERT_TRUE(key);
        EXPECT_TRUE(key->view().starts_with("-----BEGIN "));

        // GnuTLS refuses a key that does not match the certificate.
        gnutls_certificate_credentials_t credentials;
        gnutls_certificate_allocate_credentials(&credentials);
        gnutls_datum_t cert{reinterpret_cast<unsigned char*>(const_cast<char*>(certificate.data())),
                            static_cast<unsigned>(certificate.size())};
        gnutls_datum_t keyData{reinterpret_cast<unsigned char*>(key->data()),
                               static_cast<unsigned>(key->size())};
        EXPECT_GE(
            gnutls_certificate_set_x509_key_mem(credentials, &cert, &keyData, GNUTLS_X509_FMT_PEM),
            0);
        gnutls_certificate_free_credentials(credentials);

        releaseServerKey(key);
        EXPECT_FALSE(key);

        Certificate server(certificate);
        Certificate root(readFile(certsFolder() + (rsa ? "rsa_root.pem" : "ec_root.pem")));
        ASSERT_TRUE(server.ok);
        ASSERT_TRUE(root.ok);
        unsigned status = 1;
        ASSERT_EQ(gnutls_x509_crt_list_verify(&server.crt, 1, &root.crt, 1, nullptr, 0, 0, &status),
                  0);
        EXPECT_EQ(status, 0u);
        for (const char* name : {"localhost", "127.0.0.1", "::1"})
            EXPECT_TRUE(gnutls_x509_crt_check_hostname(server.crt, name)) << name;
        EXPECT_FALSE(gnutls_x509_crt_check_hostname(server.crt, "example.com"));
        EXPECT_EQ(gnutls_x509_crt_get_signature_algorithm(server.crt),
                  rsa ? GNUTLS_SIGN_RSA_SHA256 : GNUTLS_SIGN_ECDSA_SHA256);
    }
}

TEST(KeyStorageTest, RootsAreSelfSignedAuthoritiesOfTheirSpecifiedForm) {
    struct Case {
        const char* file;
        gnutls_pk_algorithm_t key;
        unsigned bits;
        gnutls_sign_algorithm_t signature;
        time_t from, until;  // 2017-04-22 and 2037-04-17, 13:29:17 or 13:29:28 UTC
    };
    const Case cases[] = {
        {"ec_root.pem", GNUTLS_PK_ECDSA, 256, GNUTLS_SIGN_ECDSA_SHA256, 1492867757, 2123587757},
        {"rsa_root.pem", GNUTLS_PK_RSA, 4096, GNUTLS_SIGN_RSA_SHA1, 1492867768, 2123587768}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Certificate root(readFile(certsFolder() + c.file));
        ASSERT_TRUE(root.ok);
        unsigned bits = 0;
        EXPECT_EQ(gnutls_x509_crt_get_pk_algorithm(root.crt, &bits), c.key);
        EXPECT_EQ(bits, c.bits);
        EXPECT_EQ(gnutls_x509_crt_get_signature_algorithm(root.crt), c.signature);
        EXPECT_EQ(gnutls_x509_crt_get_activation_time(root.crt), c.from);
        EXPECT_EQ(gnutls_x509_crt_get_expiration_time(root.crt), c.until);
        unsigned critical = 0;
        EXPECT_EQ(gnutls_x509_crt_get_basic_constraints(root.crt, &critical, nullptr, nullptr), 1);
        EXPECT_EQ(critical, 1u);
        unsigned usage = 0;
        ASSERT_EQ(gnutls_x509_crt_get_key_usage(root.crt, &usage, nullptr), 0);
        const unsigned expected = GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_NON_REPUDIATION |
                                  GNUTLS_KEY_KEY_ENCIPHERMENT | GNUTLS_KEY_DATA_ENCIPHERMENT |
                                  GNUTLS_KEY_KEY_AGREEMENT | GNUTLS_KEY_KEY_CERT_SIGN |
                                  GNUTLS_KEY_CRL_SIGN;
        EXPECT_EQ(usage, expected);
        std::string purposes;
        for (unsigned i = 0;; ++i) {
            char oid[128];
            size_t size = sizeof oid;
            if (gnutls_x509_crt_get_key_purpose_oid(root.crt, i, oid, &size, nullptr) < 0) break;
            purposes += std::string(oid) + " ";
        }
        EXPECT_NE(purposes.find(GNUTLS_KP_TLS_WWW_SERVER), std::string::npos);
        EXPECT_NE(purposes.find(GNUTLS_KP_TLS_WWW_CLIENT), std::string::npos);
        EXPECT_TRUE(gnutls_x509_crt_check_hostname(root.crt, "localhost"));
        unsigned status = 1;
        ASSERT_EQ(gnutls_x509_crt_list_verify(&root.crt, 1, &root.crt, 1, nullptr, 0,
                                              GNUTLS_VERIFY_ALLOW_SIGN_WITH_SHA1, &status),
                  0);
        EXPECT_EQ(status, 0u);
    }
}

}  // namespace
