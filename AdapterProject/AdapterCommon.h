// What the adapter adds to the common library: the getters that feed the component, the
// makers of the answer texts, and the VARIANT converter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "TessarollUtil/JsonMap.h"
#include "platform/Com.h"
#include "platform/ComBstr.h"

// The integer value of a key: absent 0, "true" 1 and "false" 0 (any case), otherwise the
// leading decimal number of the decoded text (0 when there is none). Null map or key: a
// warning and 0.
int32_t getJsonMapInt(const JsonMap* inputTessarollJson, const char* inputKey);

// The decoded value of a key as UTF-16 in a holder: an absent key gives an empty holder
// (a null BSTR), an empty value a zero-length BSTR. Null map or key: a warning and an empty
// holder. Raises _com_error(E_OUTOFMEMORY) when the string cannot be allocated.
_bstr_t getJsonMapBstr(const JsonMap* inputTessarollJson, const char* inputKey);

// "%d" of the code: "61005", "61011", "61016", "61905", "0".
std::optional<std::string> makeCodeText(int32_t code);
// The decimal digits of an integer answer, "-" first when negative.
std::optional<std::string> makeNumberText(int32_t number);
// The holder's text as UTF-8; nothing for an empty holder or a zero-length string. The
// holder gives up its reference either way.
std::optional<std::string> makeAnswerText(_bstr_t&& answer);

// The text of a VARIANT answer: a boolean as "1" or "0"; an array of VARIANTs as each
// element's text followed by ";" (integers in decimal, strings as they are, other types
// empty); everything else empty. The value is cleared. Raises _com_error on a failed copy or
// conversion.
_bstr_t variantToBstr(VARIANT* value);
