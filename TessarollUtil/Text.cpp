#include "TessarollUtil/Text.h"
#include "TessarollUtil/RequestPath.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Secure.h"
#include "platform/Encoding.h"

std::atomic<int> libraryCodePage{kCodePageUtf8};
std::atomic<int32_t> lastConversionError{0};

namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every request's parameter is decoded through this: a table, not a chain of tests.
constexpr std::array<int8_t, 256> kBase64Values = [] {
    std::array<int8_t, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 26; ++i) {
        values['A' + i] = static_cast<int8_t>(i);
        values['a' + i] = static_cast<int8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<int8_t>(52 + i);
    values['+'] = 62;
    values['/'] = 63;
    return values;
}();

TESSAROLL_REQUEST_PATH int base64Value(unsigned char c) {
    return kBase64Values[c];
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

template <typename Char>
void boundedCopy(std::span<Char> destination, std::basic_string_view<Char> source) {
    if (destination.empty()) return;
    std::size_t count = std::min(source.size(), destination.size() - 1);
    std::copy_n(source.data(), count, destination.data());
    destination[count] = Char{};
}

BSTR newBstr(std::u16string_view text) {
    BSTR result = SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
    if (!result) throw std::bad_alloc();
    return result;
}

// The standard conversion in `base`, for the number converters: leading white space
// skipped, trailing characters ignored, the value limited to 32 bits.
int32_t convertNumber(const char* text, int base) {
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text, &end, base);
    if (end == text || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        lastConversionError = kConversionNotANumber;
        return 0;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

// ---- bounded copies -------------------------------------------------------------------

void copyString(std::span<char> destination, const char* source) {
    if (!source) return;
    boundedCopy(destination, std::string_view(source));
}

void copyString(std::span<char> destination, std::string_view source) {
    boundedCopy(destination, source);
}

void copyAndFreeString(std::span<char> destination, std::string& source) {
    boundedCopy(destination, std::string_view(source));
    secureWipe(source);
}

void copyAndFreeString(std::span<char> destination, std::optional<std::string>& source) {
    if (!source) return;
    copyAndFreeString(destination, *source);
    source.reset();
}

void copyWideString(std::span<char16_t> destination, const char16_t* source) {
    if (!source) return;
    boundedCopy(destination, std::u16string_view(source));
}

void copyWideString(std::span<char16_t> destination, std::u16string_view source) {
    boundedCopy(destination, source);
}

void copyAndFreeWideString(std::span<char16_t> destination, std::optional<std::u16string>& source) {
    if (!source) return;
    boundedCopy(destination, std::u16string_view(*source));
    source.reset();
}

std::string cutToBuffer(std::string_view text, std::size_t bufferSize) {
    if (bufferSize == 0) return {};
    return std::string(text.substr(0, bufferSize - 1));
}

// ---- heap blocks ----------------------------------------------------------------------

void* safeCalloc(std::size_t count) {
    if (count == 0 || count > 0x7FFFFFFF) return nullptr;
    void* block = std::calloc(count, 1);
    if (!block) TESSAROLL_ALLOCATION_FAILURE();
    return block;
}

std::optional<std::string> duplicateString(const char* text) {
    if (!text) return std::nullopt;
    return std::string(text);
}

std::optional<std::u16string> duplicateWideString(const char16_t* text) {
    if (!text) {
        TESSAROLL_NULL_PARAMETER("input");
        return std::nullopt;
    }
    return std::u16string(text);
}

// ---- BSTR -----------------------------------------------------------------------------

std::optional<std::string> bstrToMultiByte(BSTR text, int codePage) {
    uint32_t length = SysStringLen(text);
    if (length == 0) return std::nullopt;
    auto converted = utf16ToCodePage(std::u16string_view(text, length), codePage);
    if (!converted || converted->empty()) return std::nullopt;
    return converted;
}

std::optional<std::string> bstrToUtf8(BSTR text) {
    return bstrToMultiByte(text, kCodePageUtf8);
}

std::optional<std::string> bstrToText(BSTR text) {
    return bstrToMultiByte(text, libraryCodePage.load());
}

BSTR utf8ToBstr(std::string_view text) {
    return newBstr(utf8ToUtf16(text));
}

BSTR utf8ToBstr(const char* text) {
    if (!text) return nullptr;
    return utf8ToBstr(std::string_view(text));
}

BSTR multiByteToWide(const char* text, std::size_t length, int codePage) {
    if (!text) return nullptr;
    auto converted = codePageToUtf16(std::string_view(text, length), codePage);
    if (!converted || (converted->empty() && length > 0)) return nullptr;
    return newBstr(*converted);
}

BSTR multiByteToBstr(const char* text) {
    if (!text) return nullptr;
    auto converted = codePageToUtf16(text, libraryCodePage.load());
    if (!converted) return nullptr;
    return newBstr(*converted);
}

// ---- numbers --------------------------------------------------------------------------

bool lastConversionFailed() {
    int32_t error = lastConversionError.load();
    return error == kConversionNotANumber || error == kConversionNullInput;
}

int32_t stringToLong(const char* text, bool digitsOnly) {
    lastConversionError = 0;
    if (!text) {
        lastConversionError = kConversionNullInput;
        return 0;
    }
    if (digitsOnly) {
        for (const char* c = text; *c; ++c) {
            bool allowed = (*c >= '0' && *c <= '9') || (c == text && *c == '-');
            if (!allowed) {
                lastConversionError = kConversionNotANumber;
                return 0;
            }
        }
    }
    return convertNumber(text, 10);
}

int32_t stringToLong(std::string_view text, bool digitsOnly) {
    // The conversion reads up to a zero byte, as the text ends there.
    return stringToLong(std::string(text.substr(0, text.find('\0'))).c_str(), digitsOnly);
}

int32_t hexStringToLong(const char* text) {
    lastConversionError = 0;
    if (!text) {
        lastConversionError = kConversionNullInput;
        return 0;
    }
    return convertNumber(text, 16);
}

int32_t hexStringToLong(std::string_view text) {
    return hexStringToLong(std::string(text.substr(0, text.find('\0'))).c_str());
}

// ---- texts ----------------------------------------------------------------------------

std::string replaceAll(std::string_view text, std::string_view pattern,
                       std::string_view replacement) {
    if (pattern.empty()) return std::string(text);
    std::string out;
    std::size_t position = 0;
    while (true) {
        std::size_t found = text.find(pattern, position);
        if (found == std::string_view::npos) break;
        out.append(text.substr(position, found - position));
        out.append(replacement);
        position = found + pattern.size();
    }
    out.append(text.substr(position));
    return out;
}

std::string removeExeExtension(std::string_view name) {
    return replaceAll(name, ".exe", "");
}

std::size_t base64Encode(std::span<char> output, std::span<const unsigned char> bytes) {
    std::size_t needed = base64Length(bytes.size()) + 1;
    if (output.size() < needed) return 0;
    std::size_t out = 0;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        output[out++] = kBase64Alphabet[(group >> 18) & 0x3F];
        output[out++] = kBase64Alphabet[(group >> 12) & 0x3F];
        output[out++] = kBase64Alphabet[(group >> 6) & 0x3F];
        output[out++] = kBase64Alphabet[group & 0x3F];
    }
    std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = uint32_t{bytes[i]} << 16;
        if (rest == 2) group |= uint32_t{bytes[i + 1]} << 8;
        output[out++] = kBase64Alphabet[(group >> 18) & 0x3F];
        output[out++] = kBase64Alphabet[(group >> 12) & 0x3F];
        output[out++] = rest == 2 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=';
        output[out++] = '=';
    }
    output[out] = '\0';
    return out + 1;
}

