// The component through its COM interface against SoftHSM2 demo tokens; every answer is
// checked against an independent tool where one exists.
#include "TokenFixture.h"

#include "CardComponent/CardErrors.h"
#include "CardComponent/Certificate.h"
#include "CardComponent/Limits.h"
#include "helpers/OpenWatch.h"
#include "helpers/Sandbox.h"
#include "platform/ComBstr.h"
#include "platform/Encoding.h"

#include <gnutls/crypto.h>

#include <unistd.h>
#include <functional>
#include <map>
#include <thread>

using namespace card_test;
using testing_support::readFile;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

// The value after "<field>: " on the first line of certtool's listing that starts with it.
std::string certtoolField(const std::string& info, const std::string& field) {
    size_t at = 0;
    while ((at = info.find(field + ": ", at)) != std::string::npos) {
        size_t lineStart = info.rfind('\n', at);
        lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
        if (info.find_first_not_of(" \t", lineStart) == at) {
            size_t begin = at + field.size() + 2;
            return info.substr(begin, info.find('\n', begin) - begin);
        }
        at += field.size();
    }
    return {};
}

std::string isoDate(const std::string& certtoolDate) {
    return shell("date -u -d " + quoted(certtoolDate) + " +%Y-%m-%dT%H:%M:%SZ | tr -d '\\n'");
}

struct CertCase {
    const char* label;
    const char* algorithm;
    LONG type;  // EC keys get no encipherment usage from certtool
};

using Getter = HRESULT (ICardCryptoComponent::*)(BSTR, LONG, BSTR*);

std::string callGetter(ICardCryptoComponent* c, Getter method, BSTR cert) {
    Bstr out;
    HRESULT r = std::invoke(method, c, cert, 0, out.out());
    EXPECT_EQ(r, S_OK);
    return out.utf8();
}

class CertificateFields : public ComponentTest, public ::testing::WithParamInterface<CertCase> {};

}  // namespace

// The field getters against what certtool reads from the same certificate.
TEST_P(CertificateFields, MatchCerttool) {
    const auto& token = TokenEnvironment::get().token(GetParam().label);
    std::string info = shell("certtool -i --infile " + quoted(token.certFile));
    Bstr cert(pemToBase64Der(readFile(token.certFile)));
    auto text = [&](Getter method) { return callGetter(c, method, cert); };
    std::string serial = certtoolField(info, "Serial Number (hex)");
    for (auto& ch : serial) ch = static_cast<char>(toupper(ch));
    EXPECT_EQ(text(&ICardCryptoComponent::CAPICertGetSerialNumber), serial);
    EXPECT_EQ(text(&ICardCryptoComponent::CAPICertGetIssuer), certtoolField(info, "Issuer"));
    EXPECT_EQ(text(&ICardCryptoComponent::CAPICertGetSubject), certtoolField(info, "Subject"));
    EXPECT_EQ(text(&ICardCryptoComponent::CAPICertGetVersion), certtoolField(info, "Version"));
    EXPECT_EQ(text(&ICardCryptoComponent::CAPICertGetNotBefore),
              isoDate(certtoolField(info, "Not Before")));
    EXPECT_EQ(text(&ICardCryptoComponent::CAPICertGetNotAfter),
              isoDate(certtoolField(info, "Not After")));
    EXPECT_EQ(text(&ICardCryptoComponent::CryptCertGetSignatureAlgorithm),
              certtoolField(info, "Signature Algorithm"));

    // The public key: certtool's key pin is the SHA-256 of the SubjectPublicKeyInfo.
    std::string spki = card::base64Decode(text(&ICardCryptoComponent::CAPICertGetPublicKey));
    unsigned char hash[32];
    gnutls_hash_fast(GNUTLS_DIG_SHA256, spki.data(), spki.size(), hash);
    std::string pin = "pin-sha256:" + base64Of(std::string(reinterpret_cast<char*>(hash), 32));
    EXPECT_NE(info.find("Public Key PIN:\n\t\t" + pin), std::string::npos) << pin;

    // Fields the demo certificate carries.
    EXPECT_EQ(text(&ICardCryptoComponent::GPKI_GetTailOfCitizenID), "6789");
    EXPECT_EQ(text(&ICardCryptoComponent::GPKI_GetOrganizationID), "NTRTW-12345678");
    EXPECT_EQ(text(&ICardCryptoComponent::GPKI_GetCardHolderRank), "Engineer");
    EXPECT_EQ(text(&ICardCryptoComponent::GPKI_GetCertTypeOID),
              "1.3.6.1.4.1.59999.1.1;1.3.6.1.4.1.59999.2.3");
    EXPECT_EQ(text(&ICardCryptoComponent::GPKI_GetEntityOID),
              "1.3.6.1.5.5.7.3.2;1.3.6.1.5.5.7.3.4");
    LONG type = -1;
    EXPECT_EQ(c->GPKI_GetCertType(cert, 0, &type), S_OK);
    EXPECT_EQ(type, GetParam().type);
    Bstr birth, country, absent;
    EXPECT_EQ(c->GPKI_CertGetSubjectDirectoryAttrs(cert, Bstr("1.3.6.1.5.5.7.9.1"), 0, birth.out()),
              S_OK);
    EXPECT_EQ(birth.utf8(), "19900101000000Z");
    EXPECT_EQ(
        c->GPKI_CertGetSubjectDirectoryAttrs(cert, Bstr("1.3.6.1.5.5.7.9.4"), 0, country.out()),
        S_OK);
    EXPECT_EQ(country.utf8(), "TW");
    EXPECT_EQ(c->GPKI_CertGetSubjectDirectoryAttrs(cert, Bstr("1.2.3.4"), 0, absent.out()), S_OK);
    EXPECT_EQ(absent.utf8(), "");

    // Every extension certtool lists, with its criticality.
    std::string extensions = text(&ICardCryptoComponent::CryptCertGetExtension);
    EXPECT_NE(extensions.find("2.5.29.9,0,"), std::string::npos) << extensions;
    EXPECT_NE(extensions.find("2.5.29.15,1,"), std::string::npos) << extensions;
    EXPECT_NE(extensions.find("2.5.29.19,1,"), std::string::npos) << extensions;
    EXPECT_NE(extensions.find("2.5.29.32,0,"), std::string::npos) << extensions;

    Bstr oid;
    EXPECT_EQ(c->CryptCertGetSignatureAlgorithm(cert, 1, oid.out()), S_OK);
    EXPECT_EQ(oid.utf8(), "1.2.840.10045.4.3.2");  // the demo CA signs with ECDSA-SHA256
}

INSTANTIATE_TEST_SUITE_P(Keys, CertificateFields,
                         ::testing::Values(CertCase{"RSA Demo", "RSA", 3},
                                           CertCase{"EC Demo", "EC", 1}),
                         [](const auto& info) { return std::string(info.param.algorithm); });

