#include "TessarollUtil/Secure.h"

#include <string.h>

#include "TessarollUtil/RequestPath.h"
#include "platform/Encoding.h"

#include <algorithm>
#include <string>

TESSAROLL_REQUEST_PATH void secureWipe(void* data, std::size_t length) {
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

TESSAROLL_REQUEST_PATH SecretString& SecretString::append(std::string_view more) {
    if (more.empty()) return *this;
    const std::size_t length = size();
    // `more` may lie in our own block, which a growth gives up: it is copied over first.
    if (bytes_.capacity() < length + more.size() + 1) {
        std::vector<char, WipingAllocator<char>> grown;
        grown.reserve(std::max(length + more.size() + 1, bytes_.capacity() * 2));
        grown.insert(grown.end(), bytes_.begin(),
                     bytes_.begin() + static_cast<std::ptrdiff_t>(length));
        grown.insert(grown.end(), more.begin(), more.end());
        grown.push_back('\0');
        bytes_.swap(grown);
        return *this;
    }
    if (bytes_.empty()) bytes_.push_back('\0');
    bytes_.insert(bytes_.end() - 1, more.begin(), more.end());
    return *this;
}

void SecretString::assign(std::string_view text) {
    SecretString fresh(text);
    *this = std::move(fresh);
}

TESSAROLL_REQUEST_PATH void SecretString::resize(std::size_t length) {
    if (length == size()) return;
    if (length < size()) {
        secureWipe(bytes_.data() + length, size() - length);
        bytes_.resize(length + 1);
        if (length == 0) bytes_.clear();
        return;
    }
    append(std::string(length - size(), '\0'));
}

void SecretString::reserve(std::size_t length) {
    if (bytes_.capacity() >= length + 1) return;
    std::vector<char, WipingAllocator<char>> grown;
    grown.reserve(length + 1);
    grown.assign(bytes_.begin(), bytes_.end());
    bytes_.swap(grown);
}

SecretString secretFromUtf16(std::u16string_view text) {
    SecretString secret;
    secret.reserve(text.size() * 3);  // the most UTF-8 a UTF-16 unit needs: no growth
    for (std::size_t at = 0; at < text.size();) {
        const bool pair = text[at] >= 0xD800 && text[at] <= 0xDBFF && at + 1 < text.size() &&
                          text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF;
        const std::size_t units = pair ? 2 : 1;
        // One character at a time: at most four bytes, inside the string itself.
        std::string piece = utf16ToUtf8(text.substr(at, units));
        secret += piece;
        secureWipe(piece);
        at += units;
    }
    return secret;
}
