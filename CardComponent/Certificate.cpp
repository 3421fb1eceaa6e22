#include "CardComponent/Certificate.h"

#include "CardComponent/CardErrors.h"
#include "CardComponent/Der.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs7.h>

#include <cstdio>
#include <ctime>
#include <memory>

namespace card {

namespace {

struct Datum {
    gnutls_datum_t d{nullptr, 0};
    ~Datum() { gnutls_free(d.data); }
    std::string str() const { return std::string(reinterpret_cast<const char*>(d.data), d.size); }
};

gnutls_datum_t view(std::string_view s) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(s.data())),
            static_cast<unsigned>(s.size())};
}

std::string timeText(time_t t) {
    if (t == static_cast<time_t>(-1)) return {};
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string join(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) {
        if (!out.empty()) out += ';';
        out += p;
    }
    return out;
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
    if (bytes.empty()) return {};
    gnutls_datum_t in = view(bytes);
    Datum out;
    if (gnutls_base64_encode2(&in, &out.d) < 0) fail(kOutOfMemory);
    return out.str();
}

std::string base64Decode(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text)
        if (c != ' ' && c != '\r' && c != '\n' && c != '\t') clean += c;
    if (clean.empty()) return {};
    for (char& c : clean) {  // the URL-safe alphabet reads the same
        if (c == '-') c = '+';
        if (c == '_') c = '/';
    }
    while (clean.size() % 4) clean += '=';
    gnutls_datum_t in = view(clean);
    Datum out;
    if (gnutls_base64_decode2(&in, &out.d) < 0) fail(kInvalidArgument);
    return out.str();
}

Certificate Certificate::fromDer(std::string_view der) {
    gnutls_x509_crt_t crt;
    if (gnutls_x509_crt_init(&crt) < 0) fail(kOutOfMemory);
    gnutls_datum_t d = view(der);
    if (gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER) < 0) {
        gnutls_x509_crt_deinit(crt);
        fail(kInvalidArgument);
    }
    return Certificate(crt);
}

Certificate Certificate::parse(std::string_view text) {
    if (text.find("-----BEGIN") != std::string_view::npos) {
        gnutls_x509_crt_t crt;
        if (gnutls_x509_crt_init(&crt) < 0) fail(kOutOfMemory);
        gnutls_datum_t d = view(text);
        if (gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_PEM) < 0) {
            gnutls_x509_crt_deinit(crt);
            fail(kInvalidArgument);
        }
        return Certificate(crt);
    }
    return fromDer(base64Decode(text));
}

Certificate& Certificate::operator=(Certificate&& other) noexcept {
    if (this != &other) {
        if (crt_) gnutls_x509_crt_deinit(crt_);
        crt_ = other.crt_;
        other.crt_ = nullptr;
    }
    return *this;
}

Certificate::~Certificate() {
    if (crt_) gnutls_x509_crt_deinit(crt_);
}

std::string Certificate::der() const {
    Datum out;
    if (gnutls_x509_crt_export2(crt_, GNUTLS_X509_FMT_DER, &out.d) < 0) fail(kFailed);
    return out.str();
}

std::string Certificate::serialNumber() const {
    unsigned char buf[64];
    size_t size = sizeof buf;
    if (gnutls_x509_crt_get_serial(crt_, buf, &size) < 0) fail(kInvalidArgument);
    // The number, not its DER form: the 00 that keeps a high first byte positive goes.
    size_t first = 0;
    while (first + 1 < size && buf[first] == 0) ++first;
    std::string hex;
    char two[3];
    for (size_t i = first; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02X", buf[i]);
        hex += two;
    }
    return hex;
}

std::string Certificate::issuer() const {
    Datum dn;
    if (gnutls_x509_crt_get_issuer_dn3(crt_, &dn.d, 0) < 0) return {};
    return dn.str();
}

std::string Certificate::subject() const {
    Datum dn;
    if (gnutls_x509_crt_get_dn3(crt_, &dn.d, 0) < 0) return {};
    return dn.str();
}