void appendBase64(std::string& out, std::string_view text) {
    const std::size_t at = out.size();
    out.resize(at + base64Length(text.size()) + 1);
    const std::size_t written =
        base64Encode(std::span(out.data() + at, out.size() - at),
                     std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    out.resize(at + written - 1);
}

std::string base64EncodeText(std::string_view text) {
    std::string encoded;
    appendBase64(encoded, text);
    return encoded;
}

namespace {

// Decodes into `out`, which may be the text itself: a byte is written only after the
// characters it comes from were read, and never ahead of them. Returns the decoded length.
TESSAROLL_REQUEST_PATH std::size_t decodeUrlBase64(std::string_view text, char* out) {
    // The field carries the whole request, PINs included: it is read in place, with "%2B",
    // "%2F" and "%3D" taken as the characters they stand for, up to the first character
    // that is not Base64.
    static constexpr std::pair<std::string_view, char> kEscapes[] = {
        {"%2B", '+'}, {"%2F", '/'}, {"%3D", '='}};
    std::size_t written = 0;
    uint32_t group = 0;
    int bits = 0;
    for (std::size_t at = 0; at < text.size();) {
        char c = text[at];
        std::size_t taken = 1;
        if (c == '%') {
            for (const auto& [escape, meaning] : kEscapes) {
                if (text.substr(at).starts_with(escape)) {
                    c = meaning;
                    taken = escape.size();
                }
            }
        }
        const int value = base64Value(static_cast<unsigned char>(c));
        if (value < 0) break;
        at += taken;
        group = (group << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[written++] = static_cast<char>((group >> bits) & 0xFF);
        }
    }
    // Used as a text: it ends where the data holds a zero byte.
    const auto* zero = static_cast<const char*>(std::memchr(out, '\0', written));
    return zero ? static_cast<std::size_t>(zero - out) : written;
}

}  // namespace

std::string urlBase64Decode(std::string_view text) {
    // One buffer that never grows.
    std::string out(text.size() / 4 * 3 + 3, '\0');
    out.resize(decodeUrlBase64(text, out.data()));
    return out;
}

TESSAROLL_REQUEST_PATH std::size_t urlBase64DecodeInPlace(std::span<char> text) {
    return text.empty() ? 0
                        : decodeUrlBase64(std::string_view(text.data(), text.size()), text.data());
}

TESSAROLL_REQUEST_PATH std::size_t unescapeJsonTextInto(std::string_view text, char* out) {
    // Values may be PINs: one pass straight into the caller's buffer. No escape holds
    // another's start, and none makes a backslash, so a pass from the left reads each as
    // replacing one kind after another would.
    static constexpr std::pair<std::string_view, char> kEscapes[] = {
        {"\\r", '\r'},       {"\\n", '\n'},       {"\\t", '\t'}, {"\\u000f", '\x0f'},
        {"\\u000e", '\x0e'}, {"\\u001b", '\x1b'}, {"\\\"", '"'},
    };
    std::size_t written = 0;
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] != '\\') {
            out[written++] = text[at++];
            continue;
        }
        const std::string_view rest = text.substr(at);
        const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                          [&](const auto& e) { return rest.starts_with(e.first); });
        if (escape == std::end(kEscapes)) {
            out[written++] = text[at++];
        } else {
            out[written++] = escape->second;
            at += escape->first.size();
        }
    }
    return written;
}