// A certificate without the optional fields answers empty texts; PEM reads like Base64 DER;
// what is neither fails with the documented code.
TEST_F(ComponentTest, CertificateWithoutOptionalFieldsAndBadInput) {
    Bstr ca(readFile(TokenEnvironment::get().caFile()));
    for (Getter method :
         {&ICardCryptoComponent::GPKI_GetTailOfCitizenID,
          &ICardCryptoComponent::GPKI_GetOrganizationID,
          &ICardCryptoComponent::GPKI_GetCardHolderRank, &ICardCryptoComponent::GPKI_GetEntityOID})
        EXPECT_EQ(callGetter(c, method, ca), "");
    LONG type = 0;
    EXPECT_EQ(c->GPKI_GetCertType(ca, 0, &type), S_OK);
    EXPECT_EQ(type, 4);
    Bstr subject;
    EXPECT_EQ(c->CAPICertGetSubject(ca, 0, subject.out()), S_OK);
    EXPECT_EQ(subject.utf8(), "CN=Tessaroll Demo CA,O=Tessaroll Demo,C=TW");

    for (const char* bad : {"", "not a certificate", "QUJD"}) {
        Bstr out;
        EXPECT_EQ(c->CAPICertGetSubject(Bstr(bad), 0, out.out()), card::kInvalidArgument) << bad;
        LONG last = 0;
        c->get_lastError(&last);
        EXPECT_EQ(last, card::kInvalidArgument);
    }
    Bstr out;
    EXPECT_EQ(c->CAPICertGetSubject(nullptr, 0, out.out()), card::kInvalidArgument);
}

TEST_F(ComponentTest, EnumCertsGivesOneBase64CertificatePerArrayElement) {
    selectToken("RSA Demo");
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(c->GPKI_EnumCerts(0, &v), S_OK);
    ASSERT_EQ(v.vt, VT_ARRAY | VT_VARIANT);
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(v.parray, 1, &lower);
    SafeArrayGetUBound(v.parray, 1, &upper);
    ASSERT_EQ(upper - lower, 0);
    VARIANT element;
    VariantInit(&element);
    ASSERT_EQ(SafeArrayGetElement(v.parray, &lower, &element), S_OK);
    ASSERT_EQ(element.vt, VT_BSTR);
    std::string expected =
        pemToBase64Der(readFile(TokenEnvironment::get().token("RSA Demo").certFile));
    EXPECT_EQ(utf16ToUtf8(std::u16string(element.bstrVal, SysStringLen(element.bstrVal))),
              expected);
    VariantClear(&element);
    VariantClear(&v);

    Bstr joined, cached;
    EXPECT_EQ(c->GPKI_EnumCertsToString(0, joined.out()), S_OK);
    EXPECT_EQ(joined.utf8(), expected + ";");
    EXPECT_EQ(c->GPKI_GetCachedCert(cached.out()), S_OK);
    EXPECT_EQ(cached.utf8(), expected);
}

// CMS SignedData from the token's key, checked by openssl, for both key kinds, attached and
// detached, with the text signed in the code page asked for.
TEST_F(ComponentTest, SignDataIsVerifiedByOpenssl) {
    auto& env = TokenEnvironment::get();
    fs::path dir = env.sandbox().tempDir();
    for (const char* label : {"RSA Demo", "EC Demo"}) {
        SCOPED_TRACE(label);
        selectToken(label);
        struct Case {
            const char* text;
            const char* codePage;
            LONG flags;
            LONG hash;
            const char* algorithm;
        };
        for (Case k : {Case{"hello card", "", 0, 0, "SHA256"},
                       Case{"\xe4\xb8\xad\xe6\x96\x87 text", "950", 0, 4, "SHA512"},
                       Case{"detached", "65001", 1, 3, "SHA384"}}) {
            SCOPED_TRACE(k.codePage);
            Bstr sig;
            ASSERT_EQ(c->GPKI_SignData(Bstr(kPin), Bstr(k.text), Bstr(k.codePage), k.flags, k.hash,
                                       sig.out()),
                      S_OK);
            writeFile(dir / "sig.p7", card::base64Decode(sig.utf8()));
            std::string expected =
                std::string(k.codePage) == "950"
                    ? shell("printf %s " + quoted(k.text) + " | iconv -f UTF-8 -t BIG5")
                    : std::string(k.text);
            writeFile(dir / "content", expected);
            int status = 1;
            std::string cmd = "openssl cms -verify -binary -inform DER -in " +
                              (dir / "sig.p7").string() + " -CAfile " + env.caFile().string() +
                              " -purpose any -out " + (dir / "out").string();
            if (k.flags & 1) cmd += " -content " + (dir / "content").string();
            std::string out = shell(cmd + " 2>&1", &status);
            EXPECT_EQ(status, 0) << out;
            EXPECT_EQ(readFile(dir / "out"), expected);
            Bstr algorithm;
            EXPECT_EQ(c->CryptSignatureGetAlgorithm(sig, 0, 0, algorithm.out()), S_OK);
            EXPECT_NE(algorithm.utf8().find(k.algorithm), std::string::npos) << algorithm.utf8();
        }
    }
}

TEST_F(ComponentTest, PureSignIsARawSignatureOverTheBytes) {
    auto& env = TokenEnvironment::get();
    fs::path dir = env.sandbox().tempDir();
    for (const char* label : {"RSA Demo", "EC Demo"}) {
        SCOPED_TRACE(label);
        selectToken(label);
        Bstr sig;
        // Binary data given as Base64 (flag 2).
        ASSERT_EQ(c->GPKI_PureSign(Bstr(kPin), Bstr(base64Of(std::string("\x00\x01\xff", 3))),
                                   Bstr(""), 2, 0, sig.out()),
                  S_OK);
        writeFile(dir / "raw.sig", card::base64Decode(sig.utf8()));
        writeFile(dir / "data", std::string("\x00\x01\xff", 3));
        shell("openssl x509 -in " + quoted(env.token(label).certFile) + " -pubkey -noout > " +
              (dir / "pub.pem").string());
        int status = 1;
        std::string out =
            shell("openssl dgst -sha256 -verify " + (dir / "pub.pem").string() + " -signature " +
                      (dir / "raw.sig").string() + " " + (dir / "data").string() + " 2>&1",
                  &status);
        EXPECT_EQ(status, 0) << out;
    }
}