std::string Certificate::notBefore() const {
    return timeText(gnutls_x509_crt_get_activation_time(crt_));
}
std::string Certificate::notAfter() const {
    return timeText(gnutls_x509_crt_get_expiration_time(crt_));
}

std::string Certificate::version() const {
    int v = gnutls_x509_crt_get_version(crt_);
    if (v < 0) fail(kInvalidArgument);
    return std::to_string(v);
}

std::string Certificate::publicKey() const {
    gnutls_pubkey_t key;
    if (gnutls_pubkey_init(&key) < 0) fail(kOutOfMemory);
    std::unique_ptr<gnutls_pubkey_st, void (*)(gnutls_pubkey_t)> guard(key, gnutls_pubkey_deinit);
    if (gnutls_pubkey_import_x509(key, crt_, 0) < 0) fail(kInvalidArgument);
    Datum out;
    if (gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &out.d) < 0) fail(kFailed);
    return base64Encode(out.str());
}

std::string Certificate::signatureAlgorithm(bool asOid) const {
    if (asOid) {
        char oid[128];
        size_t size = sizeof oid;
        if (gnutls_x509_crt_get_signature_oid(crt_, oid, &size) < 0) return {};
        return oid;
    }
    int algo = gnutls_x509_crt_get_signature_algorithm(crt_);
    const char* name =
        algo > 0 ? gnutls_sign_get_name(static_cast<gnutls_sign_algorithm_t>(algo)) : nullptr;
    return name ? name : std::string();
}

std::string Certificate::extensions() const {
    std::vector<std::string> parts;
    for (unsigned i = 0;; ++i) {
        char oid[128];
        size_t size = sizeof oid;
        unsigned critical = 0;
        int r = gnutls_x509_crt_get_extension_info(crt_, i, oid, &size, &critical);
        if (r < 0) break;
        Datum data;
        if (gnutls_x509_crt_get_extension_data2(crt_, i, &data.d) < 0) break;
        parts.push_back(std::string(oid) + "," + (critical ? "1" : "0") + "," +
                        base64Encode(data.str()));
    }
    return join(parts);
}

std::string Certificate::subjectDirectoryAttribute(std::string_view oid) const {
    Datum ext;
    unsigned critical = 0;
    if (gnutls_x509_crt_get_extension_by_oid2(crt_, "2.5.29.9", 0, &ext.d, &critical) < 0)
        return {};
    std::string raw = ext.str();
    std::string_view in(raw);
    auto outer = der::next(in);
    if (!outer || outer->tag != 0x30) return {};
    auto attributes = der::children(outer->content);
    if (!attributes) return {};
    std::vector<std::string> values;
    for (const auto& attribute : *attributes) {
        auto fields = der::children(attribute.content);
        if (!fields || fields->size() != 2 || (*fields)[0].tag != 0x06) continue;
        if (der::oidToText((*fields)[0].content) != oid) continue;
        auto set = der::children((*fields)[1].content);
        if (!set) continue;
        for (const auto& v : *set) values.push_back(der::valueText(v));
    }
    return join(values);
}

std::string Certificate::policyOids() const {
    std::vector<std::string> oids;
    for (unsigned i = 0;; ++i) {
        gnutls_x509_policy_st policy;
        if (gnutls_x509_crt_get_policy(crt_, i, &policy, nullptr) < 0) break;
        oids.emplace_back(policy.oid);
        gnutls_x509_policy_release(&policy);
    }
    return join(oids);
}

std::string Certificate::extendedKeyUsageOids() const {
    std::vector<std::string> oids;
    for (unsigned i = 0;; ++i) {
        char oid[128];
        size_t size = sizeof oid;
        if (gnutls_x509_crt_get_key_purpose_oid(crt_, i, oid, &size, nullptr) < 0) break;
        oids.emplace_back(oid);
    }
    return join(oids);
}