std::string unescapeJsonText(std::string_view text) {
    std::string out(text.size(), '\0');
    out.resize(unescapeJsonTextInto(text, out.data()));
    return out;
}

std::string padLeft(std::string_view text, std::size_t width, char fill) {
    if (text.size() >= width) return std::string(text.substr(text.size() - width));
    return std::string(width - text.size(), fill).append(text);
}

std::string alignRight16(std::string_view text) {
    return padLeft(text, 16, ' ');
}

int32_t compareVersion(const char* versionA, const char* versionB) {
    if (!versionA) {
        TESSAROLL_NULL_PARAMETER("inputVersionA");
        return kVersionUncomparable;
    }
    if (!versionB) {
        TESSAROLL_NULL_PARAMETER("inputVersionB");
        return kVersionUncomparable;
    }
    return compareVersion(std::string_view(versionA), std::string_view(versionB));
}

int32_t compareVersion(std::string_view versionA, std::string_view versionB) {
    auto parts = [](std::string_view version) {
        std::string text =
            replaceAll(cutToBuffer(version.substr(0, version.find('\0')), 512), " ", "");
        return splitToArray(replaceAll(text, ".", ","), ",");
    };
    std::vector<std::string> a = parts(versionA);
    std::vector<std::string> b = parts(versionB);
    if (a.size() != b.size()) return 3;
    if (a.empty()) return 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].empty() || b[i].empty()) return kVersionEmptyPart;
    }
    auto warnTextMode = [](const std::string& partA, const std::string& partB) {
        writeWarningLog("Version check: ", "String compare mode");
        writeWarningLog(" - Version A: ", partA);
        writeWarningLog(" - Version B: ", partB);
    };
    for (std::size_t i = 0; i < a.size(); ++i) {
        int32_t numberA = stringToLong(a[i].c_str(), true);
        bool aIsNumber = !lastConversionFailed();
        if (!aIsNumber) {
            warnTextMode(a[i], b[i]);
            if (a[i] != b[i]) return 2;
            continue;
        }
        int32_t numberB = stringToLong(b[i].c_str(), true);
        if (lastConversionFailed()) {
            if (a[i] != b[i]) {
                warnTextMode(a[i], b[i]);
                return 2;
            }
            continue;
        }
        if (numberA < numberB) return -1;
        if (numberA > numberB) return 1;
    }
    return 0;
}

