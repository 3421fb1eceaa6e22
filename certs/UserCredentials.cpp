#include "certs/UserCredentials.h"

#include <fcntl.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "TessarollUtil/Log.h"
#include "platform/Folders.h"

namespace {

constexpr std::time_t kValidity = std::time_t{20} * 365 * 24 * 3600;
// A clock set back a little after the start must not make a fresh set not yet valid.
constexpr std::time_t kClockSlack = 3600;
// A second program making the sets meanwhile takes seconds (an RSA root), never minutes.
constexpr auto kLockLimit = std::chrono::seconds(120);

const char* label(CredentialKind kind) {
    return kind == CredentialKind::Rsa ? "RSA" : "ECC";
}

std::string stem(CredentialKind kind) {
    return kind == CredentialKind::Rsa ? "rsa" : "ec";
}

gnutls_pk_algorithm_t algorithmOf(CredentialKind kind) {
    return kind == CredentialKind::Rsa ? GNUTLS_PK_RSA : GNUTLS_PK_ECDSA;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

struct CertificateDeleter {
    void operator()(gnutls_x509_crt_int* crt) const { gnutls_x509_crt_deinit(crt); }
};
struct KeyDeleter {
    // Deinit zeroes the key's numbers before it frees them.
    void operator()(gnutls_x509_privkey_int* key) const { gnutls_x509_privkey_deinit(key); }
};
using Certificate = std::unique_ptr<gnutls_x509_crt_int, CertificateDeleter>;
using PrivateKey = std::unique_ptr<gnutls_x509_privkey_int, KeyDeleter>;

Certificate newCertificate() {
    gnutls_x509_crt_t crt = nullptr;
    return Certificate(gnutls_x509_crt_init(&crt) >= 0 ? crt : nullptr);
}

PrivateKey newKey() {
    gnutls_x509_privkey_t key = nullptr;
    return PrivateKey(gnutls_x509_privkey_init(&key) >= 0 ? key : nullptr);
}

gnutls_datum_t datumOf(std::string_view text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
            static_cast<unsigned>(text.size())};
}

Certificate importCertificate(std::string_view pem) {
    Certificate crt = newCertificate();
    const gnutls_datum_t data = datumOf(pem);
    if (!crt || gnutls_x509_crt_import(crt.get(), &data, GNUTLS_X509_FMT_PEM) < 0) return nullptr;
    return crt;
}

PrivateKey importKey(std::string_view pem) {
    PrivateKey key = newKey();
    const gnutls_datum_t data = datumOf(pem);
    if (!key || gnutls_x509_privkey_import2(key.get(), &data, GNUTLS_X509_FMT_PEM, nullptr, 0) < 0)
        return nullptr;
    return key;
}

// --- The folder and its files -----------------------------------------------------------

// Opens the folder, making it (0700) when missing; refused, with a log line, when it is a
// link, not a folder, or another user's. A folder of the user's that others may enter is
// closed to them first.
std::optional<Descriptor> openPrivateFolder(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        writeErrorLog("Credential folder cannot be made: ", path);
        return std::nullopt;
    }
    Descriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (folder.get() < 0 || ::fstat(folder.get(), &status) != 0) {
        writeErrorLog("Credential folder refused, a link or not a folder: ", path);
        return std::nullopt;
    }
    if (status.st_uid != ::geteuid()) {
        writeErrorLog("Credential folder refused, it belongs to another user: ",
                      path + " (uid " + std::to_string(status.st_uid) + ")");
        return std::nullopt;
    }
    if ((status.st_mode & 077) != 0 && ::fchmod(folder.get(), 0700) != 0) {
        writeErrorLog("Credential folder cannot be made private: ", path);
        return std::nullopt;
    }
    return folder;
}

