// The 61 component functions. Each one is a row of one table: the method (whose signature
// gives the argument kinds and the answer kind), its request keys in argument order, and
// whether the key check applies. One handler body serves them all.
#include <array>
#include <cstdio>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "AdapterProject/AdapterCommon.h"
#include "AdapterProject/AdapterState.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Secure.h"

namespace {

enum class ParameterKind { Text, Integer };
enum class AnswerKind { Text, Integer, Variant, None };

inline constexpr std::size_t kMostParameters = 5;

struct Parameter {
    _bstr_t text;
    LONG number = 0;
};

// The method's answer, each kind in its own variable; the text answer lives in a holder from
// the moment the method returns.
struct Answer {
    _bstr_t text;
    LONG number = 0;
    VARIANT variant;
    BSTR* textAddress = nullptr;
};

template <typename Method>
struct MethodShape;

template <typename... Arguments>
struct MethodShape<HRESULT (ICardCryptoComponent::*)(Arguments...)> {
    using ArgumentTypes = std::tuple<Arguments...>;
    static constexpr std::size_t argumentCount = sizeof...(Arguments);
    using Last =
        std::tuple_element_t<argumentCount, std::tuple<void, Arguments...>>;  // void when none
    static constexpr bool hasAnswer = std::is_same_v<Last, BSTR*> || std::is_same_v<Last, LONG*> ||
                                      std::is_same_v<Last, VARIANT*>;
    static constexpr std::size_t inputCount = argumentCount - (hasAnswer ? 1 : 0);
    static constexpr AnswerKind answer = std::is_same_v<Last, BSTR*>      ? AnswerKind::Text
                                         : std::is_same_v<Last, LONG*>    ? AnswerKind::Integer
                                         : std::is_same_v<Last, VARIANT*> ? AnswerKind::Variant
                                                                          : AnswerKind::None;
};

template <auto Method>
using ShapeOf = MethodShape<decltype(Method)>;

template <auto Method, std::size_t... I>
constexpr std::array<ParameterKind, sizeof...(I)> kindsOf(std::index_sequence<I...>) {
    using Types = typename ShapeOf<Method>::ArgumentTypes;
    static_assert(((std::is_same_v<std::tuple_element_t<I, Types>, BSTR> ||
                    std::is_same_v<std::tuple_element_t<I, Types>, LONG>)&&...),
                  "component inputs are texts and 32-bit integers");
    return {(std::is_same_v<std::tuple_element_t<I, Types>, BSTR> ? ParameterKind::Text
                                                                  : ParameterKind::Integer)...};
}

template <auto Method>
inline constexpr auto kParameterKinds =
    kindsOf<Method>(std::make_index_sequence<ShapeOf<Method>::inputCount>{});

template <typename T>
T argumentFrom(Parameter& parameter) {
    if constexpr (std::is_same_v<T, BSTR>)
        return parameter.text.GetBSTR();
    else
        return parameter.number;
}

template <typename T>
T answerAddress(Answer& answer) {
    if constexpr (std::is_same_v<T, BSTR*>)
        return answer.textAddress;
    else if constexpr (std::is_same_v<T, LONG*>)
        return &answer.number;
    else
        return &answer.variant;
}

template <auto Method, std::size_t... I>
HRESULT invokeWith(ICardCryptoComponent* component, std::span<Parameter> parameters, Answer& answer,
                   std::index_sequence<I...>) {
    using Shape = ShapeOf<Method>;
    using Types = typename Shape::ArgumentTypes;
    if constexpr (Shape::hasAnswer)
        return (component->*Method)(argumentFrom<std::tuple_element_t<I, Types>>(parameters[I])...,
                                    answerAddress<typename Shape::Last>(answer));
    else
        return (component->*Method)(argumentFrom<std::tuple_element_t<I, Types>>(parameters[I])...);
}

template <auto Method>
HRESULT invokeMethod(ICardCryptoComponent* component, std::span<Parameter> parameters,
                     Answer& answer) {
    return invokeWith<Method>(component, parameters, answer,
                              std::make_index_sequence<ShapeOf<Method>::inputCount>{});
}

struct ComponentFunction {
    const char* name;
    std::array<const char*, kMostParameters> keys;
    std::span<const ParameterKind> kinds;
    AnswerKind answer;
    bool keyCheck;
    HRESULT (*invoke)(ICardCryptoComponent*, std::span<Parameter>, Answer&);
};

template <auto Method, typename... Keys>
constexpr ComponentFunction describe(const char* name, bool keyCheck, Keys... keys) {
    static_assert(sizeof...(Keys) == ShapeOf<Method>::inputCount,
                  "one request key per input argument");
    static_assert(sizeof...(Keys) <= kMostParameters);
    return {name,
            {keys...},
            kParameterKinds<Method>,
            ShapeOf<Method>::answer,
            keyCheck && sizeof...(Keys) > 0,
            &invokeMethod<Method>};
}

#define COMPONENT_FUNCTION(method, ...) \
    describe<&ICardCryptoComponent::method>(#method, true, __VA_ARGS__)
#define COMPONENT_FUNCTION_UNCHECKED(method, ...) \
    describe<&ICardCryptoComponent::method>(#method, false, __VA_ARGS__)
#define COMPONENT_FUNCTION_NO_PARAMETERS(method) \
    describe<&ICardCryptoComponent::method>(#method, false)

// Registration order: the position is the function's "TessarollFunctionIndex".
constexpr ComponentFunction kComponentFunctions[] = {
    COMPONENT_FUNCTION_NO_PARAMETERS(get_lastError),
    COMPONENT_FUNCTION(GPKI_EnumCerts, "iFlags"),
    COMPONENT_FUNCTION(CAPICertGetSerialNumber, "strCert", "iFlags"),
    COMPONENT_FUNCTION(CAPICertGetIssuer, "strCert", "iFlags"),
    COMPONENT_FUNCTION(CAPICertGetSubject, "strCert", "iFlags"),
    COMPONENT_FUNCTION(GPKI_GetTailOfCitizenID, "strCert", "iFlags"),
    COMPONENT_FUNCTION(GPKI_GetCertType, "strCert", "iFlags"),
    COMPONENT_FUNCTION(GPKI_GetOrganizationID, "strCert", "iFlags"),
    COMPONENT_FUNCTION(GPKI_GetCardHolderRank, "strCert", "iFlags"),
    COMPONENT_FUNCTION(GPKI_GetCertTypeOID, "strCert", "iFlags"),
    COMPONENT_FUNCTION(GPKI_GetEntityOID, "cert", "iFlags"),
    COMPONENT_FUNCTION(CAPICertGetPublicKey, "strCert", "iFlags"),
    COMPONENT_FUNCTION(CAPICertGetNotBefore, "strCert", "iFlags"),
    COMPONENT_FUNCTION(CAPICertGetNotAfter, "strCert", "iFlags"),
    COMPONENT_FUNCTION(CAPICertGetVersion, "strCert", "iFlags"),
    COMPONENT_FUNCTION(GPKI_EncryptByCert, "strCert", "strData", "iFlags"),
    COMPONENT_FUNCTION(GPKI_Decrypt, "strCipher", "iFlags", "iKeyUsage"),
    COMPONENT_FUNCTION(GPKI_Decrypt2File, "strCipher", "strOutFilePath", "iFlags", "iKeyUsage"),
    COMPONENT_FUNCTION(GPKI_XMLSignTemplate, "bstrPIN", "bstrXML", "bstrSignId", "iFlags"),
    COMPONENT_FUNCTION(GPKI_SetReaderSlot, "iFlags", "slot"),
    COMPONENT_FUNCTION(GPKI_EnumCertsToString, "iFlags"),
    COMPONENT_FUNCTION(GPKI_Base64Encode, "srcData", "codePage"),
    COMPONENT_FUNCTION(GPKI_Base64Decode, "base64String", "outCodePage"),
    COMPONENT_FUNCTION(GPKI_DecryptEx, "sOptPIN", "strCipher", "iFlags", "iKeyUsage"),
    COMPONENT_FUNCTION(GPKI_SignDataInit, "sOptPIN", "lFlags"),
    COMPONENT_FUNCTION(GPKI_SignDataFinal, "lFlags"),
    COMPONENT_FUNCTION(GPKI_XMLSignTemplateFile, "bstrPIN", "bstrXMLFilePath", "bstrSignId",
                       "iFlags"),
    COMPONENT_FUNCTION(GPKI_XMLCalcTemplateDigest, "bstrXML", "bstrSignId"),
    COMPONENT_FUNCTION(GPKI_XMLCalcTemplateFileDigest, "bstrXMLFilePath", "bstrSignId"),
    COMPONENT_FUNCTION(GPKI_XMLSignTemplateDigest, "bstrPIN", "bstrXML", "bstrSignId", "iFlags"),
    COMPONENT_FUNCTION(GPKI_ReadFile, "strFilepath", "flags"),
    COMPONENT_FUNCTION(GPKI_XMLSignTemplateFileUpdate, "bstrXMLFilePath", "bstrSignId", "iFlags"),
    COMPONENT_FUNCTION(GPKI_SignInit, "sOptPIN", "lFlags"),
    COMPONENT_FUNCTION(GPKI_SignFinal, "lFlags"),
    COMPONENT_FUNCTION(GPKI_XMLSignTemplateDigestUpdate, "bstrXML", "bstrSignId", "iFlags"),
    COMPONENT_FUNCTION(GPKI_SetPKCS11Driver, "bPath"),
    COMPONENT_FUNCTION(SetXMLReferenceDirs, "bstrMultiRefDir"),
    COMPONENT_FUNCTION_NO_PARAMETERS(GPKI_GetSerialNumber),
    COMPONENT_FUNCTION(GPKI_RSADecrypt, "strCipher", "strPinCode", "iFlags"),
    COMPONENT_FUNCTION(GPKI_RSAEncryptByCert, "strCert", "strData", "iFlags"),
    COMPONENT_FUNCTION(GPKI_XMLSignTemplateUpdate, "bstrXML", "bstrSignId", "iFlags"),
    COMPONENT_FUNCTION(GPKI_XMLSignTemplateFile2File, "bstrPIN", "bstrInXMLFilePath",
                       "bstrOutXMLFilePath", "bstrSignId", "iFlags"),
    COMPONENT_FUNCTION(GPKI_XMLSignTemplateDigest2File, "bstrPIN", "bstrXML", "bstrOutXMLFilePath",
                       "bstrSignId", "iFlags"),
    COMPONENT_FUNCTION(GPKI_GetAttributeCert, "strReader", "strPIN", "iFlags"),
    COMPONENT_FUNCTION(SetCodePage, "codePage"),
    COMPONENT_FUNCTION_NO_PARAMETERS(GPKI_GetSlotCount),
    COMPONENT_FUNCTION(GPKI_VerifyPIN, "bPIN", "iFlags"),
    COMPONENT_FUNCTION_NO_PARAMETERS(GPKI_GetErrorPINCount),
    COMPONENT_FUNCTION_UNCHECKED(GetVersion, "flag"),
    COMPONENT_FUNCTION(GPKI_SignData, "sOptPIN", "sData", "signcodepage", "iFlags", "iHashFlag"),
    COMPONENT_FUNCTION(GPKI_SignDataUpdate, "sData", "signcodepage", "iFlags", "iHashFlag"),
    COMPONENT_FUNCTION(GPKI_PureSign, "sOptPIN", "sData", "signcodepage", "iFlags", "iHashFlag"),
    COMPONENT_FUNCTION(CryptCertGetSignatureAlgorithm, "strCert", "iFlags"),
    COMPONENT_FUNCTION(CryptSignatureGetAlgorithm, "strSignature", "iFlags", "index"),
    COMPONENT_FUNCTION(GPKI_SignInitLogin, "sOptPIN", "lFlags"),
    COMPONENT_FUNCTION(GPKI_DetectCard, "iFlags"),
    COMPONENT_FUNCTION_NO_PARAMETERS(GPKI_GetCachedCert),
    COMPONENT_FUNCTION(GPKI_CertGetSubjectDirectoryAttrs, "strCert", "strOID", "iFlags"),
    COMPONENT_FUNCTION(CryptCertGetExtension, "strCert", "iFlags"),
    COMPONENT_FUNCTION(DetectReplug, "iFlags", "iReplugTime"),
    COMPONENT_FUNCTION(GPKI_ChangePIN, "OldPIN", "NewPIN", "iFlags"),
};

#undef COMPONENT_FUNCTION
#undef COMPONENT_FUNCTION_UNCHECKED
#undef COMPONENT_FUNCTION_NO_PARAMETERS

constexpr bool sameText(const char* a, const char* b) {
    for (; *a && *a == *b; ++a, ++b) {}
    return *a == *b;
}

constexpr bool tableFollowsInterface() {
    if (std::size(kComponentFunctions) != std::size_t(kCardComponentMethodCount)) return false;
    for (std::size_t i = 0; i < std::size(kComponentFunctions); ++i)
        if (!sameText(kComponentFunctions[i].name, kCardComponentMethodNames[i])) return false;
    return true;
}
static_assert(tableFollowsInterface(), "index order is the interface's slot order");

// Overwrites the characters of every text parameter with zeros, then lets the holders go.
void wipeParameters(const ComponentFunction& function, std::span<Parameter> parameters) {
    for (std::size_t i = 0; i < function.kinds.size(); ++i) {
        if (function.kinds[i] != ParameterKind::Text) continue;
        if (BSTR text = parameters[i].text.GetBSTR()) secureWipe(text, SysStringByteLen(text));
    }
    for (Parameter& parameter : parameters) parameter.text = _bstr_t();
}

AdapterAnswer handleComponentError(const std::string& handlerName, int line) {
    writeWarningLog("", "Catch component exception");
    char text[512] = {};
    std::snprintf(text, sizeof text, "Safe in %s at %d lines in %s", handlerName.c_str(), line,
                  __FILE__);
    writeErrorLog("[Safe Line] ", text);
    return makeCodeText(kResultComponentFailed);
}

// Reads every parameter, so each missing key is reported; the keys the request lacks come
// back (only where the function checks its keys).
std::vector<std::string_view> readParameters(const ComponentFunction& function, const JsonMap* map,
                                             std::span<Parameter> parameters) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        const char* key = function.keys[i];
        if (function.keyCheck && !jsonMapHasKey(map, key)) {
            writeWarningLog("Json map key not found: ", key);
            missing.push_back(key);
        }
        if (function.kinds[i] == ParameterKind::Text)
            parameters[i].text = getJsonMapBstr(map, key);
        else
            parameters[i].number = getJsonMapInt(map, key);
    }
    return missing;
}

AdapterAnswer runComponentFunction(const ComponentFunction& function, const JsonMap* map) {
    const std::string handlerName = std::string("ComponentAPI_") + function.name;
    writeNormalLog("Into adapter function: ", handlerName);

    std::array<Parameter, kMostParameters> storage;
    std::span<Parameter> parameters(storage.data(), function.kinds.size());
    // However the handler ends: every text parameter zeroed and freed.
    struct WipeOnExit {
        const ComponentFunction& function;
        std::span<Parameter> parameters;
        ~WipeOnExit() { wipeParameters(function, parameters); }
    } wipe{function, parameters};
    try {
        if (!readParameters(function, map, parameters).empty() &&
            getJsonMapBool(map, "AdapterJsonKeyCheck"))
            return makeCodeText(kResultKeyMissing);

        writeNormalLog("Ready into component func: ", function.name);
        if (!componentInterface) _com_issue_error(E_POINTER);
        Answer answer;
        VariantInit(&answer.variant);
        struct ClearAnswer {
            VARIANT* value;
            ~ClearAnswer() { VariantClear(value); }
        } clearAnswer{&answer.variant};
        if (function.answer == AnswerKind::Text) answer.textAddress = &answer.text.GetAddress();

        HRESULT result = function.invoke(componentInterface, parameters, answer);
        if (FAILED(result))
            _com_issue_errorex(result, componentInterface, IID_ICardCryptoComponent);
        writeNormalLog("Finish component func: ", function.name);

        switch (function.answer) {
            case AnswerKind::Text: return makeAnswerText(std::move(answer.text));
            case AnswerKind::Integer: return makeNumberText(answer.number);
            case AnswerKind::Variant: {
                VARIANT working;
                VariantInit(&working);
                if (HRESULT copied = VariantCopy(&working, &answer.variant); FAILED(copied))
                    _com_issue_error(copied);
                return makeAnswerText(variantToBstr(&working));
            }
            case AnswerKind::None: break;
        }
        return makeCodeText(0);
    } catch (const _com_error&) {
        return handleComponentError(handlerName, __LINE__);
    } catch (const std::bad_alloc&) {
        // Out of memory while the parameters were read: answered like a component failure.
        return handleComponentError(handlerName, __LINE__);
    }
}

template <std::size_t I>
AdapterAnswer componentHandler(const JsonMap* map) {
    return runComponentFunction(kComponentFunctions[I], map);
}

template <std::size_t... I>
std::vector<ComponentFunctionRegistration> buildRegistrations(std::index_sequence<I...>) {
    return {{kComponentFunctions[I].name, &componentHandler<I>}...};
}

}  // namespace

const std::vector<ComponentFunctionRegistration>& componentFunctionRegistrations() {
    static const std::vector<ComponentFunctionRegistration> registrations =
        buildRegistrations(std::make_index_sequence<std::size(kComponentFunctions)>{});
    return registrations;
}