bool isPrefix(const char* prefix, const char* text) {
    if (!prefix) return true;
    if (!text) {
        TESSAROLL_NULL_PARAMETER("inputMainString");
        return false;
    }
    return isPrefix(std::string_view(prefix), std::string_view(text));
}

bool isPrefix(std::string_view prefix, std::string_view text) {
    return text.substr(0, prefix.size()) == prefix;
}

std::optional<std::string> subString(std::string_view text, std::size_t start, std::size_t end) {
    if (start >= end) return std::nullopt;
    if (start >= text.size()) return std::string();
    return std::string(text.substr(start, end - start));
}

std::string toLowerString(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = asciiLower(c);
    return out;
}

std::vector<std::string> splitString(std::string_view text, std::string_view delimiter) {
    std::vector<std::string> pieces;
    if (text.empty() || delimiter.empty()) return pieces;
    std::size_t position = 0;
    while (true) {
        std::size_t found = text.find(delimiter, position);
        if (found == std::string_view::npos) break;
        pieces.emplace_back(text.substr(position, found - position));
        position = found + delimiter.size();
    }
    if (position < text.size()) pieces.emplace_back(text.substr(position));
    return pieces;
}

std::vector<std::string> splitToArray(std::string_view text, std::string_view delimiter) {
    std::vector<std::string> pieces = splitString(text, delimiter);
    if (!text.empty() && !delimiter.empty() && text.size() >= delimiter.size() &&
        text.substr(text.size() - delimiter.size()) == delimiter)
        pieces.emplace_back();
    return pieces;
}

std::vector<unsigned char> hexToBytes(std::string_view text) {
    std::vector<unsigned char> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] =
            static_cast<unsigned char>((hexValue(text[2 * i]) << 4) | hexValue(text[2 * i + 1]));
    return bytes;
}

bool endsWithDisplayName(std::string_view text) {
    constexpr std::string_view kSuffix = "DisplayName.txt";
    return text.size() > 14 && text.size() >= kSuffix.size() &&
           text.substr(text.size() - kSuffix.size()) == kSuffix;
}
