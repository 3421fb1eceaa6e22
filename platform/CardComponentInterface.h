// The card-crypto component's interface as the adapter calls it: a dual interface on
// IDispatch whose own 61 methods follow in slots 7 to 67. Callers use the function table only,
// never Invoke. Every method returns an HRESULT, negative on failure. Inputs are texts (BSTR,
// owned by the caller) and 32-bit integers; at most one answer follows by address: a BSTR the
// method allocates and the caller frees, an integer, or a VARIANT the caller initialises and
// clears. SetXMLReferenceDirs and SetCodePage answer nothing.
#pragma once

#include "platform/Com.h"

// {2BA55A3B-BA08-4B99-AF12-8FBD0A485310}
inline constexpr CLSID CLSID_CardCryptoComponent = {
    0x2BA55A3B, 0xBA08, 0x4B99, {0xAF, 0x12, 0x8F, 0xBD, 0x0A, 0x48, 0x53, 0x10}};
// {491004CE-23AC-4694-834F-E27AA311C7AE}
inline constexpr IID IID_ICardCryptoComponent = {
    0x491004CE, 0x23AC, 0x4694, {0x83, 0x4F, 0xE2, 0x7A, 0xA3, 0x11, 0xC7, 0xAE}};

struct ICardCryptoComponent : IDispatch {
    virtual HRESULT get_lastError(LONG* pVal) = 0;                                       // slot 7
    virtual HRESULT GPKI_EnumCerts(LONG iFlags, VARIANT* pVal) = 0;                      // slot 8
    virtual HRESULT CAPICertGetSerialNumber(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;  // slot 9
    virtual HRESULT CAPICertGetIssuer(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;        // slot 10
    virtual HRESULT CAPICertGetSubject(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;       // slot 11
    virtual HRESULT GPKI_GetTailOfCitizenID(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;  // slot 12
    virtual HRESULT GPKI_GetCertType(BSTR strCert, LONG iFlags, LONG* pVal) = 0;         // slot 13
    virtual HRESULT GPKI_GetOrganizationID(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;   // slot 14
    virtual HRESULT GPKI_GetCardHolderRank(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;   // slot 15
    virtual HRESULT GPKI_GetCertTypeOID(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;      // slot 16
    virtual HRESULT GPKI_GetEntityOID(BSTR cert, LONG iFlags, BSTR* pVal) = 0;           // slot 17
    virtual HRESULT CAPICertGetPublicKey(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;     // slot 18
    virtual HRESULT CAPICertGetNotBefore(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;     // slot 19
    virtual HRESULT CAPICertGetNotAfter(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;      // slot 20
    virtual HRESULT CAPICertGetVersion(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;       // slot 21
    virtual HRESULT GPKI_EncryptByCert(BSTR strCert, BSTR strData, LONG iFlags,
                                       BSTR* pVal) = 0;  // slot 22
    virtual HRESULT GPKI_Decrypt(BSTR strCipher, LONG iFlags, LONG iKeyUsage,
                                 BSTR* pVal) = 0;  // slot 23
    virtual HRESULT GPKI_Decrypt2File(BSTR strCipher, BSTR strOutFilePath, LONG iFlags,
                                      LONG iKeyUsage, LONG* pVal) = 0;  // slot 24
    virtual HRESULT GPKI_XMLSignTemplate(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                         BSTR* pVal) = 0;                            // slot 25
    virtual HRESULT GPKI_SetReaderSlot(LONG iFlags, LONG slot, LONG* pVal) = 0;      // slot 26
    virtual HRESULT GPKI_EnumCertsToString(LONG iFlags, BSTR* pVal) = 0;             // slot 27
    virtual HRESULT GPKI_Base64Encode(BSTR srcData, BSTR codePage, BSTR* pVal) = 0;  // slot 28
    virtual HRESULT GPKI_Base64Decode(BSTR base64String, BSTR outCodePage,
                                      BSTR* pVal) = 0;  // slot 29
    virtual HRESULT GPKI_DecryptEx(BSTR sOptPIN, BSTR strCipher, LONG iFlags, LONG iKeyUsage,
                                   BSTR* pVal) = 0;                                // slot 30
    virtual HRESULT GPKI_SignDataInit(BSTR sOptPIN, LONG lFlags, LONG* pVal) = 0;  // slot 31
    virtual HRESULT GPKI_SignDataFinal(LONG lFlags, LONG* pVal) = 0;               // slot 32
    virtual HRESULT GPKI_XMLSignTemplateFile(BSTR bstrPIN, BSTR bstrXMLFilePath, BSTR bstrSignId,
                                             LONG iFlags, BSTR* pVal) = 0;  // slot 33
    virtual HRESULT GPKI_XMLCalcTemplateDigest(BSTR bstrXML, BSTR bstrSignId,
                                               BSTR* pVal) = 0;  // slot 34
    virtual HRESULT GPKI_XMLCalcTemplateFileDigest(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                                   BSTR* pVal) = 0;  // slot 35
    virtual HRESULT GPKI_XMLSignTemplateDigest(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId,
                                               LONG iFlags, BSTR* pVal) = 0;      // slot 36
    virtual HRESULT GPKI_ReadFile(BSTR strFilepath, LONG flags, BSTR* pVal) = 0;  // slot 37
    virtual HRESULT GPKI_XMLSignTemplateFileUpdate(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                                   LONG iFlags, BSTR* pVal) = 0;  // slot 38
    virtual HRESULT GPKI_SignInit(BSTR sOptPIN, LONG lFlags, LONG* pVal) = 0;     // slot 39
    virtual HRESULT GPKI_SignFinal(LONG lFlags, LONG* pVal) = 0;                  // slot 40
    virtual HRESULT GPKI_XMLSignTemplateDigestUpdate(BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                                     BSTR* pVal) = 0;  // slot 41
    virtual HRESULT GPKI_SetPKCS11Driver(BSTR bPath, LONG* pVal) = 0;  // slot 42
    virtual HRESULT SetXMLReferenceDirs(BSTR bstrMultiRefDir) = 0;     // slot 43
    virtual HRESULT GPKI_GetSerialNumber(BSTR* pVal) = 0;              // slot 44
    virtual HRESULT GPKI_RSADecrypt(BSTR strCipher, BSTR strPinCode, LONG iFlags,
                                    BSTR* pVal) = 0;  // slot 45
    virtual HRESULT GPKI_RSAEncryptByCert(BSTR strCert, BSTR strData, LONG iFlags,
                                          BSTR* pVal) = 0;  // slot 46
    virtual HRESULT GPKI_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId, LONG iFlags,
                                               BSTR* pVal) = 0;  // slot 47
    virtual HRESULT GPKI_XMLSignTemplateFile2File(BSTR bstrPIN, BSTR bstrInXMLFilePath,
                                                  BSTR bstrOutXMLFilePath, BSTR bstrSignId,
                                                  LONG iFlags, LONG* pVal) = 0;  // slot 48
    virtual HRESULT GPKI_XMLSignTemplateDigest2File(BSTR bstrPIN, BSTR bstrXML,
                                                    BSTR bstrOutXMLFilePath, BSTR bstrSignId,
                                                    LONG iFlags, LONG* pVal) = 0;  // slot 49
    virtual HRESULT GPKI_GetAttributeCert(BSTR strReader, BSTR strPIN, LONG iFlags,
                                          BSTR* pVal) = 0;                   // slot 50
    virtual HRESULT SetCodePage(LONG codePage) = 0;                          // slot 51
    virtual HRESULT GPKI_GetSlotCount(LONG* pVal) = 0;                       // slot 52
    virtual HRESULT GPKI_VerifyPIN(BSTR bPIN, LONG iFlags, LONG* pVal) = 0;  // slot 53
    virtual HRESULT GPKI_GetErrorPINCount(LONG* pVal) = 0;                   // slot 54
    virtual HRESULT GetVersion(LONG flag, BSTR* pVal) = 0;                   // slot 55
    virtual HRESULT GPKI_SignData(BSTR sOptPIN, BSTR sData, BSTR signcodepage, LONG iFlags,
                                  LONG iHashFlag, BSTR* pVal) = 0;  // slot 56
    virtual HRESULT GPKI_SignDataUpdate(BSTR sData, BSTR signcodepage, LONG iFlags, LONG iHashFlag,
                                        BSTR* pVal) = 0;  // slot 57
    virtual HRESULT GPKI_PureSign(BSTR sOptPIN, BSTR sData, BSTR signcodepage, LONG iFlags,
                                  LONG iHashFlag, BSTR* pVal) = 0;  // slot 58
    virtual HRESULT CryptCertGetSignatureAlgorithm(BSTR strCert, LONG iFlags,
                                                   BSTR* pVal) = 0;  // slot 59
    virtual HRESULT CryptSignatureGetAlgorithm(BSTR strSignature, LONG iFlags, LONG index,
                                               BSTR* pVal) = 0;                     // slot 60
    virtual HRESULT GPKI_SignInitLogin(BSTR sOptPIN, LONG lFlags, LONG* pVal) = 0;  // slot 61
    virtual HRESULT GPKI_DetectCard(LONG iFlags, LONG* pVal) = 0;                   // slot 62
    virtual HRESULT GPKI_GetCachedCert(BSTR* pVal) = 0;                             // slot 63
    virtual HRESULT GPKI_CertGetSubjectDirectoryAttrs(BSTR strCert, BSTR strOID, LONG iFlags,
                                                      BSTR* pVal) = 0;                 // slot 64
    virtual HRESULT CryptCertGetExtension(BSTR strCert, LONG iFlags, BSTR* pVal) = 0;  // slot 65
    virtual HRESULT DetectReplug(LONG iFlags, LONG iReplugTime, LONG* pVal) = 0;       // slot 66
    virtual HRESULT GPKI_ChangePIN(BSTR OldPIN, BSTR NewPIN, LONG iFlags,
                                   LONG* pVal) = 0;  // slot 67

protected:
    ~ICardCryptoComponent() = default;
};

// Method names in slot order: entry i is the method in slot i + kCardComponentFirstSlot.
inline constexpr int kCardComponentFirstSlot = 7;
inline constexpr int kCardComponentMethodCount = 61;
inline constexpr const char* kCardComponentMethodNames[kCardComponentMethodCount] = {
    "get_lastError",
    "GPKI_EnumCerts",
    "CAPICertGetSerialNumber",
    "CAPICertGetIssuer",
    "CAPICertGetSubject",
    "GPKI_GetTailOfCitizenID",
    "GPKI_GetCertType",
    "GPKI_GetOrganizationID",
    "GPKI_GetCardHolderRank",
    "GPKI_GetCertTypeOID",
    "GPKI_GetEntityOID",
    "CAPICertGetPublicKey",
    "CAPICertGetNotBefore",
    "CAPICertGetNotAfter",
    "CAPICertGetVersion",
    "GPKI_EncryptByCert",
    "GPKI_Decrypt",
    "GPKI_Decrypt2File",
    "GPKI_XMLSignTemplate",
    "GPKI_SetReaderSlot",
    "GPKI_EnumCertsToString",
    "GPKI_Base64Encode",
    "GPKI_Base64Decode",
    "GPKI_DecryptEx",
    "GPKI_SignDataInit",
    "GPKI_SignDataFinal",
    "GPKI_XMLSignTemplateFile",
    "GPKI_XMLCalcTemplateDigest",
    "GPKI_XMLCalcTemplateFileDigest",
    "GPKI_XMLSignTemplateDigest",
    "GPKI_ReadFile",
    "GPKI_XMLSignTemplateFileUpdate",
    "GPKI_SignInit",
    "GPKI_SignFinal",
    "GPKI_XMLSignTemplateDigestUpdate",
    "GPKI_SetPKCS11Driver",
    "SetXMLReferenceDirs",
    "GPKI_GetSerialNumber",
    "GPKI_RSADecrypt",
    "GPKI_RSAEncryptByCert",
    "GPKI_XMLSignTemplateUpdate",
    "GPKI_XMLSignTemplateFile2File",
    "GPKI_XMLSignTemplateDigest2File",
    "GPKI_GetAttributeCert",
    "SetCodePage",
    "GPKI_GetSlotCount",
    "GPKI_VerifyPIN",
    "GPKI_GetErrorPINCount",
    "GetVersion",
    "GPKI_SignData",
    "GPKI_SignDataUpdate",
    "GPKI_PureSign",
    "CryptCertGetSignatureAlgorithm",
    "CryptSignatureGetAlgorithm",
    "GPKI_SignInitLogin",
    "GPKI_DetectCard",
    "GPKI_GetCachedCert",
    "GPKI_CertGetSubjectDirectoryAttrs",
    "CryptCertGetExtension",
    "DetectReplug",
    "GPKI_ChangePIN",
};
