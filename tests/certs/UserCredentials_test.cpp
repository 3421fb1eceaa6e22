// Each user's own credentials as the programs make and check them: a fresh folder gets two
// private sets whose roots have their specified form and vouch only for the loopback
// names; a set that is damaged, mismatched, not the user's alone or near its end is made
// afresh while the other is kept; a folder that is not the user's own is refused; and no
// staged program carries a key.
#include <gtest/gtest.h>

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "certs/UserCredentials.h"
#include "doubles/LogCapture/LogCapture.h"
#include "helpers/Sandbox.h"

namespace fs = std::filesystem;
using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::Sandbox;
using testing_support::writeFile;

namespace {

constexpr uid_t kNobody = 65534;
constexpr CredentialKind kKinds[] = {CredentialKind::EllipticCurve, CredentialKind::Rsa};

struct Certificate {
    explicit Certificate(const std::string& pem) {
        gnutls_x509_crt_init(&crt);
        const gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                                  static_cast<unsigned>(pem.size())};
        ok = gnutls_x509_crt_import(crt, &data, GNUTLS_X509_FMT_PEM) == 0;
    }
    ~Certificate() { gnutls_x509_crt_deinit(crt); }
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;
    gnutls_x509_crt_t crt = nullptr;
    bool ok = false;
};

// Each extension's OID with its critical flag, sorted.
std::vector<std::pair<std::string, unsigned>> extensionsOf(const Certificate& certificate) {
    std::vector<std::pair<std::string, unsigned>> found;
    for (unsigned index = 0;; ++index) {
        char oid[128];
        std::size_t size = sizeof oid;
        unsigned critical = 0;
        if (gnutls_x509_crt_get_extension_info(certificate.crt, index, oid, &size, &critical) != 0)
            break;
        found.emplace_back(oid, critical);
    }
    std::sort(found.begin(), found.end());
    return found;
}

fs::path folder() {
    return userCredentialFolder();
}

std::vector<std::string> setFiles(CredentialKind kind) {
    return {rootFileName(kind), serverFileName(kind), serverKeyFileName(kind)};
}

// The set's three files as they are on disk.
std::map<std::string, std::string> setText(CredentialKind kind) {
    std::map<std::string, std::string> text;
    for (const std::string& name : setFiles(kind)) text[name] = readFile(folder() / name);
    return text;
}

fs::perms modeOf(const fs::path& path) {
    return fs::symlink_status(path).permissions();
}

// The set a program would serve with: the key fits the certificate, the root issued it for
// the loopback names.
void expectServable(CredentialKind kind) {
    std::optional<CredentialSet> set = loadUserCredentials(kind);
    ASSERT_TRUE(set);
    gnutls_certificate_credentials_t credentials;
    gnutls_certificate_allocate_credentials(&credentials);
    const gnutls_datum_t cert{reinterpret_cast<unsigned char*>(set->serverPem.data()),
                              static_cast<unsigned>(set->serverPem.size())};
    const gnutls_datum_t key{reinterpret_cast<unsigned char*>(set->serverKeyPem.data()),
                             static_cast<unsigned>(set->serverKeyPem.size())};
    EXPECT_GE(gnutls_certificate_set_x509_key_mem(credentials, &cert, &key, GNUTLS_X509_FMT_PEM),
              0);
    gnutls_certificate_free_credentials(credentials);
    Certificate root(set->rootPem), server(set->serverPem);
    ASSERT_TRUE(root.ok && server.ok);
    unsigned status = 1;
    gnutls_x509_crt_t ca = root.crt;
    EXPECT_EQ(gnutls_x509_crt_verify(server.crt, &ca, 1, 0, &status), 0);
    EXPECT_EQ(status, 0u);
    for (const char* name : {"localhost", "127.0.0.1", "::1"})
        EXPECT_TRUE(gnutls_x509_crt_check_hostname(server.crt, name)) << name;
    EXPECT_FALSE(gnutls_x509_crt_check_hostname(server.crt, "example.com"));
}

// One fresh folder made for the whole suite: an RSA root takes seconds.
class FreshCredentials : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sandbox = new Sandbox;
        fs::remove_all(sandbox->credentialFolder());
        madeAt = std::time(nullptr);
        const auto start = std::chrono::steady_clock::now();
        made = prepareUserCredentials();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    static void TearDownTestSuite() {
        delete sandbox;
        sandbox = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(made);
        RecordProperty("seconds_to_make_both_sets", std::to_string(seconds));
    }
    static inline Sandbox* sandbox = nullptr;
    static inline bool made = false;
    static inline std::time_t madeAt = 0;
    static inline double seconds = 0;
};