// An enveloped XML signature, new and from a template with an Id, checked by xmlsec1.
TEST_F(ComponentTest, XmlSignatureIsVerifiedByXmlsec) {
    auto& env = TokenEnvironment::get();
    fs::path dir = env.sandbox().tempDir();
    const std::string plain =
        "<doc xmlns=\"urn:example\"><item a=\"1\">text</item>\n<!-- note --><item/></doc>";
    const std::string templ =
        "<doc><data>signed text</data><ds:Signature "
        "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"sig1\">"
        "<ds:SignedInfo><ds:CanonicalizationMethod "
        "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
        "<ds:SignatureMethod Algorithm=\"\"/><ds:Reference URI=\"\"><ds:Transforms>"
        "<ds:Transform "
        "Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/></ds:Transforms>"
        "<ds:DigestMethod "
        "Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><ds:DigestValue/></ds:Reference>"
        "</ds:SignedInfo><ds:SignatureValue/><ds:KeyInfo><ds:X509Data/></ds:KeyInfo></"
        "ds:Signature></doc>";
    // One element of a namespaced document by its Id, canonicalised inclusively.
    const std::string byId =
        "<r:root xmlns:r=\"urn:example\" xmlns:x=\"urn:other\"><r:part Id=\"p1\" "
        "x:a=\"1\">text</r:part>"
        "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
        "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
        "<ds:Reference URI=\"#p1\"><ds:DigestValue/></ds:Reference></ds:SignedInfo>"
        "<ds:SignatureValue/></ds:Signature></r:root>";
    struct Case {
        std::string xml, id, verifyArgs;
    };
    for (const char* label : {"RSA Demo", "EC Demo"}) {
        selectToken(label);
        for (const Case& k : {Case{plain, "", ""}, Case{templ, "sig1", ""},
                              Case{byId, "", "--id-attr:Id urn:example:part"}}) {
            SCOPED_TRACE(std::string(label) + " " + k.xml.substr(0, 12));
            Bstr signedXml;
            ASSERT_EQ(
                c->GPKI_XMLSignTemplate(Bstr(kPin), Bstr(k.xml), Bstr(k.id), 0, signedXml.out()),
                S_OK);
            writeFile(dir / "signed.xml", signedXml.utf8());
            std::string verify = "xmlsec1 --verify --trusted-pem " + env.caFile().string() + " " +
                                 k.verifyArgs + " ";
            int status = 1;
            std::string out = shell(verify + (dir / "signed.xml").string() + " 2>&1", &status);
            EXPECT_EQ(status, 0) << out << "\n" << signedXml.utf8();
            // Changing the signed content breaks it.
            std::string tampered = signedXml.utf8();
            tampered.replace(tampered.find("text"), 4, "TEXT");
            writeFile(dir / "tampered.xml", tampered);
            shell(verify + (dir / "tampered.xml").string() + " 2>&1", &status);
            EXPECT_NE(status, 0);
        }
    }
}

// The digest step and the signing of a prepared document, the file variants and the
// signing sequence without a PIN.
TEST_F(ComponentTest, XmlDigestFileAndSequenceVariants) {
    auto& env = TokenEnvironment::get();
    fs::path dir = env.sandbox().home() / "Documents";  // an allowed folder
    selectToken("RSA Demo");
    const std::string xml = "<doc><item>text</item></doc>";
    Bstr prepared;
    ASSERT_EQ(c->GPKI_XMLCalcTemplateDigest(Bstr(xml), Bstr("s"), prepared.out()), S_OK);
    EXPECT_NE(prepared.utf8().find("<ds:DigestValue>"), std::string::npos) << prepared.utf8();

    Bstr signedXml;
    ASSERT_EQ(c->GPKI_XMLSignTemplateDigest(Bstr(kPin), prepared, Bstr("s"), 0, signedXml.out()),
              S_OK);
    writeFile(dir / "a.xml", signedXml.utf8());
    int status = 1;
    std::string verify = "xmlsec1 --verify --trusted-pem " + env.caFile().string() + " ";
    EXPECT_EQ((shell(verify + (dir / "a.xml").string() + " 2>&1", &status), status), 0);

    writeFile(dir / "in.xml", xml);
    LONG answer = -1;
    ASSERT_EQ(
        c->GPKI_XMLSignTemplateFile2File(Bstr(kPin), Bstr((dir / "in.xml").string()),
                                         Bstr((dir / "out.xml").string()), Bstr(""), 0, &answer),
        S_OK);
    EXPECT_EQ((shell(verify + (dir / "out.xml").string() + " 2>&1", &status), status), 0);

    // Without SignInit the PIN-less variants refuse; inside it they sign and are counted.
    Bstr refused;
    EXPECT_EQ(c->GPKI_XMLSignTemplateUpdate(Bstr(xml), Bstr(""), 0, refused.out()),
              card::kNotInSequence);
    ASSERT_EQ(c->GPKI_SignInit(Bstr(kPin), 0, &answer), S_OK);
    Bstr one, two;
    ASSERT_EQ(c->GPKI_XMLSignTemplateUpdate(Bstr(xml), Bstr(""), 0, one.out()), S_OK);
    ASSERT_EQ(
        c->GPKI_XMLSignTemplateFileUpdate(Bstr((dir / "in.xml").string()), Bstr(""), 0, two.out()),
        S_OK);
    writeFile(dir / "one.xml", one.utf8());
    EXPECT_EQ((shell(verify + (dir / "one.xml").string() + " 2>&1", &status), status), 0);
    ASSERT_EQ(c->GPKI_SignFinal(0, &answer), S_OK);
    EXPECT_EQ(answer, 2);
    EXPECT_EQ(c->GPKI_SignFinal(0, &answer), card::kNotInSequence);
}

TEST_F(ComponentTest, XmlExternalReferencesStayInsideTheReferenceFolders) {
    auto& env = TokenEnvironment::get();
    fs::path refs = env.sandbox().home() / "Documents" / "refs";
    writeFile(refs / "part.txt", "external part");
    writeFile(env.sandbox().home() / "Documents" / "secret.txt", "not for pages");
    selectToken("RSA Demo");
    auto withReference = [](const std::string& uri) {
        return "<doc><ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
               "<ds:Reference URI=\"" +
               uri + "\"><ds:DigestValue/></ds:Reference></ds:SignedInfo></ds:Signature></doc>";
    };
    ASSERT_EQ(c->SetXMLReferenceDirs(
                  Bstr((env.sandbox().home() / "Documents/nonexistent;").string() + refs.string())),
              S_OK);
    Bstr ok;
    ASSERT_EQ(c->GPKI_XMLCalcTemplateDigest(Bstr(withReference("part.txt")), Bstr(""), ok.out()),
              S_OK);
    unsigned char hash[32];
    gnutls_hash_fast(GNUTLS_DIG_SHA256, "external part", 13, hash);
    EXPECT_NE(ok.utf8().find(base64Of(std::string(reinterpret_cast<char*>(hash), 32))),
              std::string::npos)
        << ok.utf8();
    for (const char* uri : {"../secret.txt", "/etc/passwd", "file:///etc/passwd"}) {
        Bstr out;
        EXPECT_EQ(c->GPKI_XMLCalcTemplateDigest(Bstr(withReference(uri)), Bstr(""), out.out()),
                  card::kAccessDenied)
            << uri;
    }
    Bstr missing;
    EXPECT_EQ(
        c->GPKI_XMLCalcTemplateDigest(Bstr(withReference("absent.txt")), Bstr(""), missing.out()),
        card::kFileNotFound);
}