std::string Certificate::subjectAttribute(const char* oid) const {
    size_t size = 0;
    int r = gnutls_x509_crt_get_dn_by_oid(crt_, oid, 0, 0, nullptr, &size);
    if (r != GNUTLS_E_SHORT_MEMORY_BUFFER) return {};
    std::string value(size, '\0');
    if (gnutls_x509_crt_get_dn_by_oid(crt_, oid, 0, 0, value.data(), &size) < 0) return {};
    value.resize(size);
    // GnuTLS gives attributes it cannot print as "#" and hex of their DER.
    if (!value.empty() && value[0] == '#') {
        std::string bytes;
        for (size_t i = 1; i + 1 < value.size(); i += 2)
            bytes += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
        std::string_view in(bytes);
        if (auto e = der::next(in)) return der::valueText(*e);
    }
    return value;
}

std::string Certificate::citizenIdTail() const {
    std::string serial = subjectAttribute("2.5.4.5");
    return serial.size() > 4 ? serial.substr(serial.size() - 4) : serial;
}

std::string Certificate::organizationId() const {
    return subjectAttribute("2.5.4.97");
}
std::string Certificate::holderRank() const {
    return subjectAttribute("2.5.4.12");
}

int32_t Certificate::type() const {
    unsigned ca = 0;
    int isCa = gnutls_x509_crt_get_basic_constraints(crt_, nullptr, &ca, nullptr);
    if (isCa > 0 && ca) return 4;
    unsigned usage = 0;
    if (gnutls_x509_crt_get_key_usage(crt_, &usage, nullptr) < 0) return 0;
    int32_t type = 0;
    if (usage & (GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_NON_REPUDIATION)) type |= 1;
    if (usage &
        (GNUTLS_KEY_KEY_ENCIPHERMENT | GNUTLS_KEY_DATA_ENCIPHERMENT | GNUTLS_KEY_KEY_AGREEMENT))
        type |= 2;
    return type;
}

bool Certificate::canSign() const {
    unsigned usage = 0;
    if (gnutls_x509_crt_get_key_usage(crt_, &usage, nullptr) < 0) return true;  // no limits given
    return usage & (GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_NON_REPUDIATION);
}

bool Certificate::canEncrypt() const {
    if (!isRsa()) return false;
    unsigned usage = 0;
    if (gnutls_x509_crt_get_key_usage(crt_, &usage, nullptr) < 0) return true;
    return usage & (GNUTLS_KEY_KEY_ENCIPHERMENT | GNUTLS_KEY_DATA_ENCIPHERMENT);
}

bool Certificate::isRsa() const {
    return gnutls_x509_crt_get_pk_algorithm(crt_, nullptr) == GNUTLS_PK_RSA;
}

std::string cmsSignatureAlgorithm(std::string_view signedData, int index, bool asOid) {
    if (index < 0) fail(kInvalidArgument);
    gnutls_pkcs7_t p7;
    if (gnutls_pkcs7_init(&p7) < 0) fail(kOutOfMemory);
    std::unique_ptr<std::remove_pointer_t<gnutls_pkcs7_t>, void (*)(gnutls_pkcs7_t)> guard(
        p7, gnutls_pkcs7_deinit);
    std::string der;
    gnutls_datum_t d;
    int r;
    if (signedData.find("-----BEGIN") != std::string_view::npos) {
        d = view(signedData);
        r = gnutls_pkcs7_import(p7, &d, GNUTLS_X509_FMT_PEM);
    } else {
        der = base64Decode(signedData);
        d = view(der);
        r = gnutls_pkcs7_import(p7, &d, GNUTLS_X509_FMT_DER);
    }
    if (r < 0) fail(kInvalidArgument);
    gnutls_pkcs7_signature_info_st info;
    if (gnutls_pkcs7_get_signature_info(p7, static_cast<unsigned>(index), &info) < 0)
        fail(kInvalidArgument);
    std::string out;
    if (asOid) {
        const char* oid = gnutls_sign_get_oid(info.algo);
        out = oid ? oid : "";
    } else {
        const char* name = gnutls_sign_get_name(info.algo);
        out = name ? name : "";
    }
    gnutls_pkcs7_signature_info_deinit(&info);
    return out;
}

}  // namespace card
