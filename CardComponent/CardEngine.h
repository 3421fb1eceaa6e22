// The card-crypto component's working part, one per component object (so one per page
// session): the selected reader, the code page, the PIN of a login, the open signing
// sequences and the XML reference folders. Every method throws CardError on failure; the
// COM object turns that into the method's HRESULT and remembers it for get_lastError.
//
// One object's methods are called one at a time. Each takes the process-wide token lock
// (tokenMutex()) only while it talks to the tokens (listing, login, object search, sign,
// decrypt); what it parses, canonicalises, digests, encodes and reads or writes runs
// outside it, so one page's long call does not hold up another page's card call.
#pragma once

#include "CardComponent/CardErrors.h"
#include "CardComponent/Token.h"
#include "TessarollUtil/Secure.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace card {

inline constexpr const char* kComponentVersion = "1.0.0.1";
// The prefix of the component's own log lines.
inline constexpr const char* kComponentLogName = "TessarollCardComponent";

class CardEngine {
public:
    CardEngine() = default;
    ~CardEngine();
    CardEngine(const CardEngine&) = delete;
    CardEngine& operator=(const CardEngine&) = delete;

    // certificates on the selected reader's token
    std::vector<std::string> enumCerts(int32_t flags);  // Base64 DER each
    std::string enumCertsToString(int32_t flags);       // each followed by ";"
    std::string cachedCert();
    std::string attributeCert(const std::string& reader, const SecretString& pin, int32_t flags);

    // readers and tokens
    int32_t slotCount();
    int32_t setReaderSlot(int32_t flags, int32_t slot);
    int32_t detectCard(int32_t flags);
    int32_t detectReplug(int32_t flags, int32_t seconds);
    std::string tokenSerialNumber();
    int32_t setPkcs11Driver(const std::string& path);

    // PIN
    int32_t verifyPin(const SecretString& pin, int32_t flags);
    int32_t changePin(const SecretString& oldPin, const SecretString& newPin, int32_t flags);
    int32_t errorPinCount();
    int32_t signInitLogin(const SecretString& pin, int32_t flags);

    // signing
    std::string signData(const SecretString& pin, const std::u16string& data,
                         const std::string& codePage, int32_t flags, int32_t hashFlag);
    std::string pureSign(const SecretString& pin, const std::u16string& data,
                         const std::string& codePage, int32_t flags, int32_t hashFlag);
    int32_t signDataInit(const SecretString& pin, int32_t flags);
    std::string signDataUpdate(const std::u16string& data, const std::string& codePage,
                               int32_t flags, int32_t hashFlag);
    int32_t signDataFinal(int32_t flags);
    int32_t signInit(const SecretString& pin, int32_t flags);
    int32_t signFinal(int32_t flags);

    // encryption
    std::string encryptByCert(const std::string& cert, const std::u16string& data, int32_t flags);
    std::string rsaEncryptByCert(const std::string& cert, const std::u16string& data,
                                 int32_t flags);
    std::u16string decrypt(const SecretString* pin, const std::string& cipher, int32_t flags,
                           int32_t keyUsage);
    int32_t decryptToFile(const std::string& cipher, const std::string& path, int32_t flags,
                          int32_t keyUsage);
    std::u16string rsaDecrypt(const std::string& cipher, const SecretString& pin, int32_t flags);

    // XML
    enum class XmlMode { Sign, SignGivenDigests };
    std::string xmlSign(const SecretString* pin, const std::string& xml, const std::string& signId,
                        int32_t flags, XmlMode mode);
    std::string xmlDigest(const std::string& xml, const std::string& signId);
    void setXmlReferenceDirs(const std::string& dirs);

    // texts and files
    std::string base64Encode(const std::u16string& text, const std::string& codePage);
    std::u16string base64Decode(const std::string& base64, const std::string& codePage);
    std::u16string readFile(const std::string& path, int32_t flags);
    void setCodePage(int32_t codePage);
    std::string version(int32_t flag);

private:
    std::vector<Token> tokens(bool rescan = false);  // present with this session's module
    Token currentToken();
    void forgetLogin();
    SecretString pinFor(const SecretString* given, const Token& token);
    // the first certificate fit for signing, with the certificates it was found in
    std::pair<TokenCertificates, const TokenCertificate*> signerCertificate(const Token& token);
    gnutls_privkey_t keyOf(const Token& token, const TokenCertificate& cert,
                           const SecretString& pin);
    std::string bytesOf(const std::u16string& data, const std::string& codePage, int32_t flags);
    std::string cmsSign(const Token& token, const SecretString& pin, const std::string& bytes,
                        int32_t flags, int32_t hashFlag);
    std::u16string plainAnswer(std::string& plain, int32_t flags);

    struct Sequence {
        bool open = false;
        SecretString pin;
        std::string token;  // serial of the token it was opened on
        int32_t count = 0;
    };

    // Who signs for a call: the token (by serial), its signing certificate and the PIN (the
    // given one, the login's, or the open sequence's).
    struct Signer {
        SecretString pin;
        std::string serial;
        TokenCertificates certs;  // keeps `cert` alive
        const TokenCertificate* cert = nullptr;
    };
    // Chosen under the token lock, with the key opened: a wrong PIN fails before other work.
    Signer chooseSigner(const SecretString* pin, const Sequence* sequence);
    // A signature over `data` with the signer's key (raw: RSA PKCS #1 v1.5, ECDSA as DER),
    // made under the token lock.
    std::string signOnToken(const Signer& signer, std::string_view data,
                            gnutls_digest_algorithm_t dig);

    std::string module_;  // empty: every module registered with p11-kit
    int32_t readerSlot_ = 0;
    int32_t codePage_ = 65001;
    SecretString loginPin_;
    std::string loginToken_;
    Sequence dataSequence_, xmlSequence_;
    std::string cachedCert_;
    std::vector<std::string> referenceDirs_;
    std::optional<std::string> lastSeenToken_;
    bool openedKeys_ = false;  // this object has a share in a token's login
};

gnutls_digest_algorithm_t digestOf(int32_t hashFlag);

}  // namespace card