// Holds the folder's lock file locked (`operation` LOCK_EX or LOCK_SH) for as long as it
// lives, so one program makes the sets while the others wait and then read them whole.
std::optional<Descriptor> lockFolder(const Descriptor& folder, int operation) {
    Descriptor lock(
        ::openat(folder.get(), ".lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (lock.get() < 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + kLockLimit;
    while (::flock(lock.get(), operation | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return lock;
}

// A file of the set: a regular file of the user's that nobody else can read, opened
// without following a link. Nothing when it is missing; a file that is there but fails
// the test is logged and counts as missing, so the set is made afresh over it.
std::optional<SecretString> readPrivateFile(const Descriptor& folder, const std::string& name) {
    Descriptor file(
        ::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno != ENOENT) writeWarningLog("Credential file refused, unreadable: ", name);
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        writeWarningLog("Credential file refused, not a regular file: ", name);
        return std::nullopt;
    }
    if (status.st_uid != ::geteuid()) {
        writeWarningLog("Credential file refused, it belongs to another user: ",
                        name + " (uid " + std::to_string(status.st_uid) + ")");
        return std::nullopt;
    }
    if ((status.st_mode & 077) != 0) {
        writeWarningLog("Credential file refused, others may read it: ", name);
        return std::nullopt;
    }
    SecretString text;
    std::array<char, 4096> block{};
    for (;;) {
        const ssize_t got = ::read(file.get(), block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        text.append(block.data(), static_cast<std::size_t>(got));
    }
    secureWipe(block.data(), block.size());
    return text;
}

// Replaces the file as a whole: written to a private temporary file, then renamed over it.
bool writePrivateFile(const Descriptor& folder, const std::string& name, std::string_view text) {
    const std::string fresh = name + ".new";
    ::unlinkat(folder.get(), fresh.c_str(), 0);
    Descriptor file(::openat(folder.get(), fresh.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0) return false;
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t put = ::write(file.get(), text.data() + written, text.size() - written);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        written += static_cast<std::size_t>(put);
    }
    const bool whole = written == text.size() && ::fsync(file.get()) == 0;
    if (!whole || ::renameat(folder.get(), fresh.c_str(), folder.get(), name.c_str()) != 0) {
        ::unlinkat(folder.get(), fresh.c_str(), 0);
        return false;
    }
    return true;
}

std::optional<CredentialSet> readSet(const Descriptor& folder, CredentialKind kind) {
    auto root = readPrivateFile(folder, rootFileName(kind));
    auto server = root ? readPrivateFile(folder, serverFileName(kind)) : std::nullopt;
    auto key = server ? readPrivateFile(folder, serverKeyFileName(kind)) : std::nullopt;
    if (!key) return std::nullopt;
    return CredentialSet{std::string(root->view()), std::string(server->view()), std::move(*key)};
}

bool writeSet(const Descriptor& folder, CredentialKind kind, const CredentialSet& set) {
    // The root last: a set whose root is new is whole.
    return writePrivateFile(folder, serverKeyFileName(kind), set.serverKeyPem.view()) &&
           writePrivateFile(folder, serverFileName(kind), set.serverPem) &&
           writePrivateFile(folder, rootFileName(kind), set.rootPem) && ::fsync(folder.get()) == 0;
}

// --- Checking a set -----------------------------------------------------------------------

bool validAround(gnutls_x509_crt_t crt, std::time_t now) {
    const std::time_t from = gnutls_x509_crt_get_activation_time(crt);
    const std::time_t until = gnutls_x509_crt_get_expiration_time(crt);
    return from != -1 && until != -1 && from <= now && until - kRenewalMargin > now;
}

bool sameKeyId(gnutls_x509_crt_t crt, gnutls_x509_privkey_t key) {
    std::array<unsigned char, 64> ofCertificate{}, ofKey{};
    std::size_t certificateSize = ofCertificate.size(), keySize = ofKey.size();
    return gnutls_x509_crt_get_key_id(crt, GNUTLS_KEYID_USE_SHA256, ofCertificate.data(),
                                      &certificateSize) >= 0 &&
           gnutls_x509_privkey_get_key_id(key, GNUTLS_KEYID_USE_SHA256, ofKey.data(), &keySize) >=
               0 &&
           certificateSize == keySize &&
           std::memcmp(ofCertificate.data(), ofKey.data(), keySize) == 0;
}

bool usable(CredentialKind kind, const CredentialSet& set, std::time_t now) {
    Certificate root = importCertificate(set.rootPem);
    Certificate server = importCertificate(set.serverPem);
    PrivateKey key = importKey(set.serverKeyPem.view());
    if (!root || !server || !key) return false;
    const gnutls_pk_algorithm_t algorithm = algorithmOf(kind);
    unsigned status = 1;
    gnutls_x509_crt_t issuer = root.get();
    return gnutls_x509_crt_get_pk_algorithm(root.get(), nullptr) == algorithm &&
           gnutls_x509_crt_get_pk_algorithm(server.get(), nullptr) == algorithm &&
           gnutls_x509_crt_get_ca_status(root.get(), nullptr) == 1 &&
           sameKeyId(server.get(), key.get()) &&
           gnutls_x509_crt_verify(server.get(), &issuer, 1, GNUTLS_VERIFY_DISABLE_TIME_CHECKS,
                                  &status) >= 0 &&
           status == 0 && validAround(root.get(), now) && validAround(server.get(), now);
}

// --- Making a set -------------------------------------------------------------------------

constexpr std::string_view kOrganization = "ZEFAGPKI";
constexpr std::string_view kRootName = "ZEFAGPKI Tessaroll Root CA";
constexpr std::string_view kServerName = "localhost";
constexpr std::array<unsigned char, 4> kIpv4Loopback{127, 0, 0, 1};
constexpr std::array<unsigned char, 16> kIpv6Loopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                      0, 0, 0, 0, 0, 0, 0, 1};

bool setSerial(gnutls_x509_crt_t crt) {
    std::array<unsigned char, 16> serial{};
    if (gnutls_rnd(GNUTLS_RND_NONCE, serial.data(), serial.size()) < 0) return false;
    serial[0] = static_cast<unsigned char>((serial[0] & 0x7F) | 0x40);  // positive, 16 bytes
    return gnutls_x509_crt_set_serial(crt, serial.data(), serial.size()) >= 0;
}

bool setSubjectKeyId(gnutls_x509_crt_t crt) {
    std::array<unsigned char, 64> id{};
    std::size_t size = id.size();
    return gnutls_x509_crt_get_key_id(crt, GNUTLS_KEYID_USE_SHA1, id.data(), &size) >= 0 &&
           gnutls_x509_crt_set_subject_key_id(crt, id.data(), size) >= 0;
}

bool setName(gnutls_x509_crt_t crt, const char* oid, std::string_view value) {
    return gnutls_x509_crt_set_dn_by_oid(crt, oid, 0, value.data(),
                                         static_cast<unsigned>(value.size())) >= 0;
}

// What both certificates of a set share: version, a random serial, the subject, the
// validity, the key and its identifier.
bool describe(gnutls_x509_crt_t crt, gnutls_x509_privkey_t key, std::string_view commonName,
              std::time_t from, std::time_t until) {
    return gnutls_x509_crt_set_version(crt, 3) >= 0 && setSerial(crt) &&
           setName(crt, GNUTLS_OID_X520_ORGANIZATION_NAME, kOrganization) &&
           setName(crt, GNUTLS_OID_X520_COMMON_NAME, commonName) &&
           gnutls_x509_crt_set_activation_time(crt, from) >= 0 &&
           gnutls_x509_crt_set_expiration_time(crt, until) >= 0 &&
           gnutls_x509_crt_set_key(crt, key) >= 0 && setSubjectKeyId(crt);
}

// A trusted root may vouch only for the loopback names (marked critical, so a verifier
// that does not know the constraint refuses the root rather than ignoring it).
bool setLoopbackConstraints(gnutls_x509_crt_t crt) {
    gnutls_x509_name_constraints_t constraints = nullptr;
    if (gnutls_x509_name_constraints_init(&constraints) < 0) return false;
    const std::array<unsigned char, 8> ipv4{127, 0, 0, 1, 255, 255, 255, 255};
    std::array<unsigned char, 32> ipv6{};
    std::copy(kIpv6Loopback.begin(), kIpv6Loopback.end(), ipv6.begin());
    std::fill(ipv6.begin() + 16, ipv6.end(), 0xFF);
    const gnutls_datum_t dns = datumOf(kServerName);
    const gnutls_datum_t v4{const_cast<unsigned char*>(ipv4.data()), ipv4.size()};
    const gnutls_datum_t v6{ipv6.data(), ipv6.size()};
    const bool set =
        gnutls_x509_name_constraints_add_permitted(constraints, GNUTLS_SAN_DNSNAME, &dns) >= 0 &&
        gnutls_x509_name_constraints_add_permitted(constraints, GNUTLS_SAN_IPADDRESS, &v4) >= 0 &&
        gnutls_x509_name_constraints_add_permitted(constraints, GNUTLS_SAN_IPADDRESS, &v6) >= 0 &&
        gnutls_x509_crt_set_name_constraints(crt, constraints, 1) >= 0;
    gnutls_x509_name_constraints_deinit(constraints);
    return set;
}

bool makeRoot(CredentialKind kind, gnutls_x509_crt_t root, gnutls_x509_privkey_t key,
              std::time_t from, std::time_t until) {
    const unsigned usages = GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_NON_REPUDIATION |
                            GNUTLS_KEY_KEY_ENCIPHERMENT | GNUTLS_KEY_DATA_ENCIPHERMENT |
                            GNUTLS_KEY_KEY_AGREEMENT | GNUTLS_KEY_KEY_CERT_SIGN |
                            GNUTLS_KEY_CRL_SIGN;
    return describe(root, key, kRootName, from, until) &&
           gnutls_x509_crt_set_basic_constraints(root, 1, -1) >= 0 &&
           gnutls_x509_crt_set_key_usage(root, usages) >= 0 &&
           gnutls_x509_crt_set_key_purpose_oid(root, GNUTLS_KP_TLS_WWW_SERVER, 0) >= 0 &&
           gnutls_x509_crt_set_key_purpose_oid(root, GNUTLS_KP_TLS_WWW_CLIENT, 0) >= 0 &&
           gnutls_x509_crt_set_subject_alt_name(root, GNUTLS_SAN_DNSNAME, kServerName.data(),
                                                kServerName.size(), GNUTLS_FSAN_SET) >= 0 &&
           setLoopbackConstraints(root) &&
           // The RSA root's self-signature is SHA-1, as the RSA root was always made; no
           // verifier checks a trust anchor's own signature.
           gnutls_x509_crt_sign2(root, root, key,
                                 kind == CredentialKind::Rsa ? GNUTLS_DIG_SHA1 : GNUTLS_DIG_SHA256,
                                 0) >= 0;
}

bool makeServer(CredentialKind kind, gnutls_x509_crt_t server, gnutls_x509_privkey_t key,
                gnutls_x509_crt_t root, gnutls_x509_privkey_t rootKey, std::time_t from,
                std::time_t until) {
    const unsigned usages = GNUTLS_KEY_DIGITAL_SIGNATURE |
                            (kind == CredentialKind::Rsa ? GNUTLS_KEY_KEY_ENCIPHERMENT : 0);
    std::array<unsigned char, 64> rootId{};
    std::size_t rootIdSize = rootId.size();
    return describe(server, key, kServerName, from, until) &&
           gnutls_x509_crt_set_basic_constraints(server, 0, -1) >= 0 &&
           gnutls_x509_crt_set_key_usage(server, usages) >= 0 &&
           gnutls_x509_crt_set_key_purpose_oid(server, GNUTLS_KP_TLS_WWW_SERVER, 0) >= 0 &&
           gnutls_x509_crt_set_subject_alt_name(server, GNUTLS_SAN_DNSNAME, kServerName.data(),
                                                kServerName.size(), GNUTLS_FSAN_SET) >= 0 &&
           gnutls_x509_crt_set_subject_alt_name(server, GNUTLS_SAN_IPADDRESS, kIpv4Loopback.data(),
                                                kIpv4Loopback.size(), GNUTLS_FSAN_APPEND) >= 0 &&
           gnutls_x509_crt_set_subject_alt_name(server, GNUTLS_SAN_IPADDRESS, kIpv6Loopback.data(),
                                                kIpv6Loopback.size(), GNUTLS_FSAN_APPEND) >= 0 &&
           // Both roots carry one subject: the key identifier tells which one issued it.
           gnutls_x509_crt_get_subject_key_id(root, rootId.data(), &rootIdSize, nullptr) >= 0 &&
           gnutls_x509_crt_set_authority_key_id(server, rootId.data(), rootIdSize) >= 0 &&
           gnutls_x509_crt_sign2(server, root, rootKey, GNUTLS_DIG_SHA256, 0) >= 0;
}

bool generateKey(gnutls_x509_privkey_t key, CredentialKind kind, unsigned rsaBits) {
    const unsigned bits =
        kind == CredentialKind::Rsa ? rsaBits : GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1);
    return gnutls_x509_privkey_generate(key, algorithmOf(kind), bits, 0) >= 0;
}

std::optional<std::string> certificatePem(gnutls_x509_crt_t crt) {
    gnutls_datum_t out{};
    if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &out) < 0) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(out.data), out.size);
    gnutls_free(out.data);
    return text;
}

