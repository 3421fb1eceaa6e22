// BSTR: a length-prefixed UTF-16 string as COM passes it. The pointer addresses the first
// character; the 4 bytes before it hold the length in bytes; a terminator follows the text.
// A null BSTR and a zero-length BSTR are different things and stay different.
#pragma once

#include <cstdint>

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);  // text may be null: zero-filled
BSTR SysAllocString(const OLECHAR* text);                      // null text gives a null BSTR
uint32_t SysStringLen(BSTR text);                              // characters; 0 for null
uint32_t SysStringByteLen(BSTR text);
void SysFreeString(BSTR text);                                 // null is fine
