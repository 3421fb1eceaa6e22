// The one place where secrets are erased: PINs, keys, decrypted texts and parameters are
// overwritten with zeros before their memory is released.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

void secureWipe(void* data, std::size_t length);
void secureWipe(std::string& text);             // wipes the whole capacity, leaves it empty
void secureWipe(std::u16string& text);
void secureWipe(std::vector<unsigned char>& bytes);

// Appends to a secret text without leaving copies behind: when the text must grow, the old
// buffer is wiped before it is released (a plain append frees it as it is).
void appendSecret(std::string& secret, std::string_view more);

// A std::string that wipes itself when it goes away.
class SecretString : public std::string {
public:
    using std::string::string;
    SecretString(std::string&& other) : std::string(std::move(other)) {}
    SecretString(const SecretString&) = default;
    SecretString(SecretString&&) = default;
    SecretString& operator=(const SecretString&) = default;
    SecretString& operator=(SecretString&&) = default;
    ~SecretString() { secureWipe(*this); }
};
