#include "platform/Bstr.h"

#include <cstdlib>
#include <cstring>

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
    if (length > 0x7FFFFFF0u / sizeof(OLECHAR)) return nullptr;
    std::size_t bytes = sizeof(uint32_t) + (std::size_t(length) + 1) * sizeof(OLECHAR);
    auto* block = static_cast<unsigned char*>(std::calloc(1, bytes));
    if (!block) return nullptr;
    uint32_t byteLength = length * sizeof(OLECHAR);
    std::memcpy(block, &byteLength, sizeof byteLength);
    auto* chars = reinterpret_cast<OLECHAR*>(block + sizeof(uint32_t));
    if (text) std::memcpy(chars, text, std::size_t(length) * sizeof(OLECHAR));
    return chars;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    uint32_t n = 0;
    while (text[n]) ++n;
    return SysAllocStringLen(text, n);
}

uint32_t SysStringByteLen(BSTR text) {
    if (!text) return 0;
    uint32_t byteLength;
    std::memcpy(&byteLength, reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t), sizeof byteLength);
    return byteLength;
}

uint32_t SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

void SysFreeString(BSTR text) {
    if (!text) return;
    std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}
