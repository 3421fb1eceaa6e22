// The card-crypto component as a COM in-process server: the class factory, the object with
// its dual interface, and DllGetClassObject. Each object has its own CardEngine; the methods
// convert the BSTR arguments, run the engine one call at a time per object (the engine takes
// the token lock itself, only around its token work), and turn a CardError into the method's
// negative HRESULT (also kept for get_lastError).
#include "CardComponent/CardEngine.h"
#include "CardComponent/CodePage.h"
#include "CardComponent/FileAccess.h"
#include "platform/CardComponentInterface.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace {

using card::CardEngine;

std::atomic<long> g_objects{0};

std::u16string textOf(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : std::u16string();
}
std::string utf8Of(BSTR b) {
    return card::utf16ToUtf8(textOf(b));
}

// A PIN leaves its BSTR only into memory that wipes itself.
SecretString pinOf(BSTR b) {
    return secretFromUtf16(b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view());
}

HRESULT putText(BSTR* out, const std::u16string& text) {
    *out = SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT putText(BSTR* out, const std::string& utf8) {
    return putText(out, card::utf8ToUtf16(utf8));
}

class CardComponent final : public ICardCryptoComponent {
public:
    CardComponent() { ++g_objects; }

    // IUnknown
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ICardCryptoComponent) {
            *object = static_cast<ICardCryptoComponent*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        ULONG left = --references_;
        if (left == 0) {
            delete this;
            --g_objects;
        }
        return left;
    }

    // IDispatch: the methods are reached through the function table; names map to
    // dispatch ids (slot - 6) for callers that want them, but Invoke is not offered.
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR** names, UINT count, LCID, DISPID* ids) override {
        if (!names || !ids) return E_POINTER;
        HRESULT result = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = -1;
            std::string name =
                names[i] ? card::utf16ToUtf8(std::u16string(names[i])) : std::string();
            for (int m = 0; m < kCardComponentMethodCount; ++m)
                if (strcasecmp(name.c_str(), kCardComponentMethodNames[m]) == 0) ids[i] = m + 1;
            if (ids[i] == -1) result = hresultOf(0x80020006u);  // DISP_E_UNKNOWNNAME
        }
        return result;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // ---- own methods, slot order ----
    HRESULT get_lastError(LONG* pVal) override {
        if (!pVal) return E_POINTER;
        *pVal = lastError_;
        return S_OK;
    }
    HRESULT GPKI_EnumCerts(LONG iFlags, VARIANT* pVal) override {
        return run(pVal, [&] {
            auto certs = engine_.enumCerts(iFlags);
            SAFEARRAY* array =
                SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(certs.size()));
            if (!array) card::fail(card::kOutOfMemory);
            for (size_t i = 0; i < certs.size(); ++i) {
                VARIANT element;
                VariantInit(&element);
                element.vt = VT_BSTR;
                std::u16string wide = card::utf8ToUtf16(certs[i]);
                element.bstrVal =
                    SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
                LONG index = static_cast<LONG>(i);
                HRESULT r =
                    element.bstrVal ? SafeArrayPutElement(array, &index, &element) : E_OUTOFMEMORY;
                VariantClear(&element);
                if (FAILED(r)) {
                    SafeArrayDestroy(array);
                    card::fail(r);
                }
            }
            VariantClear(pVal);
            pVal->vt = VT_ARRAY | VT_VARIANT;
            pVal->parray = array;
            return S_OK;
        });
    }
    HRESULT CAPICertGetSerialNumber(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.serialNumber(); });
    }
    HRESULT CAPICertGetIssuer(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.issuer(); });
    }
    HRESULT CAPICertGetSubject(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.subject(); });
    }
    HRESULT GPKI_GetTailOfCitizenID(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal,
                        [](const card::Certificate& c) { return c.citizenIdTail(); });
    }
    HRESULT GPKI_GetCertType(BSTR strCert, LONG, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = card::Certificate::parse(utf8Of(strCert)).type();
            return S_OK;
        });
    }
    HRESULT GPKI_GetOrganizationID(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal,
                        [](const card::Certificate& c) { return c.organizationId(); });
    }
    HRESULT GPKI_GetCardHolderRank(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.holderRank(); });
    }
    HRESULT GPKI_GetCertTypeOID(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.policyOids(); });
    }
    HRESULT GPKI_GetEntityOID(BSTR cert, LONG, BSTR* pVal) override {
        return certText(cert, pVal,
                        [](const card::Certificate& c) { return c.extendedKeyUsageOids(); });
    }
    HRESULT CAPICertGetPublicKey(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.publicKey(); });
    }
    HRESULT CAPICertGetNotBefore(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.notBefore(); });
    }
    HRESULT CAPICertGetNotAfter(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.notAfter(); });
    }
    HRESULT CAPICertGetVersion(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.version(); });
    }
    HRESULT GPKI_EncryptByCert(BSTR strCert, BSTR strData, LONG iFlags, BSTR* pVal) override {
        return run(pVal, [&] {
            std::u16string data = textOf(strData);
            std::string cipher = engine_.encryptByCert(utf8Of(strCert), data, iFlags);
            secureWipe(data);
            return putText(pVal, cipher);
        });
    }
    HRESULT GPKI_Decrypt(BSTR strCipher, LONG iFlags, LONG iKeyUsage, BSTR* pVal) override {
        return run(pVal, [&] {
            return putSecret(pVal, engine_.decrypt(nullptr, utf8Of(strCipher), iFlags, iKeyUsage));
        });
    }
    HRESULT GPKI_Decrypt2File(BSTR strCipher, BSTR strOutFilePath, LONG iFlags, LONG iKeyUsage,
                              LONG* pVal) override {
        return run(pVal, [&] {
            *pVal =
                engine_.decryptToFile(utf8Of(strCipher), utf8Of(strOutFilePath), iFlags, iKeyUsage);
            return S_OK;
        });
    }
    HRESULT GPKI_XMLSignTemplate(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                 BSTR* pVal) override {
        return run(pVal, [&] {
            SecretString pin = pinOf(bstrPIN);
            return putText(pVal, engine_.xmlSign(&pin, utf8Of(bstrXML), utf8Of(bstrSignId), iFlags,
                                                 CardEngine::XmlMode::Sign));
        });
    }
    HRESULT GPKI_SetReaderSlot(LONG iFlags, LONG slot, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.setReaderSlot(iFlags, slot);
            return S_OK;
        });
    }
    HRESULT GPKI_EnumCertsToString(LONG iFlags, BSTR* pVal) override {
        return run(pVal, [&] { return putText(pVal, engine_.enumCertsToString(iFlags)); });
    }
    HRESULT GPKI_Base64Encode(BSTR srcData, BSTR codePage, BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal, engine_.base64Encode(textOf(srcData), utf8Of(codePage)));
        });
    }
    HRESULT GPKI_Base64Decode(BSTR base64String, BSTR outCodePage, BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal, engine_.base64Decode(utf8Of(base64String), utf8Of(outCodePage)));
        });
    }
    HRESULT GPKI_DecryptEx(BSTR sOptPIN, BSTR strCipher, LONG iFlags, LONG iKeyUsage,
                           BSTR* pVal) override {
        return run(pVal, [&] {
            SecretString pin = pinOf(sOptPIN);
            return putSecret(pVal, engine_.decrypt(&pin, utf8Of(strCipher), iFlags, iKeyUsage));
        });
    }
    HRESULT GPKI_SignDataInit(BSTR sOptPIN, LONG lFlags, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.signDataInit(pinOf(sOptPIN), lFlags);
            return S_OK;
        });
    }
    HRESULT GPKI_SignDataFinal(LONG lFlags, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.signDataFinal(lFlags);
            return S_OK;
        });
    }
    HRESULT GPKI_XMLSignTemplateFile(BSTR bstrPIN, BSTR bstrXMLFilePath, BSTR bstrSignId,
                                     LONG iFlags, BSTR* pVal) override {
        return run(pVal, [&] {
            SecretString pin = pinOf(bstrPIN);
            std::string xml = card::readAllowedFile(utf8Of(bstrXMLFilePath));
            return putText(pVal, engine_.xmlSign(&pin, xml, utf8Of(bstrSignId), iFlags,
                                                 CardEngine::XmlMode::Sign));
        });
    }
    HRESULT GPKI_XMLCalcTemplateDigest(BSTR bstrXML, BSTR bstrSignId, BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal, engine_.xmlDigest(utf8Of(bstrXML), utf8Of(bstrSignId)));
        });
    }
    HRESULT GPKI_XMLCalcTemplateFileDigest(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                           BSTR* pVal) override {
        return run(pVal, [&] {
            std::string xml = card::readAllowedFile(utf8Of(bstrXMLFilePath));
            return putText(pVal, engine_.xmlDigest(xml, utf8Of(bstrSignId)));
        });
    }
    HRESULT GPKI_XMLSignTemplateDigest(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                       BSTR* pVal) override {
        return run(pVal, [&] {
            SecretString pin = pinOf(bstrPIN);
            return putText(pVal, engine_.xmlSign(&pin, utf8Of(bstrXML), utf8Of(bstrSignId), iFlags,
                                                 CardEngine::XmlMode::SignGivenDigests));
        });
    }
    HRESULT GPKI_ReadFile(BSTR strFilepath, LONG flags, BSTR* pVal) override {
        return run(pVal,
                   [&] { return putText(pVal, engine_.readFile(utf8Of(strFilepath), flags)); });
    }
    HRESULT GPKI_XMLSignTemplateFileUpdate(BSTR bstrXMLFilePath, BSTR bstrSignId, LONG iFlags,
                                           BSTR* pVal) override {
        return run(pVal, [&] {
            std::string xml = card::readAllowedFile(utf8Of(bstrXMLFilePath));
            return putText(pVal, engine_.xmlSign(nullptr, xml, utf8Of(bstrSignId), iFlags,
                                                 CardEngine::XmlMode::Sign));
        });
    }
    HRESULT GPKI_SignInit(BSTR sOptPIN, LONG lFlags, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.signInit(pinOf(sOptPIN), lFlags);
            return S_OK;
        });
    }
    HRESULT GPKI_SignFinal(LONG lFlags, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.signFinal(lFlags);
            return S_OK;
        });
    }
    HRESULT GPKI_XMLSignTemplateDigestUpdate(BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                             BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal, engine_.xmlSign(nullptr, utf8Of(bstrXML), utf8Of(bstrSignId),
                                                 iFlags, CardEngine::XmlMode::SignGivenDigests));
        });
    }
    HRESULT GPKI_SetPKCS11Driver(BSTR bPath, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.setPkcs11Driver(utf8Of(bPath));
            return S_OK;
        });
    }
    HRESULT SetXMLReferenceDirs(BSTR bstrMultiRefDir) override {
        return runNoAnswer([&] {
            engine_.setXmlReferenceDirs(utf8Of(bstrMultiRefDir));
            return S_OK;
        });
    }
    HRESULT GPKI_GetSerialNumber(BSTR* pVal) override {
        return run(pVal, [&] { return putText(pVal, engine_.tokenSerialNumber()); });
    }
    HRESULT GPKI_RSADecrypt(BSTR strCipher, BSTR strPinCode, LONG iFlags, BSTR* pVal) override {
        return run(pVal, [&] {
            return putSecret(pVal,
                             engine_.rsaDecrypt(utf8Of(strCipher), pinOf(strPinCode), iFlags));
        });
    }
    HRESULT GPKI_RSAEncryptByCert(BSTR strCert, BSTR strData, LONG iFlags, BSTR* pVal) override {
        return run(pVal, [&] {
            std::u16string data = textOf(strData);
            std::string cipher = engine_.rsaEncryptByCert(utf8Of(strCert), data, iFlags);
            secureWipe(data);
            return putText(pVal, cipher);
        });
    }
    HRESULT GPKI_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                       BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal, engine_.xmlSign(nullptr, utf8Of(bstrXML), utf8Of(bstrSignId),
                                                 iFlags, CardEngine::XmlMode::Sign));
        });
    }
    HRESULT GPKI_XMLSignTemplateFile2File(BSTR bstrPIN, BSTR bstrInXMLFilePath,
                                          BSTR bstrOutXMLFilePath, BSTR bstrSignId, LONG iFlags,
                                          LONG* pVal) override {
        return run(pVal, [&] {
            SecretString pin = pinOf(bstrPIN);
            card::AllowedOutput output(utf8Of(bstrOutXMLFilePath));
            std::string xml = card::readAllowedFile(utf8Of(bstrInXMLFilePath));
            output.write(
                engine_.xmlSign(&pin, xml, utf8Of(bstrSignId), iFlags, CardEngine::XmlMode::Sign));
            *pVal = 0;
            return S_OK;
        });
    }
    HRESULT GPKI_XMLSignTemplateDigest2File(BSTR bstrPIN, BSTR bstrXML, BSTR bstrOutXMLFilePath,
                                            BSTR bstrSignId, LONG iFlags, LONG* pVal) override {
        return run(pVal, [&] {
            SecretString pin = pinOf(bstrPIN);
            card::AllowedOutput output(utf8Of(bstrOutXMLFilePath));
            output.write(engine_.xmlSign(&pin, utf8Of(bstrXML), utf8Of(bstrSignId), iFlags,
                                         CardEngine::XmlMode::SignGivenDigests));
            *pVal = 0;
            return S_OK;
        });
    }
    HRESULT GPKI_GetAttributeCert(BSTR strReader, BSTR strPIN, LONG iFlags, BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal, engine_.attributeCert(utf8Of(strReader), pinOf(strPIN), iFlags));
        });
    }
    HRESULT SetCodePage(LONG codePage) override {
        return runNoAnswer([&] {
            engine_.setCodePage(codePage);
            return S_OK;
        });
    }
    HRESULT GPKI_GetSlotCount(LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.slotCount();
            return S_OK;
        });
    }
    HRESULT GPKI_VerifyPIN(BSTR bPIN, LONG iFlags, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.verifyPin(pinOf(bPIN), iFlags);
            return S_OK;
        });
    }
    HRESULT GPKI_GetErrorPINCount(LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.errorPinCount();
            return S_OK;
        });
    }
    HRESULT GetVersion(LONG flag, BSTR* pVal) override {
        return run(pVal, [&] { return putText(pVal, engine_.version(flag)); });
    }
    HRESULT GPKI_SignData(BSTR sOptPIN, BSTR sData, BSTR signcodepage, LONG iFlags, LONG iHashFlag,
                          BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal, engine_.signData(pinOf(sOptPIN), textOf(sData),
                                                  utf8Of(signcodepage), iFlags, iHashFlag));
        });
    }
    HRESULT GPKI_SignDataUpdate(BSTR sData, BSTR signcodepage, LONG iFlags, LONG iHashFlag,
                                BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal, engine_.signDataUpdate(textOf(sData), utf8Of(signcodepage), iFlags,
                                                        iHashFlag));
        });
    }
    HRESULT GPKI_PureSign(BSTR sOptPIN, BSTR sData, BSTR signcodepage, LONG iFlags, LONG iHashFlag,
                          BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal, engine_.pureSign(pinOf(sOptPIN), textOf(sData),
                                                  utf8Of(signcodepage), iFlags, iHashFlag));
        });
    }
    HRESULT CryptCertGetSignatureAlgorithm(BSTR strCert, LONG iFlags, BSTR* pVal) override {
        return certText(strCert, pVal, [&](const card::Certificate& c) {
            return c.signatureAlgorithm(iFlags == 1);
        });
    }
    HRESULT CryptSignatureGetAlgorithm(BSTR strSignature, LONG iFlags, LONG index,
                                       BSTR* pVal) override {
        return run(pVal, [&] {
            return putText(pVal,
                           card::cmsSignatureAlgorithm(utf8Of(strSignature), index, iFlags == 1));
        });
    }
    HRESULT GPKI_SignInitLogin(BSTR sOptPIN, LONG lFlags, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.signInitLogin(pinOf(sOptPIN), lFlags);
            return S_OK;
        });
    }
    HRESULT GPKI_DetectCard(LONG iFlags, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.detectCard(iFlags);
            return S_OK;
        });
    }
    HRESULT GPKI_GetCachedCert(BSTR* pVal) override {
        return run(pVal, [&] { return putText(pVal, engine_.cachedCert()); });
    }
    HRESULT GPKI_CertGetSubjectDirectoryAttrs(BSTR strCert, BSTR strOID, LONG,
                                              BSTR* pVal) override {
        std::string oid = utf8Of(strOID);
        return certText(strCert, pVal, [&](const card::Certificate& c) {
            return c.subjectDirectoryAttribute(oid);
        });
    }
    HRESULT CryptCertGetExtension(BSTR strCert, LONG, BSTR* pVal) override {
        return certText(strCert, pVal, [](const card::Certificate& c) { return c.extensions(); });
    }
    HRESULT DetectReplug(LONG iFlags, LONG iReplugTime, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.detectReplug(iFlags, iReplugTime);
            return S_OK;
        });
    }
    HRESULT GPKI_ChangePIN(BSTR OldPIN, BSTR NewPIN, LONG iFlags, LONG* pVal) override {
        return run(pVal, [&] {
            *pVal = engine_.changePin(pinOf(OldPIN), pinOf(NewPIN), iFlags);
            return S_OK;
        });
    }

