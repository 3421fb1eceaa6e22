#include "CardComponent/CardEngine.h"

#include "CardComponent/CodePage.h"
#include "CardComponent/Envelope.h"
#include "CardComponent/FileAccess.h"
#include "CardComponent/XmlSignature.h"

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs7.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

namespace card {

namespace {

constexpr int32_t kFlagDetached = 1;  // signing: leave the content out of the SignedData
constexpr int32_t kFlagBinary = 2;    // the data text is Base64 of bytes / answer Base64 of bytes

gnutls_datum_t view(std::string_view s) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(s.data())),
            static_cast<unsigned>(s.size())};
}

std::string toString(gnutls_datum_t& d) {
    std::string s(reinterpret_cast<char*>(d.data), d.size);
    gnutls_free(d.data);
    d.data = nullptr;
    return s;
}

// A signature as XML signatures carry it: RSA as it is, ECDSA as r and s of the curve's size.
std::string xmlSignatureValue(const std::string& der, const Certificate& cert) {
    if (cert.isRsa()) return der;
    gnutls_datum_t sig = view(der), r{nullptr, 0}, s{nullptr, 0};
    if (gnutls_decode_rs_value(&sig, &r, &s) < 0) fail(kFailed);
    std::string rs = toString(r), ss = toString(s);
    unsigned bits = 0;
    gnutls_x509_crt_get_pk_algorithm(cert.get(), &bits);
    size_t half = (bits + 7) / 8;
    auto fit = [half](std::string v) {
        while (v.size() > half && v[0] == '\0') v.erase(0, 1);
        if (v.size() < half) v.insert(0, half - v.size(), '\0');
        return v;
    };
    return fit(rs) + fit(ss);
}

// Assigning into a string can free its old buffer unwiped: wipe first.
void replaceSecret(SecretString& target, const SecretString& value) {
    secureWipe(target);
    target = value;
}

}  // namespace

gnutls_digest_algorithm_t digestOf(int32_t hashFlag) {
    switch (hashFlag) {
        case 0:
        case 2: return GNUTLS_DIG_SHA256;
        case 1: return GNUTLS_DIG_SHA1;
        case 3: return GNUTLS_DIG_SHA384;
        case 4: return GNUTLS_DIG_SHA512;
        case 5: return GNUTLS_DIG_SHA224;
        default: fail(kBadAlgorithm);
    }
}

CardEngine::~CardEngine() {
    // The logins are shared with other sessions; an object that opened no key (most, and
    // the spare adapters' ones) has none to give up and does not wait for the token lock.
    if (!openedKeys_) {
        secureWipe(loginPin_);
        return;
    }
    std::lock_guard lock(tokenMutex());
    forgetLogin();
}

std::vector<Token> CardEngine::tokens(bool rescan) {
    loadPkcs11Module(module_);
    return presentTokens(rescan);
}

// What was unlocked is forgotten: the session's PIN, and its share of the token's login.
void CardEngine::forgetLogin() {
    secureWipe(loginPin_);
    loginToken_.clear();
    releaseLogins(this);
}

Token CardEngine::currentToken() {
    auto tokens = this->tokens();
    if (tokens.empty()) fail(kNoSmartCard);
    if (readerSlot_ < 0 || static_cast<size_t>(readerSlot_) >= tokens.size()) fail(kNoSmartCard);
    Token t = tokens[static_cast<size_t>(readerSlot_)];
    if (lastSeenToken_ && *lastSeenToken_ != t.serial) {
        forgetLogin();  // another card in the reader
    }
    lastSeenToken_ = t.serial;
    return t;
}

SecretString CardEngine::pinFor(const SecretString* given, const Token& token) {
    if (given && !given->empty()) return *given;
    if (!loginPin_.empty() && loginToken_ == token.serial) return loginPin_;
    fail(kNotAuthenticated);
}

std::pair<TokenCertificates, const TokenCertificate*> CardEngine::signerCertificate(
    const Token& token) {
    TokenCertificates certs = tokenCertificates(token);
    for (const auto& c : *certs)
        if (c.certificate.canSign() && c.certificate.type() != 4) return {certs, &c};
    fail(kNoKey);
}

gnutls_privkey_t CardEngine::keyOf(const Token& token, const TokenCertificate& cert,
                                   const SecretString& pin) {
    openedKeys_ = true;
    return loggedInKey(this, token, cert, pin);
}

// ---- certificates -------------------------------------------------------------------------

