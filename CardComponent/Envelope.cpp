#include "CardComponent/Envelope.h"

#include "CardComponent/CardErrors.h"
#include "CardComponent/Der.h"
#include "TessarollUtil/Secure.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <memory>

namespace card {

namespace {

const std::string kOidEnvelopedData = der::oidFromText("1.2.840.113549.1.7.3");
const std::string kOidData = der::oidFromText("1.2.840.113549.1.7.1");
const std::string kOidRsaEncryption = der::oidFromText("1.2.840.113549.1.1.1");
const std::string kOidAes128Cbc = der::oidFromText("2.16.840.1.101.3.4.1.2");
const std::string kOidAes192Cbc = der::oidFromText("2.16.840.1.101.3.4.1.22");
const std::string kOidAes256Cbc = der::oidFromText("2.16.840.1.101.3.4.1.42");

gnutls_datum_t view(std::string_view s) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(s.data())),
            static_cast<unsigned>(s.size())};
}

std::string stripZero(std::string s) {
    while (s.size() > 1 && s[0] == '\0') s.erase(0, 1);
    return s;
}

std::string aesCbc(bool encrypt, gnutls_cipher_algorithm_t algo, std::string_view key,
                   std::string_view iv, std::string data) {
    gnutls_cipher_hd_t h;
    gnutls_datum_t k = view(key), v = view(iv);
    if (gnutls_cipher_init(&h, algo, &k, &v) < 0) fail(kFailed);
    int r = encrypt ? gnutls_cipher_encrypt(h, data.data(), data.size())
                    : gnutls_cipher_decrypt(h, data.data(), data.size());
    gnutls_cipher_deinit(h);
    if (r < 0) fail(encrypt ? kFailed : kBadData);
    return data;
}

}  // namespace

Recipient recipientOf(const Certificate& cert) {
    gnutls_datum_t dn{nullptr, 0};
    if (gnutls_x509_crt_get_raw_issuer_dn(cert.get(), &dn) < 0) fail(kInvalidArgument);
    Recipient r;
    r.issuerDer.assign(reinterpret_cast<char*>(dn.data), dn.size);
    gnutls_free(dn.data);
    unsigned char serial[64];
    size_t size = sizeof serial;
    if (gnutls_x509_crt_get_serial(cert.get(), serial, &size) < 0) fail(kInvalidArgument);
    r.serial = stripZero(std::string(reinterpret_cast<char*>(serial), size));
    return r;
}

std::string rsaEncrypt(const Certificate& recipient, std::string_view message) {
    if (!recipient.isRsa()) fail(kBadAlgorithm);
    gnutls_pubkey_t key;
    if (gnutls_pubkey_init(&key) < 0) fail(kOutOfMemory);
    std::unique_ptr<gnutls_pubkey_st, void (*)(gnutls_pubkey_t)> guard(key, gnutls_pubkey_deinit);
    if (gnutls_pubkey_import_x509(key, recipient.get(), 0) < 0) fail(kInvalidArgument);
    gnutls_datum_t in = view(message), out{nullptr, 0};
    if (gnutls_pubkey_encrypt_data(key, 0, &in, &out) < 0)
        fail(kInvalidArgument);  // too long for the key
    std::string cipher(reinterpret_cast<char*>(out.data), out.size);
    gnutls_free(out.data);
    return cipher;
}

std::string rsaDecrypt(gnutls_privkey_t key, std::string_view cipher) {
    gnutls_datum_t in = view(cipher), out{nullptr, 0};
    int r = gnutls_privkey_decrypt_data(key, 0, &in, &out);
    if (r < 0) fail(r == GNUTLS_E_PKCS11_PIN_ERROR ? kWrongPin : kBadData);
    std::string plain(reinterpret_cast<char*>(out.data), out.size);
    gnutls_memset(out.data, 0, out.size);
    gnutls_free(out.data);
    return plain;
}

std::string encryptEnvelope(const Certificate& recipient, std::string_view content) {
    std::string key(32, '\0'), iv(16, '\0');
    if (gnutls_rnd(GNUTLS_RND_KEY, key.data(), key.size()) < 0 ||
        gnutls_rnd(GNUTLS_RND_NONCE, iv.data(), iv.size()) < 0)
        fail(kFailed);
    std::string padded(content);
    size_t pad = 16 - padded.size() % 16;
    padded.append(pad, static_cast<char>(pad));
    std::string cipher = aesCbc(true, GNUTLS_CIPHER_AES_256_CBC, key, iv, std::move(padded));
    std::string encryptedKey = rsaEncrypt(recipient, key);
    secureWipe(key);

    Recipient rid = recipientOf(recipient);
    std::string serial = rid.serial;
    if (static_cast<unsigned char>(serial[0]) & 0x80) serial.insert(serial.begin(), '\0');
    std::string recipientInfo = der::sequence({
        der::integer(0),
        der::sequence({rid.issuerDer, der::tlv(0x02, serial)}),
        der::sequence({der::tlv(0x06, kOidRsaEncryption), der::tlv(0x05, "")}),
        der::tlv(0x04, encryptedKey),
    });
    std::string contentInfo = der::sequence({
        der::tlv(0x06, kOidData),
        der::sequence({der::tlv(0x06, kOidAes256Cbc), der::tlv(0x04, iv)}),
        der::tlv(0x80, cipher),
    });
    std::string enveloped =
        der::sequence({der::integer(0), der::tlv(0x31, recipientInfo), contentInfo});
    return der::sequence({der::tlv(0x06, kOidEnvelopedData), der::tlv(0xA0, enveloped)});
}

