// The one place where secrets are erased: PINs, keys, decrypted texts and parameters are
// overwritten with zeros before their memory is released.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <vector>

void secureWipe(void* data, std::size_t length);
void secureWipe(std::string& text);  // wipes the whole capacity, leaves it empty
void secureWipe(std::u16string& text);
void secureWipe(std::vector<unsigned char>& bytes);

// Hands out heap blocks and wipes each one before it is given back.
template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) {}
    T* allocate(std::size_t count) { return static_cast<T*>(::operator new(count * sizeof(T))); }
    void deallocate(T* block, std::size_t count) {
        secureWipe(block, count * sizeof(T));
        ::operator delete(block);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const {
        return true;
    }
};

// A secret text (a PIN, a key, a decrypted value). Its bytes only ever live in blocks of
// its own wiping storage: there is no inline buffer, a growing text wipes the block it
// leaves, a move hands the block over and leaves nothing behind, and the last holder wipes
// it. Always followed by a zero byte, for interfaces that take a C string.
class SecretString {
public:
    SecretString() = default;
    explicit SecretString(std::string_view text) { append(text); }
    SecretString(const char* text, std::size_t length)
        : SecretString(std::string_view(text, length)) {}
    // Takes over a plain string's content and wipes the string.
    explicit SecretString(std::string&& text) : SecretString(std::string_view(text)) {
        secureWipe(text);
    }
    SecretString(const SecretString& other) : SecretString(other.view()) {}
    SecretString(SecretString&& other) noexcept = default;
    SecretString& operator=(const SecretString& other) {
        if (this != &other) assign(other.view());
        return *this;
    }
    SecretString& operator=(SecretString&& other) noexcept = default;
    ~SecretString() = default;

    SecretString& append(std::string_view more);
    SecretString& append(const char* text, std::size_t length) {
        return append(std::string_view(text, length));
    }
    SecretString& operator+=(std::string_view more) { return append(more); }
    SecretString& operator+=(char c) { return append(std::string_view(&c, 1)); }
    // Replaces the content; the old one is wiped.
    void assign(std::string_view text);
    // Sets the length: new bytes are zeros.
    void resize(std::size_t length);
    // Room for `length` bytes, so that appends up to it never move the text.
    void reserve(std::size_t length);
    void clear() {
        secureWipe(bytes_.data(), bytes_.size());
        bytes_.clear();
    }

    std::size_t size() const { return bytes_.empty() ? 0 : bytes_.size() - 1; }
    std::size_t capacity() const { return bytes_.capacity(); }  // bytes held, terminator included
    bool empty() const { return size() == 0; }
    const char* data() const { return bytes_.empty() ? "" : bytes_.data(); }
    char* data() { return bytes_.empty() ? nullptr : bytes_.data(); }
    const char* c_str() const { return data(); }
    std::string_view view() const { return {data(), size()}; }
    operator std::string_view() const { return view(); }

    bool operator==(const SecretString& other) const { return view() == other.view(); }
    bool operator==(std::string_view other) const { return view() == other; }

private:
    // The text and its closing zero byte; empty for an empty text.
    std::vector<char, WipingAllocator<char>> bytes_;
};

// The UTF-8 form of a UTF-16 secret, made straight into wiping storage.
SecretString secretFromUtf16(std::u16string_view text);

// Empties the secret at once, before it goes away.
inline void secureWipe(SecretString& secret) {
    secret.clear();
}