std::vector<std::string> CardEngine::enumCerts(int32_t flags) {
    std::lock_guard lock(tokenMutex());
    Token token = currentToken();
    std::vector<std::string> out;
    bool cached = false;
    TokenCertificates certs = tokenCertificates(token);
    for (const auto& c : *certs) {
        if (!cached && c.certificate.canSign()) {
            cachedCert_ = c.base64;
            cached = true;
        }
        if (flags == 1 && !c.certificate.canSign()) continue;
        if (flags == 2 && !c.certificate.canEncrypt()) continue;
        out.push_back(c.base64);
    }
    return out;
}

std::string CardEngine::enumCertsToString(int32_t flags) {
    std::string out;
    for (const auto& c : enumCerts(flags)) out += c + ";";
    return out;
}

std::string CardEngine::cachedCert() {
    return cachedCert_;
}

std::string CardEngine::attributeCert(const std::string& reader, const SecretString& pin,
                                      int32_t flags) {
    std::lock_guard lock(tokenMutex());
    std::optional<Token> token;
    if (reader.empty()) {
        token = currentToken();
    } else {
        for (auto& t : tokens())
            if (t.label == reader) token = t;
        if (!token) fail(kNoSmartCard);
    }
    TokenCertificates certs =
        pin.empty() ? tokenCertificates(*token) : tokenCertificates(*token, pin);
    if (flags < 0 || static_cast<size_t>(flags) >= certs->size()) fail(kNoKey);
    return (*certs)[static_cast<size_t>(flags)].base64;
}

// ---- readers and tokens -------------------------------------------------------------------

int32_t CardEngine::slotCount() {
    std::lock_guard lock(tokenMutex());
    return static_cast<int32_t>(tokens(true).size());
}

int32_t CardEngine::setReaderSlot(int32_t, int32_t slot) {
    std::lock_guard lock(tokenMutex());
    auto tokens = this->tokens(true);
    if (slot < 0 || static_cast<size_t>(slot) >= tokens.size()) fail(kReaderUnavailable);
    if (slot != readerSlot_) {
        forgetLogin();
        cachedCert_.clear();
    }
    readerSlot_ = slot;
    lastSeenToken_ = tokens[static_cast<size_t>(slot)].serial;
    return 0;
}

int32_t CardEngine::detectCard(int32_t) {
    std::lock_guard lock(tokenMutex());
    auto count = static_cast<int32_t>(tokens(true).size());
    if (count == 0) fail(kNoSmartCard);
    return count;
}