TEST_F(FreshCredentials, TheFolderAndEveryFileAreTheUsersAlone) {
    struct stat status {};
    ASSERT_EQ(::lstat(folder().c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_EQ(status.st_uid, ::geteuid());
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder())) {
        ++files;
        ASSERT_EQ(::lstat(entry.path().c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode)) << entry.path();
        EXPECT_EQ(status.st_mode & 07777, 0600u) << entry.path();
        EXPECT_EQ(status.st_uid, ::geteuid()) << entry.path();
    }
    EXPECT_EQ(files, 7u);  // two sets of three, and the lock
    for (CredentialKind kind : kKinds) expectServable(kind);
}

TEST_F(FreshCredentials, RootsAreSelfSignedAuthoritiesOfTheirSpecifiedForm) {
    struct Case {
        CredentialKind kind;
        gnutls_pk_algorithm_t key;
        unsigned bits;
        gnutls_sign_algorithm_t signature;
    };
    const Case cases[] = {
        {CredentialKind::EllipticCurve, GNUTLS_PK_ECDSA, 256, GNUTLS_SIGN_ECDSA_SHA256},
        {CredentialKind::Rsa, GNUTLS_PK_RSA, 4096, GNUTLS_SIGN_RSA_SHA1}};
    std::string subjects[2];
    for (const auto& c : cases) {
        SCOPED_TRACE(rootFileName(c.kind));
        Certificate root(readFile(folder() / rootFileName(c.kind)));
        ASSERT_TRUE(root.ok);
        unsigned bits = 0;
        EXPECT_EQ(gnutls_x509_crt_get_pk_algorithm(root.crt, &bits), c.key);
        EXPECT_EQ(bits, c.bits);
        EXPECT_EQ(gnutls_x509_crt_get_signature_algorithm(root.crt), c.signature);
        // Valid from a little before it was made, for twenty years.
        const time_t from = gnutls_x509_crt_get_activation_time(root.crt);
        const time_t until = gnutls_x509_crt_get_expiration_time(root.crt);
        EXPECT_LE(from, madeAt);
        EXPECT_GE(from, madeAt - 2 * 3600);
        EXPECT_GE(until - madeAt, time_t{20} * 365 * 24 * 3600 - 60);
        unsigned critical = 0;
        EXPECT_EQ(gnutls_x509_crt_get_basic_constraints(root.crt, &critical, nullptr, nullptr), 1);
        EXPECT_EQ(critical, 1u);
        unsigned usage = 0;
        ASSERT_EQ(gnutls_x509_crt_get_key_usage(root.crt, &usage, &critical), 0);
        const unsigned expected = GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_NON_REPUDIATION |
                                  GNUTLS_KEY_KEY_ENCIPHERMENT | GNUTLS_KEY_DATA_ENCIPHERMENT |
                                  GNUTLS_KEY_KEY_AGREEMENT | GNUTLS_KEY_KEY_CERT_SIGN |
                                  GNUTLS_KEY_CRL_SIGN;
        EXPECT_EQ(usage, expected);
        EXPECT_EQ(critical, 1u);
        std::string purposes;
        for (unsigned i = 0;; ++i) {
            char oid[128];
            size_t size = sizeof oid;
            if (gnutls_x509_crt_get_key_purpose_oid(root.crt, i, oid, &size, nullptr) < 0) break;
            purposes += std::string(oid) + " ";
        }
        EXPECT_EQ(purposes,
                  std::string(GNUTLS_KP_TLS_WWW_SERVER) + " " + GNUTLS_KP_TLS_WWW_CLIENT + " ");
        EXPECT_TRUE(gnutls_x509_crt_check_hostname(root.crt, "localhost"));
        unsigned status = 1;
        ASSERT_EQ(gnutls_x509_crt_list_verify(&root.crt, 1, &root.crt, 1, nullptr, 0,
                                              GNUTLS_VERIFY_ALLOW_SIGN_WITH_SHA1, &status),
                  0);
        EXPECT_EQ(status, 0u);
        gnutls_datum_t dn{};
        ASSERT_EQ(gnutls_x509_crt_get_dn3(root.crt, &dn, 0), 0);
        subjects[c.kind == CredentialKind::Rsa] = reinterpret_cast<const char*>(dn.data);
        gnutls_free(dn.data);
    }
    // One authority: both roots carry the same subject.
    EXPECT_EQ(subjects[0], "CN=ZEFAGPKI Tessaroll Root CA,O=ZEFAGPKI");
    EXPECT_EQ(subjects[0], subjects[1]);
}

