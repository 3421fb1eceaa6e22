// BSTR: a length-prefixed UTF-16 string as COM passes it. The pointer addresses the first
// character; the 4 bytes before it hold the length in bytes; a terminator follows the text.
// A null BSTR and a zero-length BSTR are different things and stay different.
//
// The allocator lives in the process's one COM runtime library, so a string allocated in one
// module may be freed in any other.
#pragma once

#include <cstdint>

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

#define TESSAROLL_BSTR_API __attribute__((visibility("default")))

TESSAROLL_BSTR_API BSTR SysAllocStringLen(const OLECHAR* text,
                                          uint32_t length);   // text may be null: zero-filled
TESSAROLL_BSTR_API BSTR SysAllocString(const OLECHAR* text);  // null text gives a null BSTR
TESSAROLL_BSTR_API BSTR SysAllocStringByteLen(const char* bytes, uint32_t byteLength);
TESSAROLL_BSTR_API uint32_t SysStringLen(BSTR text);  // characters; 0 for null
TESSAROLL_BSTR_API uint32_t SysStringByteLen(BSTR text);
TESSAROLL_BSTR_API void SysFreeString(BSTR text);  // null is fine

// Tests: called with every non-null BSTR just before its memory is released, so a test can
// see what the string held at that moment. Null removes the observer.
using BstrFreeObserver = void (*)(BSTR text, uint32_t byteLength, void* context);
TESSAROLL_BSTR_API void setBstrFreeObserver(BstrFreeObserver observer, void* context);
