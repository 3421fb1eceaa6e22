// The key storage over a user's credential folder: each key it hands out belongs to its
// certificate, each server certificate chains to the user's root for localhost, 127.0.0.1
// and ::1, and a released key is gone. (How the sets are made and checked:
// tests/certs/UserCredentials_test.cpp.)
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

TEST(KeyStorageTest, RsaOnlyForAnUnknownOrTheOldestSystem) {
    const std::pair<uint32_t, bool> cases[] = {{0, true},         {0x1, true},
                                               {0x201, true},     {0x10000, false},
                                               {0x214000, false}, {0x4000, false}};
    for (auto [mask, rsa] : cases) EXPECT_EQ(useRsaCertificate(mask), rsa) << std::hex << mask;
}

TEST(KeyStorageTest, EachKeyBelongsToItsCertificateAndChainsToItsRoot) {
    testing_support::Sandbox sandbox;
    ASSERT_TRUE(prepareServerCredentials());
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
        Certificate root(
            readFile(sandbox.credentialFolder() / (rsa ? "rsa_root.pem" : "ec_root.pem")));
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

}  // namespace
