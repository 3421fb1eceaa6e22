// Text helpers shared by every program: bounded copies, conversions to and from BSTR,
// number parsing with a process-wide error code, replace-all, Base64, the JSON unescape,
// version comparison, splitting, case folding and comparison, and hex decoding.
//
// Texts are UTF-8 std::string. Where a caller may hand over "no text" and the helper
// answers that case itself (a warning line, an error code), a `const char*` overload
// takes it; the std::string_view form is the one to use otherwise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bstr.h"
#include "platform/Encoding.h"  // kCodePageUtf8, kCodePageBig5

// ---- bounded copies -------------------------------------------------------------------

// Copies at most destination.size() - 1 bytes and always terminates the buffer. A null
// source leaves the buffer untouched; an empty buffer is left alone.
void copyString(std::span<char> destination, const char* source);
void copyString(std::span<char> destination, std::string_view source);
// As copyString, then wipes the source with zeros and empties it (keys, secrets).
void copyAndFreeString(std::span<char> destination, std::string& source);
void copyAndFreeString(std::span<char> destination, std::optional<std::string>& source);
void copyWideString(std::span<char16_t> destination, const char16_t* source);
void copyWideString(std::span<char16_t> destination, std::u16string_view source);
// As copyWideString, then empties the source (no wipe).
void copyAndFreeWideString(std::span<char16_t> destination, std::optional<std::u16string>& source);
// A text cut the way a copy into a buffer of `bufferSize` bytes cuts it: at most
// bufferSize - 1 bytes (nothing for a size of 0).
std::string cutToBuffer(std::string_view text, std::size_t bufferSize);

// ---- heap blocks ----------------------------------------------------------------------

// A zeroed block from calloc (free it with free). Null without a log line for 0 bytes or
// more than 0x7FFFFFFF; an allocation failure is logged.
void* safeCalloc(std::size_t count);
// A copy of the text; nothing for a null text (no warning).
std::optional<std::string> duplicateString(const char* text);
// A copy of the wide text; a null text is a warning "input" and nothing.
std::optional<std::u16string> duplicateWideString(const char16_t* text);

// ---- BSTR -----------------------------------------------------------------------------

// The BSTR as UTF-8. Nothing for a null or empty BSTR (so an empty text never comes back
// as an empty string). The BSTR stays the caller's.
std::optional<std::string> bstrToUtf8(BSTR text);
// A new BSTR (SysFreeString it) with the text as UTF-16. A null text gives a null BSTR;
// throws std::bad_alloc when no memory is left for it.
BSTR utf8ToBstr(const char* text);
BSTR utf8ToBstr(std::string_view text);

// The monitor's conversions, through a code page (65001 UTF-8 or 950 BIG5).
extern std::atomic<int> libraryCodePage;  // 65001 at start
std::optional<std::string> bstrToMultiByte(BSTR text, int codePage);
std::optional<std::string> bstrToText(BSTR text);  // in libraryCodePage
// `length` bytes of `text` in `codePage` as a new BSTR; null for a null text or when a
// non-empty text cannot be converted.
BSTR multiByteToWide(const char* text, std::size_t length, int codePage);
BSTR multiByteToBstr(const char* text);  // utf8ToBstr in libraryCodePage

// ---- numbers --------------------------------------------------------------------------

inline constexpr int32_t kConversionNotANumber = 61003;
inline constexpr int32_t kConversionNullInput = 61004;
// 0 after a successful conversion, else one of the two codes above. One value for the
// whole process: a conversion and its lastConversionFailed() test belong together.
extern std::atomic<int32_t> lastConversionError;
bool lastConversionFailed();

// Base 10. With `digitsOnly`, every character must be a digit except a leading "-".
// Leading white space is skipped; without `digitsOnly` trailing non-digits are ignored.
// Failures return 0 and set lastConversionError.
int32_t stringToLong(const char* text, bool digitsOnly);
int32_t stringToLong(std::string_view text, bool digitsOnly);
// Base 16, with an optional "0x"; values above 7FFFFFFF are out of range.
int32_t hexStringToLong(const char* text);
int32_t hexStringToLong(std::string_view text);