// Each encryption method and its decryption round-trip; what openssl encrypts to the card's
// certificate, the card decrypts.
TEST_F(ComponentTest, EncryptionRoundTrips) {
    auto& env = TokenEnvironment::get();
    fs::path dir = env.sandbox().home() / "Documents";  // an allowed folder
    selectToken("RSA Demo");
    Bstr cert(readFile(env.token("RSA Demo").certFile));
    const std::string secret = "secret \xe4\xb8\xad\xe6\x96\x87 message";

    Bstr envelope, plain;
    ASSERT_EQ(c->GPKI_EncryptByCert(cert, Bstr(secret), 0, envelope.out()), S_OK);
    ASSERT_EQ(c->GPKI_DecryptEx(Bstr(kPin), envelope, 0, 0, plain.out()), S_OK);
    EXPECT_EQ(plain.utf8(), secret);

    // GPKI_Decrypt takes no PIN: it uses the one of a login.
    Bstr noLogin;
    EXPECT_EQ(c->GPKI_Decrypt(envelope, 0, 0, noLogin.out()), card::kNotAuthenticated);
    LONG answer = -1;
    ASSERT_EQ(c->GPKI_SignInitLogin(Bstr(kPin), 0, &answer), S_OK);
    Bstr again;
    ASSERT_EQ(c->GPKI_Decrypt(envelope, 0, 0, again.out()), S_OK);
    EXPECT_EQ(again.utf8(), secret);
    ASSERT_EQ(c->GPKI_Decrypt2File(envelope, Bstr((dir / "plain.bin").string()), 0, 0, &answer),
              S_OK);
    EXPECT_EQ(readFile(dir / "plain.bin"), secret);
    EXPECT_EQ(answer, static_cast<LONG>(secret.size()));

    writeFile(dir / "msg", "from openssl");
    shell("openssl cms -encrypt -aes256 -binary -outform DER -in " + (dir / "msg").string() +
          " -out " + (dir / "msg.p7").string() + " " + quoted(env.token("RSA Demo").certFile));
    Bstr fromOpenssl;
    ASSERT_EQ(c->GPKI_DecryptEx(Bstr(kPin), Bstr(base64Of(readFile(dir / "msg.p7"))), 0, 0,
                                fromOpenssl.out()),
              S_OK);
    EXPECT_EQ(fromOpenssl.utf8(), "from openssl");

    Bstr raw, rawPlain;
    ASSERT_EQ(c->GPKI_RSAEncryptByCert(cert, Bstr(secret), 0, raw.out()), S_OK);
    ASSERT_EQ(c->GPKI_RSADecrypt(raw, Bstr(kPin), 0, rawPlain.out()), S_OK);
    EXPECT_EQ(rawPlain.utf8(), secret);

    Bstr tampered, ecCipher;
    std::string bytes = card::base64Decode(envelope.utf8());
    bytes[bytes.size() - 3] ^= 0x55;
    EXPECT_LT(c->GPKI_DecryptEx(Bstr(kPin), Bstr(base64Of(bytes)), 0, 0, tampered.out()), 0);
    EXPECT_EQ(c->GPKI_EncryptByCert(Bstr(readFile(env.token("EC Demo").certFile)), Bstr("x"), 0,
                                    ecCipher.out()),
              card::kBadAlgorithm);
}

// Wrong PINs count down the tries and then block the token, also for the right PIN.
TEST_F(ComponentTest, WrongPinLowersTheTriesAndBlocks) {
    selectToken("Lock Demo");
    LONG tries = -1, answer = -1;
    ASSERT_EQ(c->GPKI_GetErrorPINCount(&tries), S_OK);
    EXPECT_EQ(tries, 3);
    EXPECT_EQ(c->GPKI_VerifyPIN(Bstr("000000"), 0, &answer), card::kWrongPin);
    ASSERT_EQ(c->GPKI_GetErrorPINCount(&tries), S_OK);
    EXPECT_EQ(tries, 2);
    // A right PIN gives the tries back.
    EXPECT_EQ(c->GPKI_VerifyPIN(Bstr(kPin), 0, &answer), S_OK);
    ASSERT_EQ(c->GPKI_GetErrorPINCount(&tries), S_OK);
    EXPECT_EQ(tries, 3);
    EXPECT_EQ(c->GPKI_VerifyPIN(Bstr("000000"), 0, &answer), card::kWrongPin);
    Bstr sig;
    EXPECT_EQ(c->GPKI_SignData(Bstr("111111"), Bstr("x"), Bstr(""), 0, 0, sig.out()),
              card::kWrongPin);
    EXPECT_EQ(c->GPKI_VerifyPIN(Bstr("222222"), 0, &answer), card::kPinBlocked);
    ASSERT_EQ(c->GPKI_GetErrorPINCount(&tries), S_OK);
    EXPECT_EQ(tries, 0);
    EXPECT_EQ(c->GPKI_VerifyPIN(Bstr(kPin), 0, &answer), card::kPinBlocked);
    EXPECT_EQ(c->GPKI_SignData(Bstr(kPin), Bstr("x"), Bstr(""), 0, 0, sig.out()),
              card::kPinBlocked);

    // The count is the token's, not the object's: a new component object sees it too.
    IUnknown* unknown = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_CardCryptoComponent, nullptr, CLSCTX_ALL,
                               IID_ICardCryptoComponent, reinterpret_cast<void**>(&unknown)),
              S_OK);
    auto* second = reinterpret_cast<ICardCryptoComponent*>(unknown);
    LONG count = 0;
    second->GPKI_GetSlotCount(&count);
    LONG seen = -1;
    for (LONG i = 0; i < count; ++i) {
        Bstr serial;
        second->GPKI_SetReaderSlot(0, i, &answer);
        second->GPKI_GetSerialNumber(serial.out());
        if (serial.utf8() == TokenEnvironment::get().token("Lock Demo").serial)
            second->GPKI_GetErrorPINCount(&seen);
    }
    EXPECT_EQ(seen, 0);
    second->Release();
}

TEST_F(ComponentTest, ChangePinThenTheNewPinWorks) {
    selectToken("PIN Demo");
    LONG answer = -1;
    EXPECT_EQ(c->GPKI_ChangePIN(Bstr("999999"), Bstr("654321"), 0, &answer), card::kWrongPin);
    ASSERT_EQ(c->GPKI_ChangePIN(Bstr(kPin), Bstr("654321"), 0, &answer), S_OK);
    EXPECT_EQ(c->GPKI_VerifyPIN(Bstr(kPin), 0, &answer), card::kWrongPin);
    EXPECT_EQ(c->GPKI_VerifyPIN(Bstr("654321"), 0, &answer), S_OK);
    Bstr sig;
    EXPECT_EQ(c->GPKI_SignData(Bstr("654321"), Bstr("x"), Bstr(""), 0, 0, sig.out()), S_OK);
}

TEST_F(ComponentTest, SignDataSequenceSignsEachUpdateWithOnePin) {
    selectToken("EC Demo");
    LONG answer = -1;
    Bstr sig;
    EXPECT_EQ(c->GPKI_SignDataUpdate(Bstr("a"), Bstr(""), 0, 0, sig.out()), card::kNotInSequence);
    EXPECT_EQ(c->GPKI_SignDataInit(Bstr("000000"), 0, &answer), card::kWrongPin);
    ASSERT_EQ(c->GPKI_SignDataInit(Bstr(kPin), 0, &answer), S_OK);
    for (const char* data : {"first", "second"}) {
        Bstr s;
        ASSERT_EQ(c->GPKI_SignDataUpdate(Bstr(data), Bstr(""), 0, 0, s.out()), S_OK);
        EXPECT_FALSE(s.utf8().empty());
    }
    ASSERT_EQ(c->GPKI_SignDataFinal(0, &answer), S_OK);
    EXPECT_EQ(answer, 2);
    EXPECT_EQ(c->GPKI_SignDataUpdate(Bstr("a"), Bstr(""), 0, 0, sig.out()), card::kNotInSequence);
    // A PIN-less signature after a login.
    EXPECT_EQ(c->GPKI_SignData(Bstr(""), Bstr("x"), Bstr(""), 0, 0, sig.out()),
              card::kNotAuthenticated);
    ASSERT_EQ(c->GPKI_SignInitLogin(Bstr(kPin), 0, &answer), S_OK);
    EXPECT_EQ(c->GPKI_SignData(Bstr(""), Bstr("x"), Bstr(""), 0, 0, sig.out()), S_OK);
    EXPECT_EQ(c->GPKI_SignData(Bstr(kPin), Bstr("x"), Bstr(""), 0, 9, sig.out()),
              card::kBadAlgorithm);
}