TEST_F(FreshCredentials, RootsPermitOnlyLoopbackNamesAndIssueTheServerCertificates) {
    const std::vector<std::pair<std::string, unsigned>> rootExtensions = {
        {"2.5.29.14", 0},  // subject key identifier
        {"2.5.29.15", 1},  // key usage
        {"2.5.29.17", 0},  // DNS localhost
        {"2.5.29.19", 1},  // a CA
        {"2.5.29.30", 1},  // name constraints
        {"2.5.29.37", 0},  // TLS server and client
    };
    struct Name {
        gnutls_x509_subject_alt_name_t type;
        std::string value;  // DNS text, or the address bytes
        bool permitted;
    };
    auto v4 = [](std::initializer_list<unsigned char> b) {
        return std::string(b.begin(), b.end());
    };
    std::string loopback6(16, '\0'), other6(16, '\0');
    loopback6[15] = 1;
    other6[15] = 2;
    const Name names[] = {
        {GNUTLS_SAN_DNSNAME, "localhost", true},
        {GNUTLS_SAN_DNSNAME, "example.com", false},
        {GNUTLS_SAN_DNSNAME, "localhost.example.com", false},
        {GNUTLS_SAN_IPADDRESS, v4({127, 0, 0, 1}), true},
        {GNUTLS_SAN_IPADDRESS, v4({127, 0, 0, 2}), false},
        {GNUTLS_SAN_IPADDRESS, v4({192, 0, 2, 1}), false},
        {GNUTLS_SAN_IPADDRESS, loopback6, true},
        {GNUTLS_SAN_IPADDRESS, other6, false},
    };
    for (CredentialKind kind : kKinds) {
        SCOPED_TRACE(rootFileName(kind));
        Certificate root(readFile(folder() / rootFileName(kind)));
        Certificate server(readFile(folder() / serverFileName(kind)));
        ASSERT_TRUE(root.ok && server.ok);
        EXPECT_EQ(extensionsOf(root), rootExtensions);

        gnutls_x509_name_constraints_t constraints;
        gnutls_x509_name_constraints_init(&constraints);
        unsigned critical = 0;
        ASSERT_EQ(gnutls_x509_crt_get_name_constraints(root.crt, constraints, 0, &critical), 0);
        EXPECT_EQ(critical, 1u);
        for (const Name& name : names) {
            const gnutls_datum_t value{
                reinterpret_cast<unsigned char*>(const_cast<char*>(name.value.data())),
                static_cast<unsigned>(name.value.size())};
            EXPECT_EQ(gnutls_x509_name_constraints_check(constraints, name.type, &value) != 0,
                      name.permitted)
                << name.value.size() << " "
                << (name.type == GNUTLS_SAN_DNSNAME ? name.value : "address");
        }
        gnutls_x509_name_constraints_deinit(constraints);

        // The server certificate: not an authority, signed with SHA-256, for TLS servers.
        EXPECT_EQ(gnutls_x509_crt_get_ca_status(server.crt, &critical), 0);
        EXPECT_EQ(gnutls_x509_crt_get_signature_algorithm(server.crt),
                  kind == CredentialKind::Rsa ? GNUTLS_SIGN_RSA_SHA256 : GNUTLS_SIGN_ECDSA_SHA256);
        char oid[128];
        size_t size = sizeof oid;
        ASSERT_EQ(gnutls_x509_crt_get_key_purpose_oid(server.crt, 0, oid, &size, nullptr), 0);
        EXPECT_STREQ(oid, GNUTLS_KP_TLS_WWW_SERVER);
        expectServable(kind);
    }
    // Each root issued its own server certificate only, although both share one subject.
    Certificate ecRoot(readFile(folder() / rootFileName(CredentialKind::EllipticCurve)));
    Certificate rsaServer(readFile(folder() / serverFileName(CredentialKind::Rsa)));
    unsigned status = 0;
    gnutls_x509_crt_t ca = ecRoot.crt;
    gnutls_x509_crt_verify(rsaServer.crt, &ca, 1, 0, &status);
    EXPECT_NE(status, 0u);
}