private:
    ~CardComponent() = default;

    // Runs one method: argument check, this object's own lock (its engine and lastError are
    // used by one call at a time; other objects are not held up), and the error mapping.
    template <typename Out, typename F>
    HRESULT run(Out* out, F body) {
        std::lock_guard lock(callMutex_);
        if (!out) return remember(E_POINTER);
        try {
            return remember(body());
        } catch (const card::CardError& e) {
            return remember(e.code);
        } catch (const _com_error& e) {
            return remember(e.Error());
        } catch (const std::bad_alloc&) {
            return remember(E_OUTOFMEMORY);
        } catch (...) {
            return remember(E_FAIL);
        }
    }

    template <typename F>
    HRESULT runNoAnswer(F body) {
        int none = 0;
        return run(&none, body);
    }

    template <typename F>
    HRESULT certText(BSTR cert, BSTR* out, F field) {
        return run(out,
                   [&] { return putText(out, field(card::Certificate::parse(utf8Of(cert)))); });
    }

    // Decrypted text: the intermediate copy is wiped once the answer BSTR holds it.
    static HRESULT putSecret(BSTR* out, std::u16string plain) {
        HRESULT r = putText(out, plain);
        secureWipe(plain);
        return r;
    }

    HRESULT remember(HRESULT r) {
        lastError_ = FAILED(r) ? r : 0;
        return r;
    }

    std::atomic<ULONG> references_{1};
    std::mutex callMutex_;
    std::atomic<LONG> lastError_{0};
    CardEngine engine_;
};

class ClassFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }  // lives as long as the library
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* component = new (std::nothrow) CardComponent();
        if (!component) return E_OUTOFMEMORY;
        HRESULT r = component->QueryInterface(iid, object);
        component->Release();
        return r;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

ClassFactory g_factory;

}  // namespace

TESSAROLL_COM_SERVER_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_CardCryptoComponent)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, object);
}

TESSAROLL_COM_SERVER_EXPORT HRESULT DllCanUnloadNow() {
    return g_objects == 0 ? S_OK : S_FALSE;
}