std::optional<SecretString> keyPem(gnutls_x509_privkey_t key) {
    gnutls_datum_t out{};
    if (gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN,
                                          &out) < 0)
        return std::nullopt;
    SecretString text(reinterpret_cast<const char*>(out.data), out.size);
    secureWipe(out.data, out.size);
    gnutls_free(out.data);
    return text;
}

std::optional<CredentialSet> makeSet(CredentialKind kind, std::time_t now) {
    const std::time_t from = now - kClockSlack;
    const std::time_t until = now + kValidity;
    Certificate root = newCertificate(), server = newCertificate();
    PrivateKey serverKey = newKey();
    {
        PrivateKey rootKey = newKey();  // gone, wiped, when this block ends
        if (!root || !server || !serverKey || !rootKey || !generateKey(rootKey.get(), kind, 4096) ||
            !generateKey(serverKey.get(), kind, 2048) ||
            !makeRoot(kind, root.get(), rootKey.get(), from, until) ||
            !makeServer(kind, server.get(), serverKey.get(), root.get(), rootKey.get(), from,
                        until))
            return std::nullopt;
    }
    auto rootText = certificatePem(root.get());
    auto serverText = certificatePem(server.get());
    auto keyText = keyPem(serverKey.get());
    if (!rootText || !serverText || !keyText) return std::nullopt;
    return CredentialSet{std::move(*rootText), std::move(*serverText), std::move(*keyText)};
}