TEST_F(FreshCredentials, ALaterStartKeepsTheSets) {
    const auto ec = setText(CredentialKind::EllipticCurve);
    const auto rsa = setText(CredentialKind::Rsa);
    ASSERT_TRUE(prepareUserCredentials());
    EXPECT_EQ(setText(CredentialKind::EllipticCurve), ec);
    EXPECT_EQ(setText(CredentialKind::Rsa), rsa);
}

// A sandbox starts with the build's test set, so damaging the elliptic-curve set costs no
// RSA root.
TEST(PlacedCredentials, ASetThatCannotBeServedIsMadeAfreshAndTheOtherIsKept) {
    const CredentialKind ec = CredentialKind::EllipticCurve;
    struct Case {
        const char* name;
        void (*damage)();
        const char* logged;  // a line that says why, where one is written
    };
    const Case cases[] = {
        {"no key", [] { fs::remove(folder() / serverKeyFileName(CredentialKind::EllipticCurve)); },
         ""},
        {"a damaged certificate",
         [] { writeFile(folder() / serverFileName(CredentialKind::EllipticCurve), "-----BEGIN"); },
         ""},
        {"the key of the other set",
         [] {
             fs::copy_file(folder() / serverKeyFileName(CredentialKind::Rsa),
                           folder() / serverKeyFileName(CredentialKind::EllipticCurve),
                           fs::copy_options::overwrite_existing);
         },
         ""},
        {"a root that is no authority",
         [] {
             // An elliptic-curve certificate of the right kind, but no authority.
             fs::copy_file(folder() / serverFileName(CredentialKind::EllipticCurve),
                           folder() / rootFileName(CredentialKind::EllipticCurve),
                           fs::copy_options::overwrite_existing);
         },
         ""},
        {"a key others may read",
         [] {
             fs::permissions(folder() / serverKeyFileName(CredentialKind::EllipticCurve),
                             fs::perms::others_read, fs::perm_options::add);
         },
         "[Warning] Credential file refused, others may read it: ec_server.key"},
        {"a link in place of the key",
         [] {
             const fs::path key = folder() / serverKeyFileName(CredentialKind::EllipticCurve);
             const fs::path elsewhere = folder().parent_path() / "copied.key";
             fs::rename(key, elsewhere);
             fs::create_symlink(elsewhere, key);
         },
         "[Warning] Credential file refused, unreadable: ec_server.key"},
        {"a certificate of another user",
         [] {
             const fs::path file = folder() / serverFileName(CredentialKind::EllipticCurve);
             ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
         },
         "[Warning] Credential file refused, it belongs to another user: ec_server.pem (uid "
         "65534)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;  // a sandbox of its own, with the test set in place
        if (std::string(c.name) == "a certificate of another user" && ::geteuid() != 0) continue;
        const auto before = setText(ec);
        const auto rsa = setText(CredentialKind::Rsa);
        c.damage();
        ASSERT_TRUE(prepareUserCredentials());
        EXPECT_TRUE(log.contains("Making the user's root and server certificate: ECC"));
        EXPECT_FALSE(log.contains("Making the user's root and server certificate: RSA"));
        if (*c.logged) {
            EXPECT_TRUE(log.contains(c.logged)) << c.logged;
        }
        const auto after = setText(ec);
        for (const std::string& name : setFiles(ec)) {
            EXPECT_NE(after.at(name), before.at(name)) << name;
            struct stat status {};
            ASSERT_EQ(::lstat((folder() / name).c_str(), &status), 0);
            EXPECT_TRUE(S_ISREG(status.st_mode)) << name;
            EXPECT_EQ(status.st_mode & 07777, 0600u) << name;
            EXPECT_EQ(status.st_uid, ::geteuid()) << name;
        }
        EXPECT_EQ(setText(CredentialKind::Rsa), rsa);
        expectServable(ec);
    }
}

TEST(PlacedCredentials, SetsNearTheirEndAreMadeAfreshForAnotherTwentyYears) {
    LogCapture log;
    Certificate placed(readFile(folder() / rootFileName(CredentialKind::EllipticCurve)));
    ASSERT_TRUE(placed.ok);
    const std::time_t end = gnutls_x509_crt_get_expiration_time(placed.crt);
    const auto ec = setText(CredentialKind::EllipticCurve);
    const auto rsa = setText(CredentialKind::Rsa);

    ASSERT_TRUE(prepareUserCredentials(end - kRenewalMargin - 24 * 3600));
    EXPECT_EQ(setText(CredentialKind::EllipticCurve), ec) << "renewed before its time";
    EXPECT_EQ(setText(CredentialKind::Rsa), rsa);

    const std::time_t later = end - 24 * 3600;
    ASSERT_TRUE(prepareUserCredentials(later));
    for (CredentialKind kind : kKinds) {
        Certificate root(readFile(folder() / rootFileName(kind)));
        Certificate server(readFile(folder() / serverFileName(kind)));
        ASSERT_TRUE(root.ok && server.ok);
        for (gnutls_x509_crt_t crt : {root.crt, server.crt}) {
            EXPECT_LE(gnutls_x509_crt_get_activation_time(crt), later);
            EXPECT_GT(gnutls_x509_crt_get_expiration_time(crt), later + 19 * 365 * 24 * 3600LL);
        }
    }
    EXPECT_NE(setText(CredentialKind::Rsa), rsa);
    // Made for a time still to come, they are not valid yet today: made again.
    const auto future = setText(CredentialKind::EllipticCurve);
    ASSERT_TRUE(prepareUserCredentials());
    EXPECT_NE(setText(CredentialKind::EllipticCurve), future);
    expectServable(CredentialKind::EllipticCurve);
}

TEST(PlacedCredentials, AFolderThatIsNotTheUsersOwnIsRefusedAndLeftAsItIs) {
    struct Case {
        const char* name;
        void (*change)();
        const char* logged;
        bool rootOnly;
    };
    const Case cases[] = {
        {"a link to a folder of the user's",
         [] {
             const fs::path real = folder().parent_path() / "real";
             fs::rename(folder(), real);
             fs::create_directory_symlink(real, folder());
         },
         "[Error] Credential folder refused, a link or not a folder: ", false},
        {"another user's folder", [] { ASSERT_EQ(::chown(folder().c_str(), kNobody, kNobody), 0); },
         "[Error] Credential folder refused, it belongs to another user: ", true},
        {"a file in its place",
         [] {
             fs::remove_all(folder());
             writeFile(folder(), "not a folder");
         },
         "[Error] Credential folder refused, a link or not a folder: ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.rootOnly && ::geteuid() != 0) continue;
        LogCapture log;
        c.change();
        const fs::path real = fs::is_symlink(folder()) ? fs::read_symlink(folder()) : folder();
        std::map<std::string, std::string> before;
        if (fs::is_directory(real))
            for (const auto& entry : fs::directory_iterator(real))
                before[entry.path().filename()] = readFile(entry.path());
        EXPECT_FALSE(prepareUserCredentials());
        EXPECT_FALSE(loadUserCredentials(CredentialKind::EllipticCurve));
        EXPECT_TRUE(log.contains(c.logged + folder().string())) << c.logged;
        std::map<std::string, std::string> after;
        if (fs::is_directory(real))
            for (const auto& entry : fs::directory_iterator(real))
                after[entry.path().filename()] = readFile(entry.path());
        EXPECT_EQ(after, before);
    }
}

TEST(PlacedCredentials, AFolderOfTheUsersThatOthersMayEnterIsClosedAndKept) {
    Sandbox sandbox;
    fs::permissions(folder(),
                    fs::perms::group_all | fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    const auto ec = setText(CredentialKind::EllipticCurve);
    ASSERT_TRUE(prepareUserCredentials());
    EXPECT_EQ(modeOf(folder()), fs::perms::owner_all);
    EXPECT_EQ(setText(CredentialKind::EllipticCurve), ec);
}

// What the issue found: a key, masked or not, and its symbols in a world-readable program.
TEST(StagedPrograms, HoldNoKeyAndNoCertificateOfTheTests) {
    std::vector<std::string> forbidden = {"PRIVATE KEY", "KeyMasked", "KeyPad"};
    for (const char* file : {"ec_server.key", "rsa_server.key", "ec_server.pem", "ec_root.pem"}) {
        // The second line of each PEM file: Base64 that only that file holds.
        const std::string text =
            readFile(fs::path(TESSAROLL_BINARY_DIR) / "generated/certs" / file);
        const std::size_t first = text.find('\n') + 1;
        forbidden.push_back(text.substr(first, text.find('\n', first) - first));
    }
    std::size_t programs = 0;
    for (const auto& entry : fs::recursive_directory_iterator(TESSAROLL_STAGE_DIR)) {
        if (!entry.is_regular_file()) continue;
        ++programs;
        const std::string bytes = readFile(entry.path());
        for (const std::string& text : forbidden)
            EXPECT_EQ(bytes.find(text), std::string::npos) << entry.path() << " holds " << text;
    }
    EXPECT_GE(programs, 4u);
}

}  // namespace
