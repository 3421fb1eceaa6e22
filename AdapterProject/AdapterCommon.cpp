#include "AdapterProject/AdapterCommon.h"

#include <cctype>
#include <cstdio>
#include <limits>
#include <new>
#include <string_view>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Secure.h"
#include "TessarollUtil/Text.h"
#include "platform/Encoding.h"

namespace {

// Leading white space, a sign, then digits up to the first other character. Values beyond
// 32 bits stop at the nearest bound instead of wrapping.
int32_t leadingDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(std::numeric_limits<int32_t>::max()) + 1) break;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return int32_t(value);
}

// The decoded text of a present key; the raw copy is wiped on the way.
std::optional<std::string> lookUpDecoded(const JsonMap* map, const char* key) {
    std::optional<std::string> raw = BinarySearchTessarollJsonMap(map, 0, map->count - 1, key);
    if (!raw) return std::nullopt;
    std::string decoded = decodeJsonMapParameter(map, key, *raw);
    secureWipe(*raw);
    return decoded;
}

// A BSTR of a text that may be a PIN; the UTF-16 working copy is wiped however this ends.
BSTR secretToBstr(std::string_view text) {
    std::u16string wide = utf8ToUtf16(text);  // reserved to the UTF-8 length, so it never moves
    struct WipeOnExit {
        std::u16string& text;
        ~WipeOnExit() { secureWipe(text); }
    } wipe{wide};
    return SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
}

// Clears a VARIANT however the scope is left.
struct ClearOnExit {
    VARIANT* value;
    ~ClearOnExit() { VariantClear(value); }
};

}  // namespace

int32_t getJsonMapInt(const JsonMap* inputTessarollJson, const char* inputKey) {
    if (!inputTessarollJson) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
        return 0;
    }
    if (!inputKey) {
        TESSAROLL_NULL_PARAMETER("inputKey");
        return 0;
    }
    std::optional<std::string> text = lookUpDecoded(inputTessarollJson, inputKey);
    if (!text) return 0;
    int32_t value;
    if (equalsIgnoringCase(*text, "true"))
        value = 1;
    else if (equalsIgnoringCase(*text, "false"))
        value = 0;
    else
        value = leadingDecimal(*text);
    secureWipe(*text);
    return value;
}

_bstr_t getJsonMapBstr(const JsonMap* inputTessarollJson, const char* inputKey) {
    _bstr_t result;
    if (!inputTessarollJson) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
        return result;
    }
    if (!inputKey) {
        TESSAROLL_NULL_PARAMETER("inputKey");
        return result;
    }
    std::optional<std::string> text;
    try {
        text = lookUpDecoded(inputTessarollJson, inputKey);
        if (!text) return result;
        BSTR converted = secretToBstr(*text);
        if (!converted) _com_issue_error(E_OUTOFMEMORY);
        result.Attach(converted);
    } catch (const std::bad_alloc&) {
        if (text) secureWipe(*text);
        _com_issue_error(E_OUTOFMEMORY);
    } catch (...) {
        // The decoded text may be a PIN: it goes before the error does.
        if (text) secureWipe(*text);
        throw;
    }
    secureWipe(*text);
    return result;
}

std::optional<std::string> makeCodeText(int32_t code) {
    char text[64] = {};
    std::snprintf(text, sizeof text, "%d", code);
    return std::string(text);
}

std::optional<std::string> makeNumberText(int32_t number) {
    return std::to_string(number);
}

std::optional<std::string> makeAnswerText(_bstr_t&& answer) {
    _bstr_t held(std::move(answer));
    if (held.isNull() || held.length() == 0) return std::nullopt;
    return bstrToUtf8(held.GetBSTR());
}

namespace {

// By the element's exact type: an element that is itself an array holds no text or number
// to read.
void appendElementText(VARIANT& element, std::u16string& text) {
    switch (element.vt) {
        case VT_I4:
        case VT_INT:
            if (HRESULT result = VariantChangeType(&element, &element, 0, VT_BSTR); FAILED(result))
                _com_issue_error(result);
            [[fallthrough]];
        case VT_BSTR:
            if (element.bstrVal) text.append(element.bstrVal, SysStringLen(element.bstrVal));
            break;
        default: break;
    }
}

void appendArrayText(const VARIANT& array, std::u16string& text) {
    LONG lower = 0, upper = -1;
    // An array value without an array reads as an empty one.
    if (FAILED(SafeArrayGetLBound(array.parray, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array.parray, 1, &upper)))
        upper = lower - 1;
    for (int64_t at = lower; at <= upper; ++at) {
        LONG index = LONG(at);
        if (array.vt != (VT_ARRAY | VT_VARIANT)) {
            std::printf("Error!! value->vt & ~VT_ARRAY = %d\n", array.vt & ~VT_ARRAY);
            continue;
        }
        VARIANT element;
        VariantInit(&element);
        ClearOnExit clearElement{&element};
        if (HRESULT result = SafeArrayGetElement(array.parray, &index, &element); FAILED(result))
            _com_issue_error(result);
        appendElementText(element, text);
        text.push_back(u';');
    }
}

}  // namespace

_bstr_t variantToBstr(VARIANT* value) {
    ClearOnExit clearValue{value};
    std::u16string text;

    VARIANT copy;
    VariantInit(&copy);
    ClearOnExit clearCopy{&copy};
    if (HRESULT result = VariantCopy(&copy, value); FAILED(result)) _com_issue_error(result);

    if ((copy.vt & VT_BOOL) == VT_BOOL)
        text = copy.boolVal ? u"1" : u"0";
    else if (copy.vt & VT_ARRAY)
        appendArrayText(copy, text);
    BSTR result = SysAllocStringLen(text.data(), uint32_t(text.size()));
    if (!result) _com_issue_error(E_OUTOFMEMORY);
    return _bstr_t(result, false);
}
