// Text conversions between UTF-8, UTF-16 and code page 950 (BIG5).
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr int kCodePageUtf8 = 65001;
inline constexpr int kCodePageBig5 = 950;

// The one UTF-8/UTF-16 conversion of the system (the BSTR holder and the text helpers use
// it). Ill-formed input becomes U+FFFD, once for each broken UTF-8 sequence (its longest
// valid beginning, else one byte) and once for each lone surrogate; the rest converts on.
std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

// Between a code page (65001 or 950) and UTF-16. Nothing for another code page or when
// the text cannot be converted. Writing 950, a character it lacks becomes one "?" (a
// surrogate pair and a lone surrogate alike); reading it, a byte that starts no character
// becomes U+FFFD.
std::optional<std::u16string> codePageToUtf16(std::string_view text, int codePage);
std::optional<std::string> utf16ToCodePage(std::u16string_view text, int codePage);