constexpr CredentialKind kKinds[] = {CredentialKind::EllipticCurve, CredentialKind::Rsa};

}  // namespace

std::string userCredentialFolder() {
    const std::string data = commonAppDataFolder();
    return data.empty() ? std::string() : data + "/ZEFAGPKI";
}

std::string rootFileName(CredentialKind kind) {
    return stem(kind) + "_root.pem";
}

std::string serverFileName(CredentialKind kind) {
    return stem(kind) + "_server.pem";
}

std::string serverKeyFileName(CredentialKind kind) {
    return stem(kind) + "_server.key";
}

bool prepareUserCredentials(std::time_t now) {
    const std::string path = userCredentialFolder();
    if (path.empty()) {
        writeErrorLog("Credential folder: ", "no home folder");
        return false;
    }
    auto folder = openPrivateFolder(path);
    if (!folder) return false;
    auto lock = lockFolder(*folder, LOCK_EX);
    if (!lock) {
        writeErrorLog("Credential folder cannot be locked: ", path);
        return false;
    }
    for (CredentialKind kind : kKinds) {
        auto set = readSet(*folder, kind);
        if (set && usable(kind, *set, now)) continue;
        writeNormalLog("Making the user's root and server certificate: ", label(kind));
        auto made = makeSet(kind, now);
        if (!made || !writeSet(*folder, kind, *made)) {
            writeErrorLog("The user's root and server certificate not made: ", label(kind));
            return false;
        }
    }
    return true;
}

std::optional<CredentialSet> loadUserCredentials(CredentialKind kind) {
    const std::string path = userCredentialFolder();
    auto folder = path.empty() ? std::nullopt : openPrivateFolder(path);
    auto lock = folder ? lockFolder(*folder, LOCK_SH) : std::nullopt;
    auto set = lock ? readSet(*folder, kind) : std::nullopt;
    if (!set) writeErrorLog("The user's root and server certificate not readable: ", label(kind));
    return set;
}