// ---- texts ----------------------------------------------------------------------------

// Every non-overlapping occurrence of `pattern`, from the left, replaced. An empty
// pattern gives the text unchanged.
std::string replaceAll(std::string_view text, std::string_view pattern,
                       std::string_view replacement);
// The name with every ".exe" removed (case-sensitive).
std::string removeExeExtension(std::string_view name);

// Characters of the padded Base64 text of `bytes` bytes.
constexpr std::size_t base64Length(std::size_t bytes) {
    return (bytes + 2) / 3 * 4;
}
// Standard Base64 with "=" padding, no line breaks. Writes the text and a terminator
// into `output`, which must hold base64Length(bytes.size()) + 1 bytes; returns the
// text length + 1 (0 when `output` is too small, and nothing is written then).
std::size_t base64Encode(std::span<char> output, std::span<const unsigned char> bytes);
std::string base64EncodeText(std::string_view text);
// Appends the Base64 text of `text` to `out`, encoded in place.
void appendBase64(std::string& out, std::string_view text);
// Base64 of form fields: "%2B", "%2F", "%3D" turned back first; decoding stops at the
// first byte outside the alphabet. The result is used as a text: it ends at the first
// zero byte the data holds.
std::string urlBase64Decode(std::string_view text);
// The same, decoded over the text itself; returns the length of the result, which then
// stands at the start of `text`.
std::size_t urlBase64DecodeInPlace(std::span<char> text);

// Turns back \r, \n, \t, \u000f, \u000e, \u001b and \" (in that order); nothing else.
std::string unescapeJsonText(std::string_view text);
// The same written into `out`, which holds text.size() bytes (the result is never longer);
// returns its length.
std::size_t unescapeJsonTextInto(std::string_view text, char* out);

// 16 characters: blanks, then the text (of a longer text its last 16 bytes).
std::string alignRight16(std::string_view text);
// `width` characters: `fill`, then the text (of a longer text its last `width` bytes).
std::string padLeft(std::string_view text, std::size_t width, char fill);

inline constexpr int32_t kVersionUncomparable = 61001;
inline constexpr int32_t kVersionEmptyPart = 61005;
// 0 equal, -1 A older, 1 A newer, 2 a part differs as text, 3 different part counts,
// 61005 an empty part, 61001 a null version (warning).
int32_t compareVersion(const char* versionA, const char* versionB);
int32_t compareVersion(std::string_view versionA, std::string_view versionB);

// Byte comparison. A null prefix is a prefix of everything; a null text is a warning
// "inputMainString" and false.
bool isPrefix(const char* prefix, const char* text);
bool isPrefix(std::string_view prefix, std::string_view text);
// Bytes [start, end) (end is cut at the text's end); nothing when start is not below end.
std::optional<std::string> subString(std::string_view text, std::size_t start, std::size_t end);
// A-Z to a-z only.
std::string toLowerString(std::string_view text);

// Keywords, names and header values compared without case: A-Z and a-z match each other,
// every other byte only itself, whatever the locale.
constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}
constexpr bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// n delimiters give n + 1 pieces, empty ones included. An empty text or delimiter gives
// no pieces.
std::vector<std::string> splitToArray(std::string_view text, std::string_view delimiter);
// The pieces without the empty one that a final delimiter would add.
std::vector<std::string> splitString(std::string_view text, std::string_view delimiter);

// text.size() / 2 bytes (a trailing odd character is ignored), high nibble first; a
// character that is not a hex digit counts as 0.
std::vector<unsigned char> hexToBytes(std::string_view text);

// True when the text is longer than 14 bytes and ends with "DisplayName.txt".
bool endsWithDisplayName(std::string_view text);
