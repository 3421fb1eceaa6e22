#include "TessarollUtil/Secure.h"

#include <string.h>

void secureWipe(void* data, std::size_t length) {
    if (data && length) explicit_bzero(data, length);
}

void secureWipe(std::string& text) {
    // The capacity, not just the size: shorter texts may have lived in the same buffer.
    text.resize(text.capacity());
    secureWipe(text.data(), text.size());
    text.clear();
}

void secureWipe(std::u16string& text) {
    text.resize(text.capacity());
    secureWipe(text.data(), text.size() * sizeof(char16_t));
    text.clear();
}

void secureWipe(std::vector<unsigned char>& bytes) {
    bytes.resize(bytes.capacity());
    secureWipe(bytes.data(), bytes.size());
    bytes.clear();
}