namespace {

struct EnvelopeFields {
    std::vector<der::Element> recipientInfos;
    der::Element encryptedContentInfo;
};

EnvelopeFields envelopeFields(std::string_view envelope) {
    std::string_view in = envelope;
    auto top = der::next(in);
    if (!top || top->tag != 0x30) fail(kBadData);
    auto ci = der::children(top->content);
    if (!ci || ci->size() != 2 || (*ci)[0].tag != 0x06 || (*ci)[0].content != kOidEnvelopedData ||
        (*ci)[1].tag != 0xA0)
        fail(kBadData);
    std::string_view body = (*ci)[1].content;
    auto envSeq = der::next(body);
    if (!envSeq || envSeq->tag != 0x30) fail(kBadData);
    auto fields = der::children(envSeq->content);
    if (!fields || fields->size() < 3) fail(kBadData);
    size_t at = 1;
    if ((*fields)[at].tag == 0xA0) ++at;  // originatorInfo: not used
    if ((*fields)[at].tag != 0x31) fail(kBadData);
    auto infos = der::children((*fields)[at].content);
    if (!infos || at + 1 >= fields->size()) fail(kBadData);
    return {std::move(*infos), (*fields)[at + 1]};
}

struct RecipientKeys {
    std::vector<Recipient> recipients;
    std::vector<std::string_view> encryptedKeys;  // one per recipient
};

RecipientKeys rsaRecipients(const std::vector<der::Element>& infos) {
    RecipientKeys found;
    for (const auto& info : infos) {
        if (info.tag != 0x30) continue;  // other recipient kinds are not for RSA card keys
        auto parts = der::children(info.content);
        if (!parts || parts->size() != 4 || (*parts)[1].tag != 0x30 || (*parts)[3].tag != 0x04)
            continue;
        auto ias = der::children((*parts)[1].content);
        if (!ias || ias->size() != 2 || (*ias)[1].tag != 0x02) continue;
        found.recipients.push_back(
            {std::string((*ias)[0].whole), stripZero(std::string((*ias)[1].content))});
        found.encryptedKeys.push_back((*parts)[3].content);
    }
    return found;
}

struct ContentAlgorithm {
    gnutls_cipher_algorithm_t cipher;
    size_t keySize;
};

ContentAlgorithm contentAlgorithm(std::string_view oid) {
    if (oid == kOidAes256Cbc) return {GNUTLS_CIPHER_AES_256_CBC, 32};
    if (oid == kOidAes192Cbc) return {GNUTLS_CIPHER_AES_192_CBC, 24};
    if (oid == kOidAes128Cbc) return {GNUTLS_CIPHER_AES_128_CBC, 16};
    fail(kBadAlgorithm);  // 3DES, RC2 and the like: not offered
}

std::string encryptedContent(const der::Element& encrypted) {
    std::string cipher;
    if (encrypted.tag == 0x80) {
        cipher = std::string(encrypted.content);
    } else if (encrypted.tag == 0xA0) {  // constructed form: a run of OCTET STRINGs
        auto pieces = der::children(encrypted.content);
        if (!pieces) fail(kBadData);
        for (const auto& p : *pieces) cipher.append(p.content);
    } else {
        fail(kBadData);
    }
    if (cipher.empty() || cipher.size() % 16) fail(kBadData);
    return cipher;
}

std::string withoutPadding(std::string plain) {
    unsigned pad = static_cast<unsigned char>(plain.back());
    if (pad == 0 || pad > 16 || pad > plain.size()) {
        secureWipe(plain);
        fail(kBadData);
    }
    for (size_t i = plain.size() - pad; i < plain.size(); ++i)
        if (static_cast<unsigned char>(plain[i]) != pad) {
            secureWipe(plain);
            fail(kBadData);
        }
    plain.resize(plain.size() - pad);
    return plain;
}

}  // namespace

std::string decryptEnvelope(std::string_view envelope, const ContentKeyUnwrap& unwrap) {
    const EnvelopeFields fields = envelopeFields(envelope);
    const RecipientKeys found = rsaRecipients(fields.recipientInfos);
    if (found.recipients.empty()) fail(kNoKey);
    const SecretString contentKey = unwrap(found.recipients, found.encryptedKeys);

    auto eparts = der::children(fields.encryptedContentInfo.content);
    if (!eparts || eparts->size() < 3 || (*eparts)[1].tag != 0x30) fail(kBadData);
    auto alg = der::children((*eparts)[1].content);
    if (!alg || alg->size() != 2 || (*alg)[0].tag != 0x06 || (*alg)[1].tag != 0x04) fail(kBadData);
    const ContentAlgorithm algorithm = contentAlgorithm((*alg)[0].content);
    const std::string_view iv = (*alg)[1].content;
    if (iv.size() != 16) fail(kBadData);  // the AES IV
    std::string cipher = encryptedContent((*eparts)[2]);

    if (contentKey.size() != algorithm.keySize) fail(kBadData);
    return withoutPadding(aesCbc(false, algorithm.cipher, contentKey, iv, std::move(cipher)));
}

}  // namespace card
