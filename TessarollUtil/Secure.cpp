#include "TessarollUtil/Secure.h"

#include <string.h>

#include <algorithm>

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

void appendSecret(std::string& secret, std::string_view more) {
    std::size_t needed = secret.size() + more.size();
    if (needed > secret.capacity()) {
        std::string grown;
        grown.reserve(std::max(needed, secret.capacity() * 2));
        grown.append(secret);
        secureWipe(secret);
        secret.swap(grown);
    }
    secret.append(more);
}