TEST_F(ComponentTest, ReadersAndDrivers) {
    LONG count = 0, answer = -1;
    ASSERT_EQ(c->GPKI_GetSlotCount(&count), S_OK);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(c->GPKI_DetectCard(0, &answer), S_OK);
    EXPECT_EQ(answer, 4);
    EXPECT_EQ(c->GPKI_SetReaderSlot(0, 4, &answer), card::kReaderUnavailable);
    EXPECT_EQ(c->GPKI_SetReaderSlot(0, -1, &answer), card::kReaderUnavailable);
    EXPECT_EQ(c->DetectReplug(0, 0, &answer), S_OK);
    EXPECT_EQ(answer, 0);

    // A module by path: SoftHSM2 itself reaches the same tokens.
    std::string softhsm = fs::exists("/usr/lib/softhsm/libsofthsm2.so")
                              ? "/usr/lib/softhsm/libsofthsm2.so"
                              : "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so";
    ASSERT_EQ(c->GPKI_SetPKCS11Driver(Bstr(softhsm), &answer), S_OK);
    ASSERT_EQ(c->GPKI_GetSlotCount(&count), S_OK);
    EXPECT_EQ(count, 4);

    // No token present: the smart-card module without readers.
    ASSERT_EQ(
        c->GPKI_SetPKCS11Driver(Bstr("/usr/lib/x86_64-linux-gnu/pkcs11/opensc-pkcs11.so"), &answer),
        S_OK);
    ASSERT_EQ(c->GPKI_GetSlotCount(&count), S_OK);
    EXPECT_EQ(count, 0);
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(c->GPKI_EnumCerts(0, &v), card::kNoSmartCard);
    EXPECT_EQ(c->GPKI_DetectCard(0, &answer), card::kNoSmartCard);
    EXPECT_EQ(c->GPKI_VerifyPIN(Bstr(kPin), 0, &answer), card::kNoSmartCard);
    Bstr serial;
    EXPECT_EQ(c->GPKI_GetSerialNumber(serial.out()), card::kNoSmartCard);
    LONG last = 0;
    c->get_lastError(&last);
    EXPECT_EQ(last, card::kNoSmartCard);

    // A page must not make the service load a library of its choosing.
    fs::path planted = TokenEnvironment::get().sandbox().tempDir() / "libsofthsm2.so";
    fs::copy_file(softhsm, planted);
    EXPECT_EQ(c->GPKI_SetPKCS11Driver(Bstr(planted.string()), &answer), card::kAccessDenied);
    EXPECT_EQ(c->GPKI_SetPKCS11Driver(Bstr("/nonexistent/module.so"), &answer),
              card::kModuleNotFound);

    // Back to every registered module.
    ASSERT_EQ(c->GPKI_SetPKCS11Driver(Bstr(""), &answer), S_OK);
    ASSERT_EQ(c->GPKI_GetSlotCount(&count), S_OK);
    EXPECT_EQ(count, 4);
}

TEST_F(ComponentTest, Base64WithCodePages) {
    struct Case {
        const char* text;
        const char* codePage;
        std::string bytes;
    };
    for (const Case& k : {Case{"\xe4\xb8\xad\xe6\x96\x87", "950", "\xa4\xa4\xa4\xe5"},
                          Case{"\xe4\xb8\xad\xe6\x96\x87", "65001", "\xe4\xb8\xad\xe6\x96\x87"},
                          Case{"\xc3\xa9", "950", ""}, Case{"A", "1200", std::string("A\0", 2)}}) {
        SCOPED_TRACE(k.codePage);
        Bstr encoded, decoded;
        HRESULT r = c->GPKI_Base64Encode(Bstr(k.text), Bstr(k.codePage), encoded.out());
        if (k.bytes.empty()) {  // é has no BIG5 form
            EXPECT_EQ(r, card::kInvalidArgument);
            continue;
        }
        ASSERT_EQ(r, S_OK);
        EXPECT_EQ(card::base64Decode(encoded.utf8()), k.bytes);
        ASSERT_EQ(c->GPKI_Base64Decode(encoded, Bstr(k.codePage), decoded.out()), S_OK);
        EXPECT_EQ(decoded.utf8(), k.text);
    }
    // SetCodePage changes what an empty code-page argument means.
    ASSERT_EQ(c->SetCodePage(950), S_OK);
    Bstr big5;
    ASSERT_EQ(c->GPKI_Base64Encode(Bstr("\xe4\xb8\xad"), Bstr(""), big5.out()), S_OK);
    EXPECT_EQ(card::base64Decode(big5.utf8()), "\xa4\xa4");
    EXPECT_EQ(c->SetCodePage(-5), card::kInvalidArgument);
    Bstr bad;
    EXPECT_EQ(c->GPKI_Base64Encode(Bstr("x"), Bstr("no-such-code-page"), bad.out()),
              card::kInvalidArgument);
    EXPECT_EQ(c->GPKI_Base64Decode(Bstr("***"), Bstr(""), bad.out()), card::kInvalidArgument);
}

TEST_F(ComponentTest, ReadFileAndVersion) {
    fs::path file = TokenEnvironment::get().sandbox().home() / "Documents" / "data.bin";
    writeFile(file, std::string("\x01\x02hello", 7));
    Bstr b64, text, missing, version;
    ASSERT_EQ(c->GPKI_ReadFile(Bstr(file.string()), 0, b64.out()), S_OK);
    EXPECT_EQ(card::base64Decode(b64.utf8()), std::string("\x01\x02hello", 7));
    writeFile(file, "plain text");
    ASSERT_EQ(c->GPKI_ReadFile(Bstr(file.string()), 1, text.out()), S_OK);
    EXPECT_EQ(text.utf8(), "plain text");
    EXPECT_EQ(c->GPKI_ReadFile(Bstr((file.string() + ".absent")), 0, missing.out()),
              card::kFileNotFound);
    ASSERT_EQ(c->GetVersion(0, version.out()), S_OK);
    EXPECT_EQ(version.utf8(), "1.0.0.1");
}

namespace {

std::string softhsmModule() {
    return fs::exists("/usr/lib/softhsm/libsofthsm2.so")
               ? "/usr/lib/softhsm/libsofthsm2.so"
               : "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so";
}

ICardCryptoComponent* newComponent() {
    ICardCryptoComponent* other = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_CardCryptoComponent, nullptr, CLSCTX_ALL,
                               IID_ICardCryptoComponent, reinterpret_cast<void**>(&other)),
              S_OK);
    return other;
}

}  // namespace