int32_t CardEngine::detectReplug(int32_t, int32_t seconds) {
    {
        std::lock_guard lock(tokenMutex());
        forgetTokens();  // what the card held is read again
    }
    auto serialNow = [this]() -> std::optional<std::string> {
        std::lock_guard lock(tokenMutex());
        auto tokens = this->tokens(true);
        if (readerSlot_ < 0 || static_cast<size_t>(readerSlot_) >= tokens.size())
            return std::nullopt;
        return tokens[static_cast<size_t>(readerSlot_)].serial;
    };
    std::optional<std::string> before = lastSeenToken_ ? lastSeenToken_ : serialNow();
    bool removed = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::clamp(seconds, 0, 60));
    std::optional<std::string> now;
    do {
        // the token lock is held only for each look, so other sessions go on meanwhile
        now = serialNow();
        if (!now) removed = true;
        if ((removed && now) || (now && before && *now != *before)) break;
        if (std::chrono::steady_clock::now() >= end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (true);
    bool changed = (removed && now) || (now != before);
    if (changed) {
        std::lock_guard lock(tokenMutex());
        forgetLogin();
        cachedCert_.clear();
    }
    lastSeenToken_ = now;
    return changed ? 1 : 0;
}

std::string CardEngine::tokenSerialNumber() {
    std::lock_guard lock(tokenMutex());
    return currentToken().serial;
}

int32_t CardEngine::setPkcs11Driver(const std::string& path) {
    std::string wanted = allowedPkcs11Module(path);
    std::lock_guard lock(tokenMutex());
    try {
        loadPkcs11Module(wanted);
    } catch (const CardError&) {
        try {
            loadPkcs11Module(module_);  // the session keeps what worked before
        } catch (const CardError&) {}
        throw;
    }
    forgetLogin();
    module_ = wanted;
    readerSlot_ = 0;
    cachedCert_.clear();
    lastSeenToken_.reset();
    return 0;
}

// ---- PIN ----------------------------------------------------------------------------------

int32_t CardEngine::verifyPin(const SecretString& pin, int32_t) {
    std::lock_guard lock(tokenMutex());
    Token token = currentToken();
    if (pin.empty()) fail(kNotAuthenticated);
    card::verifyPin(token, pin);
    return 0;
}

int32_t CardEngine::changePin(const SecretString& oldPin, const SecretString& newPin, int32_t) {
    std::lock_guard lock(tokenMutex());
    Token token = currentToken();
    if (oldPin.empty()) fail(kNotAuthenticated);
    card::changePin(token, oldPin, newPin);
    if (loginToken_ == token.serial) replaceSecret(loginPin_, newPin);
    return 0;
}

int32_t CardEngine::errorPinCount() {
    std::lock_guard lock(tokenMutex());
    return remainingPinTries(currentToken());
}

int32_t CardEngine::signInitLogin(const SecretString& pin, int32_t) {
    std::lock_guard lock(tokenMutex());
    Token token = currentToken();
    SecretString use = pinFor(&pin, token);
    card::verifyPin(token, use);
    replaceSecret(loginPin_, use);
    loginToken_ = token.serial;
    return 0;
}

// ---- signing ------------------------------------------------------------------------------

std::string CardEngine::bytesOf(const std::u16string& data, const std::string& codePage,
                                int32_t flags) {
    if (flags & kFlagBinary) return card::base64Decode(utf16ToUtf8(data));
    return encodeText(data, codePageName(codePage, codePage_));
}

std::string CardEngine::cmsSign(const Token& token, const SecretString& pin,
                                const std::string& bytes, int32_t flags, int32_t hashFlag) {
    gnutls_digest_algorithm_t dig = digestOf(hashFlag);
    auto [certs, signer] = signerCertificate(token);
    gnutls_privkey_t key = keyOf(token, *signer, pin);
    gnutls_pkcs7_t p7;
    if (gnutls_pkcs7_init(&p7) < 0) fail(kOutOfMemory);
    std::unique_ptr<std::remove_pointer_t<gnutls_pkcs7_t>, void (*)(gnutls_pkcs7_t)> guard(
        p7, gnutls_pkcs7_deinit);
    gnutls_datum_t data = view(bytes);
    unsigned signFlags = GNUTLS_PKCS7_INCLUDE_TIME | GNUTLS_PKCS7_INCLUDE_CERT;
    if (!(flags & kFlagDetached)) signFlags |= GNUTLS_PKCS7_EMBED_DATA;
    int r = gnutls_pkcs7_sign(p7, signer->certificate.get(), key, &data, nullptr, nullptr, dig,
                              signFlags);
    if (r < 0) fail(keyError(r));
    gnutls_datum_t out{nullptr, 0};
    if (gnutls_pkcs7_export2(p7, GNUTLS_X509_FMT_DER, &out) < 0) fail(kFailed);
    cachedCert_ = signer->base64;
    return toString(out);
}

CardEngine::Signer CardEngine::chooseSigner(const SecretString* pin, const Sequence* sequence) {
    std::lock_guard lock(tokenMutex());
    Token token = currentToken();
    Signer signer;
    if (sequence) {
        if (!sequence->open || sequence->token != token.serial) fail(kNotInSequence);
        signer.pin = sequence->pin;
    } else {
        signer.pin = pinFor(pin, token);
    }
    std::tie(signer.certs, signer.cert) = signerCertificate(token);
    keyOf(token, *signer.cert, signer.pin);  // the PIN is tried before any other work
    signer.serial = token.serial;
    return signer;
}

// The token may have been logged out or taken away since the signer was chosen: the key is
// opened (or found open) again under the lock, on the same token only.
std::string CardEngine::signOnToken(const Signer& signer, std::string_view data,
                                    gnutls_digest_algorithm_t dig) {
    std::lock_guard lock(tokenMutex());
    Token token = currentToken();
    if (token.serial != signer.serial) fail(kNoSmartCard);
    gnutls_privkey_t key = keyOf(token, *signer.cert, signer.pin);
    gnutls_datum_t in = view(data), sig{nullptr, 0};
    int r = gnutls_privkey_sign_data(key, dig, 0, &in, &sig);
    if (r < 0) fail(keyError(r));
    return toString(sig);
}

std::string CardEngine::signData(const SecretString& pin, const std::u16string& data,
                                 const std::string& codePage, int32_t flags, int32_t hashFlag) {
    std::string bytes = bytesOf(data, codePage, flags);
    std::string signature;
    {
        std::lock_guard lock(tokenMutex());
        Token token = currentToken();
        signature = cmsSign(token, pinFor(&pin, token), bytes, flags, hashFlag);
    }
    return card::base64Encode(signature);
}

std::string CardEngine::pureSign(const SecretString& pin, const std::u16string& data,
                                 const std::string& codePage, int32_t flags, int32_t hashFlag) {
    std::string bytes = bytesOf(data, codePage, flags);
    gnutls_digest_algorithm_t dig = digestOf(hashFlag);
    const Signer signer = chooseSigner(&pin, nullptr);
    std::string signature = signOnToken(signer, bytes, dig);
    cachedCert_ = signer.cert->base64;
    return card::base64Encode(signature);
}

int32_t CardEngine::signDataInit(const SecretString& pin, int32_t) {
    std::lock_guard lock(tokenMutex());
    Token token = currentToken();
    SecretString use = pinFor(&pin, token);
    card::verifyPin(token, use);
    secureWipe(dataSequence_.pin);
    dataSequence_ = {true, use, token.serial, 0};
    return 0;
}

std::string CardEngine::signDataUpdate(const std::u16string& data, const std::string& codePage,
                                       int32_t flags, int32_t hashFlag) {
    if (!dataSequence_.open) fail(kNotInSequence);
    std::string bytes = bytesOf(data, codePage, flags);
    std::string signature;
    {
        std::lock_guard lock(tokenMutex());
        Token token = currentToken();
        if (token.serial != dataSequence_.token) fail(kNotInSequence);
        signature = cmsSign(token, dataSequence_.pin, bytes, flags, hashFlag);
    }
    ++dataSequence_.count;
    return card::base64Encode(signature);
}

int32_t CardEngine::signDataFinal(int32_t) {
    if (!dataSequence_.open) fail(kNotInSequence);
    int32_t count = dataSequence_.count;
    secureWipe(dataSequence_.pin);
    dataSequence_ = Sequence{};
    return count;
}

int32_t CardEngine::signInit(const SecretString& pin, int32_t) {
    std::lock_guard lock(tokenMutex());
    Token token = currentToken();
    SecretString use = pinFor(&pin, token);
    card::verifyPin(token, use);
    secureWipe(xmlSequence_.pin);
    xmlSequence_ = {true, use, token.serial, 0};
    return 0;
}

int32_t CardEngine::signFinal(int32_t) {
    if (!xmlSequence_.open) fail(kNotInSequence);
    int32_t count = xmlSequence_.count;
    secureWipe(xmlSequence_.pin);
    xmlSequence_ = Sequence{};
    return count;
}

// ---- encryption ---------------------------------------------------------------------------

std::string CardEngine::encryptByCert(const std::string& cert, const std::u16string& data,
                                      int32_t flags) {
    Certificate recipient = Certificate::parse(cert);
    std::string bytes = bytesOf(data, {}, flags);
    std::string envelope = encryptEnvelope(recipient, bytes);
    secureWipe(bytes);
    return card::base64Encode(envelope);
}

std::string CardEngine::rsaEncryptByCert(const std::string& cert, const std::u16string& data,
                                         int32_t flags) {
    Certificate recipient = Certificate::parse(cert);
    std::string bytes = bytesOf(data, {}, flags);
    std::string cipher = rsaEncrypt(recipient, bytes);
    secureWipe(bytes);
    return card::base64Encode(cipher);
}

std::u16string CardEngine::plainAnswer(std::string& plain, int32_t flags) {
    std::u16string out = (flags & kFlagBinary) ? utf8ToUtf16(card::base64Encode(plain))
                                               : decodeText(plain, codePageName(codePage_));
    secureWipe(plain);
    return out;
}

std::u16string CardEngine::decrypt(const SecretString* pin, const std::string& cipher,
                                   int32_t flags, int32_t) {
    std::string envelope = card::base64Decode(cipher);
    SecretString use;
    std::string serial;
    {
        std::lock_guard lock(tokenMutex());
        Token token = currentToken();
        use = pinFor(pin, token);
        serial = token.serial;
    }
    std::string plain = decryptEnvelope(envelope, [&](const std::vector<Recipient>& recipients,
                                                      const std::vector<std::string_view>& keys) {
        std::lock_guard lock(tokenMutex());
        Token token = currentToken();
        if (token.serial != serial) fail(kNoSmartCard);  // the card changed meanwhile
        TokenCertificates certs = tokenCertificates(token);
        for (size_t i = 0; i < recipients.size(); ++i)
            for (const auto& c : *certs) {
                Recipient mine = recipientOf(c.certificate);
                if (mine.issuerDer == recipients[i].issuerDer &&
                    mine.serial == recipients[i].serial)
                    return SecretString(card::rsaDecrypt(keyOf(token, c, use), keys[i]));
            }
        fail(kNoKey);
    });
    return plainAnswer(plain, flags);
}

int32_t CardEngine::decryptToFile(const std::string& cipher, const std::string& path, int32_t flags,
                                  int32_t keyUsage) {
    AllowedOutput output(path);
    std::u16string text = decrypt(nullptr, cipher, flags | kFlagBinary, keyUsage);
    std::string plain = card::base64Decode(utf16ToUtf8(text));
    secureWipe(text);
    output.write(plain);
    auto size = static_cast<int32_t>(plain.size());
    secureWipe(plain);
    return size;
}

std::u16string CardEngine::rsaDecrypt(const std::string& cipher, const SecretString& pin,
                                      int32_t flags) {
    std::string bytes = card::base64Decode(cipher);
    std::string plain;
    {
        std::lock_guard lock(tokenMutex());
        Token token = currentToken();
        SecretString use = pinFor(&pin, token);
        TokenCertificates certs = tokenCertificates(token);
        auto key = std::find_if(certs->begin(), certs->end(),
                                [](const auto& c) { return c.certificate.canEncrypt(); });
        if (key == certs->end()) fail(kNoKey);
        plain = card::rsaDecrypt(keyOf(token, *key, use), bytes);
    }
    return plainAnswer(plain, flags);
}

// ---- XML ----------------------------------------------------------------------------------

std::string CardEngine::xmlSign(const SecretString* pin, const std::string& xml,
                                const std::string& signId, int32_t flags, XmlMode mode) {
    XmlSigningOptions options;
    options.signId = signId;
    options.digest = digestOf(flags);
    options.referenceDirs = referenceDirs_;
    options.keepGivenDigests = mode == XmlMode::SignGivenDigests;
    const Signer signer = pin ? chooseSigner(pin, nullptr) : chooseSigner(nullptr, &xmlSequence_);
    // Parsing, canonicalising and digesting run without the token lock.
    std::string signedXml = signXml(xml, options, signer.cert->certificate,
                                    [&](std::string_view data, gnutls_digest_algorithm_t dig) {
                                        return xmlSignatureValue(signOnToken(signer, data, dig),
                                                                 signer.cert->certificate);
                                    });
    if (!pin) ++xmlSequence_.count;
    cachedCert_ = signer.cert->base64;
    return signedXml;
}

std::string CardEngine::xmlDigest(const std::string& xml, const std::string& signId) {
    XmlSigningOptions options;
    options.signId = signId;
    options.referenceDirs = referenceDirs_;
    return prepareXmlSignature(xml, options);
}

void CardEngine::setXmlReferenceDirs(const std::string& dirs) {
    referenceDirs_.clear();
    std::string part;
    std::istringstream in(dirs);
    while (std::getline(in, part, ';'))
        if (!part.empty()) referenceDirs_.push_back(part);
}

// ---- texts and files ----------------------------------------------------------------------

std::string CardEngine::base64Encode(const std::u16string& text, const std::string& codePage) {
    return card::base64Encode(encodeText(text, codePageName(codePage, codePage_)));
}

std::u16string CardEngine::base64Decode(const std::string& base64, const std::string& codePage) {
    return decodeText(card::base64Decode(base64), codePageName(codePage, codePage_));
}

std::u16string CardEngine::readFile(const std::string& path, int32_t flags) {
    std::string bytes = readAllowedFile(path);
    if (flags == 1) return decodeText(bytes, codePageName(codePage_));
    return utf8ToUtf16(card::base64Encode(bytes));
}

void CardEngine::setCodePage(int32_t codePage) {
    codePageName(std::to_string(codePage), codePage_);  // refuses what iconv cannot convert
    codePage_ = codePage == 0 ? 65001 : codePage;
}

std::string CardEngine::version(int32_t flag) {
    if (flag == 1) return std::string("GnuTLS ") + gnutls_check_version(nullptr);
    return kComponentVersion;
}

}  // namespace card
