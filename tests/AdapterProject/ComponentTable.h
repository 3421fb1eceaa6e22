// The component functions as the adapter's callers know them, written down independently of
// the product's tables: index, name, interface slot, request keys in argument order, answer.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace adapter_testing {

enum Kind { Text, Number };
enum class Answer { Text, Number, Variant, Nothing };

struct FunctionRow {
    int index;
    std::string name;
    int slot;
    std::vector<std::pair<std::string, Kind>> parameters;
    Answer answer;
};

inline const std::vector<FunctionRow>& componentFunctionRows() {
    static const std::vector<FunctionRow> rows = {
        {0, "get_lastError", 7, {}, Answer::Number},
        {1, "GPKI_EnumCerts", 8, {{"iFlags", Number}}, Answer::Variant},
        {2, "CAPICertGetSerialNumber", 9, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {3, "CAPICertGetIssuer", 10, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {4, "CAPICertGetSubject", 11, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {5, "GPKI_GetTailOfCitizenID", 12, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {6, "GPKI_GetCertType", 13, {{"strCert", Text}, {"iFlags", Number}}, Answer::Number},
        {7, "GPKI_GetOrganizationID", 14, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {8, "GPKI_GetCardHolderRank", 15, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {9, "GPKI_GetCertTypeOID", 16, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {10, "GPKI_GetEntityOID", 17, {{"cert", Text}, {"iFlags", Number}}, Answer::Text},
        {11, "CAPICertGetPublicKey", 18, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {12, "CAPICertGetNotBefore", 19, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {13, "CAPICertGetNotAfter", 20, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {14, "CAPICertGetVersion", 21, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {15, "GPKI_EncryptByCert", 22, {{"strCert", Text}, {"strData", Text}, {"iFlags", Number}}, Answer::Text},
        {16, "GPKI_Decrypt", 23, {{"strCipher", Text}, {"iFlags", Number}, {"iKeyUsage", Number}}, Answer::Text},
        {17, "GPKI_Decrypt2File", 24, {{"strCipher", Text}, {"strOutFilePath", Text}, {"iFlags", Number}, {"iKeyUsage", Number}}, Answer::Number},
        {18, "GPKI_XMLSignTemplate", 25, {{"bstrPIN", Text}, {"bstrXML", Text}, {"bstrSignId", Text}, {"iFlags", Number}}, Answer::Text},
        {19, "GPKI_SetReaderSlot", 26, {{"iFlags", Number}, {"slot", Number}}, Answer::Number},
        {20, "GPKI_EnumCertsToString", 27, {{"iFlags", Number}}, Answer::Text},
        {21, "GPKI_Base64Encode", 28, {{"srcData", Text}, {"codePage", Text}}, Answer::Text},
        {22, "GPKI_Base64Decode", 29, {{"base64String", Text}, {"outCodePage", Text}}, Answer::Text},
        {23, "GPKI_DecryptEx", 30, {{"sOptPIN", Text}, {"strCipher", Text}, {"iFlags", Number}, {"iKeyUsage", Number}}, Answer::Text},
        {24, "GPKI_SignDataInit", 31, {{"sOptPIN", Text}, {"lFlags", Number}}, Answer::Number},
        {25, "GPKI_SignDataFinal", 32, {{"lFlags", Number}}, Answer::Number},
        {26, "GPKI_XMLSignTemplateFile", 33, {{"bstrPIN", Text}, {"bstrXMLFilePath", Text}, {"bstrSignId", Text}, {"iFlags", Number}}, Answer::Text},
        {27, "GPKI_XMLCalcTemplateDigest", 34, {{"bstrXML", Text}, {"bstrSignId", Text}}, Answer::Text},
        {28, "GPKI_XMLCalcTemplateFileDigest", 35, {{"bstrXMLFilePath", Text}, {"bstrSignId", Text}}, Answer::Text},
        {29, "GPKI_XMLSignTemplateDigest", 36, {{"bstrPIN", Text}, {"bstrXML", Text}, {"bstrSignId", Text}, {"iFlags", Number}}, Answer::Text},
        {30, "GPKI_ReadFile", 37, {{"strFilepath", Text}, {"flags", Number}}, Answer::Text},
        {31, "GPKI_XMLSignTemplateFileUpdate", 38, {{"bstrXMLFilePath", Text}, {"bstrSignId", Text}, {"iFlags", Number}}, Answer::Text},
        {32, "GPKI_SignInit", 39, {{"sOptPIN", Text}, {"lFlags", Number}}, Answer::Number},
        {33, "GPKI_SignFinal", 40, {{"lFlags", Number}}, Answer::Number},
        {34, "GPKI_XMLSignTemplateDigestUpdate", 41, {{"bstrXML", Text}, {"bstrSignId", Text}, {"iFlags", Number}}, Answer::Text},
        {35, "GPKI_SetPKCS11Driver", 42, {{"bPath", Text}}, Answer::Number},
        {36, "SetXMLReferenceDirs", 43, {{"bstrMultiRefDir", Text}}, Answer::Nothing},
        {37, "GPKI_GetSerialNumber", 44, {}, Answer::Text},
        {38, "GPKI_RSADecrypt", 45, {{"strCipher", Text}, {"strPinCode", Text}, {"iFlags", Number}}, Answer::Text},
        {39, "GPKI_RSAEncryptByCert", 46, {{"strCert", Text}, {"strData", Text}, {"iFlags", Number}}, Answer::Text},
        {40, "GPKI_XMLSignTemplateUpdate", 47, {{"bstrXML", Text}, {"bstrSignId", Text}, {"iFlags", Number}}, Answer::Text},
        {41, "GPKI_XMLSignTemplateFile2File", 48, {{"bstrPIN", Text}, {"bstrInXMLFilePath", Text}, {"bstrOutXMLFilePath", Text}, {"bstrSignId", Text}, {"iFlags", Number}}, Answer::Number},
        {42, "GPKI_XMLSignTemplateDigest2File", 49, {{"bstrPIN", Text}, {"bstrXML", Text}, {"bstrOutXMLFilePath", Text}, {"bstrSignId", Text}, {"iFlags", Number}}, Answer::Number},
        {43, "GPKI_GetAttributeCert", 50, {{"strReader", Text}, {"strPIN", Text}, {"iFlags", Number}}, Answer::Text},
        {44, "SetCodePage", 51, {{"codePage", Number}}, Answer::Nothing},
        {45, "GPKI_GetSlotCount", 52, {}, Answer::Number},
        {46, "GPKI_VerifyPIN", 53, {{"bPIN", Text}, {"iFlags", Number}}, Answer::Number},
        {47, "GPKI_GetErrorPINCount", 54, {}, Answer::Number},
        {48, "GetVersion", 55, {{"flag", Number}}, Answer::Text},
        {49, "GPKI_SignData", 56, {{"sOptPIN", Text}, {"sData", Text}, {"signcodepage", Text}, {"iFlags", Number}, {"iHashFlag", Number}}, Answer::Text},
        {50, "GPKI_SignDataUpdate", 57, {{"sData", Text}, {"signcodepage", Text}, {"iFlags", Number}, {"iHashFlag", Number}}, Answer::Text},
        {51, "GPKI_PureSign", 58, {{"sOptPIN", Text}, {"sData", Text}, {"signcodepage", Text}, {"iFlags", Number}, {"iHashFlag", Number}}, Answer::Text},
        {52, "CryptCertGetSignatureAlgorithm", 59, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {53, "CryptSignatureGetAlgorithm", 60, {{"strSignature", Text}, {"iFlags", Number}, {"index", Number}}, Answer::Text},
        {54, "GPKI_SignInitLogin", 61, {{"sOptPIN", Text}, {"lFlags", Number}}, Answer::Number},
        {55, "GPKI_DetectCard", 62, {{"iFlags", Number}}, Answer::Number},
        {56, "GPKI_GetCachedCert", 63, {}, Answer::Text},
        {57, "GPKI_CertGetSubjectDirectoryAttrs", 64, {{"strCert", Text}, {"strOID", Text}, {"iFlags", Number}}, Answer::Text},
        {58, "CryptCertGetExtension", 65, {{"strCert", Text}, {"iFlags", Number}}, Answer::Text},
        {59, "DetectReplug", 66, {{"iFlags", Number}, {"iReplugTime", Number}}, Answer::Number},
        {60, "GPKI_ChangePIN", 67, {{"OldPIN", Text}, {"NewPIN", Text}, {"iFlags", Number}}, Answer::Number},
    };
    return rows;
}

}  // namespace adapter_testing