// Only PKCS#11 modules are loaded: the path is resolved first, then it must be a module p11-kit
// registers or one of (or linked from) the module folders. A library's start-up code must not run.
TEST_F(ComponentTest, OnlySystemModulesAreLoaded) {
    fs::path temp = TokenEnvironment::get().sandbox().tempDir();
    fs::create_symlink(softhsmModule(), temp / "module-link.so");
    fs::create_symlink("/usr/lib/x86_64-linux-gnu/libasan.so.8", temp / "asan-link.so");
    fs::copy_file(softhsmModule(), temp / "libsofthsm2.so");
    struct Case {
        std::string path;
        HRESULT expected;
        LONG readers;  // after the call
    };
    const Case cases[] = {
        {"/usr/lib/x86_64-linux-gnu/libasan.so.8", card::kAccessDenied, 4},
        {"/usr/lib/x86_64-linux-gnu/libz.so.1", card::kAccessDenied, 4},
        {(temp / "asan-link.so").string(), card::kAccessDenied, 4},
        {"/usr/lib/x86_64-linux-gnu/pkcs11/../libasan.so.8", card::kAccessDenied, 4},
        {(temp / "libsofthsm2.so").string(), card::kAccessDenied, 4},  // a copy outside the folders
        {"/nonexistent/module.so", card::kModuleNotFound, 4},
        {softhsmModule(), S_OK, 4},
        {(temp / "module-link.so").string(), S_OK, 4},  // a link to a module from elsewhere
        {"/usr/lib/x86_64-linux-gnu/pkcs11/../pkcs11/opensc-pkcs11.so", S_OK, 0},
        {"", S_OK, 4},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.path);
        LONG answer = -1, count = -1;
        EXPECT_EQ(c->GPKI_SetPKCS11Driver(Bstr(k.path), &answer), k.expected);
        ASSERT_EQ(c->GPKI_GetSlotCount(&count), S_OK);
        EXPECT_EQ(count, k.readers);
    }
}

// A session's module is its own: another session keeps every registered module.
TEST_F(ComponentTest, ModuleChoiceBelongsToItsSession) {
    ICardCryptoComponent* other = newComponent();
    ASSERT_NE(other, nullptr);
    LONG answer = -1, mine = -1, theirs = -1;
    ASSERT_EQ(
        c->GPKI_SetPKCS11Driver(Bstr("/usr/lib/x86_64-linux-gnu/pkcs11/opensc-pkcs11.so"), &answer),
        S_OK);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(other->GPKI_GetSlotCount(&theirs), S_OK);
        ASSERT_EQ(c->GPKI_GetSlotCount(&mine), S_OK);
        EXPECT_EQ(theirs, 4);
        EXPECT_EQ(mine, 0);
    }
    Bstr sig;
    selectTokenOf(other, "RSA Demo");
    EXPECT_EQ(other->GPKI_SignData(Bstr(kPin), Bstr("x"), Bstr(""), 0, 0, sig.out()), S_OK);
    other->Release();
}

// A token stays logged in for the PIN that opened it, and for nothing else: another PIN, from
// this session or another, is judged by the token and counted; a changed PIN no longer signs.
TEST_F(ComponentTest, KeptLoginTakesOnlyItsOwnPin) {
    selectToken("RSA Demo");
    ICardCryptoComponent* other = newComponent();
    ASSERT_NE(other, nullptr);
    selectTokenOf(other, "RSA Demo");
    LONG tries = -1, answer = -1;
    Bstr sig;
    ASSERT_EQ(c->GPKI_SignData(Bstr(kPin), Bstr("x"), Bstr(""), 0, 0, sig.out()), S_OK);
    struct Step {
        ICardCryptoComponent* who;
        const char* method;
        const char* pin;
        HRESULT expected;
        LONG triesAfter;
    };
    const Step steps[] = {
        {other, "sign", "000000", card::kWrongPin,
         2},  // the other session, while c's login is kept
        {c, "sign", kPin, S_OK, 3},
        {c, "verify", "111111", card::kWrongPin, 2},  // the same session, a wrong PIN
        {other, "verify", kPin, S_OK, 3},
        {other, "pure", "222222", card::kWrongPin, 2},
        {c, "pure", kPin, S_OK, 3},
        {c, "sign", kPin, S_OK, 3},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.method) + " " + s.pin);
        Bstr out;
        HRESULT r = std::string(s.method) == "verify"
                        ? s.who->GPKI_VerifyPIN(Bstr(s.pin), 0, &answer)
                    : std::string(s.method) == "pure"
                        ? s.who->GPKI_PureSign(Bstr(s.pin), Bstr("x"), Bstr(""), 0, 0, out.out())
                        : s.who->GPKI_SignData(Bstr(s.pin), Bstr("x"), Bstr(""), 0, 0, out.out());
        EXPECT_EQ(r, s.expected);
        ASSERT_EQ(c->GPKI_GetErrorPINCount(&tries), S_OK);
        EXPECT_EQ(tries, s.triesAfter);
    }
    // A changed PIN applies at once, also to the session that signed with the old one.
    ASSERT_EQ(other->GPKI_ChangePIN(Bstr(kPin), Bstr("654321"), 0, &answer), S_OK);
    EXPECT_EQ(c->GPKI_SignData(Bstr(kPin), Bstr("x"), Bstr(""), 0, 0, sig.out()), card::kWrongPin);
    EXPECT_EQ(c->GPKI_SignData(Bstr("654321"), Bstr("x"), Bstr(""), 0, 0, sig.out()), S_OK);
    other->Release();
    // Released with its object: the next signature logs in again and still checks the PIN.
    EXPECT_EQ(c->GPKI_SignData(Bstr("000000"), Bstr("x"), Bstr(""), 0, 0, sig.out()),
              card::kWrongPin);
}

// A PIN that reveals private certificates does not move the public ones.
TEST_F(ComponentTest, AttributeCertIndexDoesNotShiftWithPin) {
    const auto& env = TokenEnvironment::get();
    std::string conf = (env.demoDir() / "softhsm2.conf").string();
    int status = 0;
    std::string out = shell(
        "GNUTLS_PIN=" + std::string(kPin) + " p11tool --provider " + softhsmModule() +
            " --login --write --mark-private --load-certificate " + quoted(env.caFile().string()) +
            " --label hidden --id 00 'pkcs11:token=RSA%20Demo' 2>&1",
        &status);
    ASSERT_EQ(status, 0) << out;
    selectToken("RSA Demo");
    LONG answer = 0;
    ASSERT_EQ(c->DetectReplug(0, 0, &answer), S_OK);  // what the token holds is read again
    Bstr publicOnly, withPin, hidden, beyond;
    ASSERT_EQ(c->GPKI_GetAttributeCert(Bstr(""), Bstr(""), 0, publicOnly.out()), S_OK);
    ASSERT_EQ(c->GPKI_GetAttributeCert(Bstr(""), Bstr(kPin), 0, withPin.out()), S_OK);
    EXPECT_EQ(withPin.utf8(), publicOnly.utf8());
    EXPECT_EQ(publicOnly.utf8(), pemToBase64Der(readFile(env.token("RSA Demo").certFile)));
    ASSERT_EQ(c->GPKI_GetAttributeCert(Bstr(""), Bstr(kPin), 1, hidden.out()), S_OK);
    EXPECT_EQ(hidden.utf8(), pemToBase64Der(readFile(env.caFile())));
    EXPECT_EQ(c->GPKI_GetAttributeCert(Bstr(""), Bstr(""), 1, beyond.out()), card::kNoKey);
    EXPECT_EQ(c->GPKI_GetAttributeCert(Bstr(""), Bstr("000000"), 1, beyond.out()), card::kWrongPin);
}

// Small faults: code pages that cannot be used are refused at once; a 3DES envelope is an
// algorithm we do not offer, not bad data; serial numbers read as openssl prints them.
TEST_F(ComponentTest, CodePagesEnvelopesAndSerialsAsDocumented) {
    for (LONG bad : {1, 4242424, -5}) {
        EXPECT_EQ(c->SetCodePage(bad), card::kInvalidArgument) << bad;
        Bstr encoded;
        ASSERT_EQ(c->GPKI_Base64Encode(Bstr("A"), Bstr(""), encoded.out()), S_OK)
            << "after " << bad;
        EXPECT_EQ(encoded.utf8(), "QQ==");
    }

    auto& env = TokenEnvironment::get();
    fs::path temp = env.sandbox().tempDir();
    writeFile(temp / "plain.txt", "secret");
    int status = 0;
    std::string out = shell("openssl cms -encrypt -des3 -binary -outform DER -in " +
                                quoted((temp / "plain.txt").string()) + " " +
                                quoted(env.token("RSA Demo").certFile) + " | base64 -w0",
                            &status);
    ASSERT_EQ(status, 0) << out;
    selectToken("RSA Demo");
    Bstr plain;
    EXPECT_EQ(c->GPKI_DecryptEx(Bstr(kPin), Bstr(out), 0, 0, plain.out()), card::kBadAlgorithm);

    for (const char* serial :
         {"128", "65280", "193", "127", "256"}) {  // DER: 00 80, 00 FF 00, 00 C1, 7F, 01 00
        SCOPED_TRACE(serial);
        std::string stem = (temp / "serial").string();
        shell("certtool --generate-privkey --key-type ecdsa --outfile " + stem +
              ".key 2>/dev/null");
        writeFile(temp / "serial.tmpl",
                  std::string("cn = \"Serial\"\nserial = ") + serial + "\nexpiration_days = 1\n");
        shell("certtool --generate-self-signed --load-privkey " + stem + ".key --template " + stem +
              ".tmpl --outfile " + stem + ".pem 2>/dev/null");
        std::string expected = shell("openssl x509 -noout -serial -in " + stem + ".pem");
        ASSERT_EQ(expected.rfind("serial=", 0), 0u) << expected;
        expected = expected.substr(7, expected.find('\n') - 7);
        Bstr got;
        ASSERT_EQ(c->CAPICertGetSerialNumber(Bstr(readFile(stem + ".pem")), 0, got.out()), S_OK);
        EXPECT_EQ(got.utf8(), expected);
    }
}

// What libxml2 has to say goes to the component's log, not to the service's stderr.
TEST_F(ComponentTest, XmlLibraryMessagesGoToTheLog) {
    auto& sandbox = TokenEnvironment::get().sandbox();
    fs::path log = sandbox.tempDir() / "component.log";
    writeFile(
        sandbox.windowsDir() / "ZEFAGPKITessaroll.ini",
        "[ZEFAGPKITessaroll]\nLog File=" + log.string() + "\nLog Level=5\nLog MaxSize=100000000\n");
    fs::path errors = sandbox.tempDir() / "stderr.txt";
    fflush(stderr);
    int saved = dup(2);
    FILE* capture = fopen(errors.c_str(), "w");
    dup2(fileno(capture), 2);
    Bstr prepared;
    // A relative namespace name cannot be canonicalised: libxml2 complains.
    c->GPKI_XMLCalcTemplateDigest(Bstr("<a xmlns=\"relative\"><b/></a>"), Bstr(""), prepared.out());
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    fclose(capture);
    EXPECT_EQ(readFile(errors), "");
    std::string logged;
    for (const auto& entry : fs::directory_iterator(sandbox.tempDir()))
        if (entry.path().filename().string().rfind("component", 0) == 0)
            logged += readFile(entry.path());
    EXPECT_NE(logged.find("XML: "), std::string::npos) << logged;
}

// What the component keeps of the tokens follows the slots: a token taken away is not answered
// from what was read of it before, with no DetectReplug in between.
TEST_F(ComponentTest, TokenTakenAwayIsNotAnsweredFromWhatWasKept) {
    const DemoToken& gone = TokenEnvironment::get().token("PIN Demo");
    selectToken(gone.label);
    VARIANT before;
    VariantInit(&before);
    ASSERT_EQ(c->GPKI_EnumCerts(0, &before), S_OK);
    VariantClear(&before);
    Bstr signature;
    ASSERT_EQ(c->GPKI_SignData(Bstr(kPin), Bstr("x"), Bstr(""), 0, 0, signature.out()), S_OK);
    int status = 0;
    std::string out =
        shell("softhsm2-util --delete-token --serial " + gone.serial + " 2>&1", &status);
    ASSERT_EQ(status, 0) << out;

    Bstr serial, certs;
    HRESULT r = c->GPKI_GetSerialNumber(serial.out());
    if (r == S_OK)
        EXPECT_NE(serial.utf8(), gone.serial);
    else
        EXPECT_EQ(r, card::kNoSmartCard);
    r = c->GPKI_EnumCertsToString(0, certs.out());
    if (r == S_OK)
        EXPECT_EQ(certs.utf8().find(pemToBase64Der(readFile(gone.certFile))), std::string::npos);
    else
        EXPECT_EQ(r, card::kNoSmartCard);
    LONG count = 0;
    ASSERT_EQ(c->GPKI_GetSlotCount(&count), S_OK);
    EXPECT_EQ(count, 3);
}

// ---- what one call may cost, and what it holds up ----------------------------------------

namespace {

constexpr const char* kDsigOpen =
    "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
    "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\"/>"
    "<ds:SignatureMethod Algorithm=\"\"/>";
constexpr const char* kDsigClose =
    "</ds:SignedInfo><ds:SignatureValue/><ds:KeyInfo><ds:X509Data/></ds:KeyInfo></ds:Signature>";

std::string reference(const std::string& uri, bool enveloped) {
    return "<ds:Reference URI=\"" + uri + "\"><ds:Transforms>" +
           (enveloped ? "<ds:Transform "
                        "Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
                      : "") +
           "<ds:Transform Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\"/></ds:Transforms>"
           "<ds:DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>"
           "<ds:DigestValue/></ds:Reference>";
}

std::string withReferences(const std::string& body, const std::string& references) {
    return "<doc>" + body + kDsigOpen + references + kDsigClose + "</doc>";
}

std::vector<std::string> digestValues(const std::string& xml) {
    std::vector<std::string> values;
    const std::string open = "<ds:DigestValue>", close = "</ds:DigestValue>";
    for (size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
        size_t begin = at + open.size();
        values.push_back(xml.substr(begin, xml.find(close, begin) - begin));
    }
    return values;
}

}  // namespace

// A signature has at most 64 references and a document at most 16 MB; past either the call
// fails with E_INVALIDARG before any digest is made.
TEST_F(ComponentTest, ReferencesAndDocumentSizeAreBounded) {
    const std::string body = "<item Id=\"p\">signed</item>";
    std::string atLimit, overLimit, attack;
    for (int i = 0; i < 64; ++i) atLimit += reference("", true);
    overLimit = atLimit + reference("#p", false);
    for (int i = 0; i < 2000; ++i) attack += reference("", true);
    const std::string filler = "<pad>" + std::string(card::kXmlDocumentLimit, 'x') + "</pad>";
    struct Case {
        const char* name;
        std::string xml;
        HRESULT result;
    };
    const Case cases[] = {
        {"64 references", withReferences(body, atLimit), S_OK},
        {"65 references", withReferences(body, overLimit), card::kInvalidArgument},
        {"2000 references", withReferences(body, attack), card::kInvalidArgument},
        {"document over 16 MB", withReferences(filler, reference("", true)),
         card::kInvalidArgument},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Bstr out;
        EXPECT_EQ(c->GPKI_XMLCalcTemplateDigest(Bstr(k.xml), Bstr(""), out.out()), k.result);
        LONG lastError = 0;
        c->get_lastError(&lastError);
        EXPECT_EQ(lastError, k.result);
        if (k.result != S_OK) continue;
        // The same part is digested once, and every reference to it carries that digest.
        Bstr one;
        ASSERT_EQ(c->GPKI_XMLCalcTemplateDigest(Bstr(withReferences(body, reference("", true))),
                                                Bstr(""), one.out()),
                  S_OK);
        const auto values = digestValues(out.utf8());
        ASSERT_EQ(values.size(), 64u);
        for (const auto& v : values) EXPECT_EQ(v, digestValues(one.utf8()).at(0));
    }
    // A file over the bound fares no better than a text.
    fs::path file = TokenEnvironment::get().sandbox().home() / "Documents" / "huge.xml";
    writeFile(file, withReferences(filler, reference("", true)));
    Bstr out;
    EXPECT_EQ(c->GPKI_XMLCalcTemplateFileDigest(Bstr(file.string()), Bstr(""), out.out()),
              card::kInvalidArgument);
    fs::remove(file);
}

// References repeated within one signature, whether their digest can be kept or must be made
// afresh (a part holding the signature's own digests), sign as before: xmlsec1 verifies it.
TEST_F(ComponentTest, RepeatedReferencesSignAsBefore) {
    auto& env = TokenEnvironment::get();
    selectToken("RSA Demo");
    const std::string body = "<item Id=\"p\">signed text</item><item Id=\"q\">more</item>";
    std::string refs;
    for (int i = 0; i < 3; ++i)
        refs += reference("", true) + reference("#p", false) + reference("#q", true);
    Bstr signedXml;
    ASSERT_EQ(c->GPKI_XMLSignTemplate(Bstr(kPin), Bstr(withReferences(body, refs)), Bstr(""), 0,
                                      signedXml.out()),
              S_OK);
    const auto values = digestValues(signedXml.utf8());
    ASSERT_EQ(values.size(), 9u);
    for (size_t i = 3; i < 9; ++i) EXPECT_EQ(values[i], values[i % 3]);
    fs::path file = env.sandbox().tempDir() / "repeated.xml";
    writeFile(file, signedXml.utf8());
    int status = 1;
    std::string out = shell("xmlsec1 --verify --trusted-pem " + env.caFile().string() +
                                " --id-attr:Id item " + file.string() + " 2>&1",
                            &status);
    EXPECT_EQ(status, 0) << out;

    // The whole document without the enveloped-signature transform holds the digests made
    // before it: each such reference is digested afresh.
    Bstr prepared;
    ASSERT_EQ(c->GPKI_XMLCalcTemplateDigest(
                  Bstr(withReferences(body, reference("", false) + reference("", false))), Bstr(""),
                  prepared.out()),
              S_OK);
    const auto whole = digestValues(prepared.utf8());
    ASSERT_EQ(whole.size(), 2u);
    EXPECT_NE(whole[0], whole[1]);
}

// While one object works through the longest digest a page may ask for, another session's
// object is made, lists the readers and signs with its PIN: none of that waits for it. The
// long call's first and last references are files: it is under way once it opens the first,
// and the others' calls are answered before it opens the last.
TEST_F(ComponentTest, LongCallHoldsUpNoOtherObject) {
    auto& env = TokenEnvironment::get();
    const fs::path folder = env.sandbox().home() / "Documents" / "long";
    writeFile(folder / "first.txt", "first reference");
    writeFile(folder / "last.txt", "last reference");
    std::string body;
    const int items = 400000;
    for (int i = 0; i < items; ++i)
        body += "<item Id=\"i" + std::to_string(i) + "\">text " + std::to_string(i) + "</item>";
    std::string refs = "<ds:Reference URI=\"first.txt\"><ds:DigestValue/></ds:Reference>";
    for (size_t i = 2; i < card::kReferenceLimit; ++i)
        refs += reference("#i" + std::to_string(items - static_cast<int>(i)), false);
    refs += "<ds:Reference URI=\"last.txt\"><ds:DigestValue/></ds:Reference>";
    const std::string xml = withReferences(body, refs);
    ASSERT_LT(xml.size(), card::kXmlDocumentLimit);
    writeFile(folder / "long.xml", xml);

    testing_support::OpenWatch first(folder / "first.txt"), last(folder / "last.txt");
    ASSERT_TRUE(first.watching() && last.watching());
    ICardCryptoComponent* page = newComponent();
    ASSERT_NE(page, nullptr);
    ASSERT_EQ(page->SetXMLReferenceDirs(Bstr(folder.string())), S_OK);
    HRESULT longResult = E_FAIL;
    std::thread longCall([&] {
        Bstr out;
        longResult = page->GPKI_XMLCalcTemplateFileDigest(Bstr((folder / "long.xml").string()),
                                                          Bstr(""), out.out());
    });
    ASSERT_TRUE(first.opened(std::chrono::minutes(2)))
        << "the long call never reached its first reference";

    ICardCryptoComponent* other = newComponent();
    ASSERT_NE(other, nullptr);
    selectTokenOf(other, "RSA Demo");
    LONG count = 0;
    EXPECT_EQ(other->GPKI_GetSlotCount(&count), S_OK);
    Bstr signature;
    EXPECT_EQ(other->GPKI_SignData(Bstr(kPin), Bstr("x"), Bstr(""), 0, 0, signature.out()), S_OK);
    EXPECT_FALSE(last.opened()) << "the other object's calls waited for the long call";
    longCall.join();
    EXPECT_EQ(longResult, S_OK);
    EXPECT_TRUE(last.opened());
    other->Release();
    page->Release();
}
