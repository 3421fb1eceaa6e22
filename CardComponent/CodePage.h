// Texts arrive as UTF-16; what is signed, hashed or Base64-encoded is their bytes in a code
// page the page author chooses (a Windows code page number such as "65001" or "950", or an
// encoding name such as "UTF-8" or "BIG5").
#pragma once

#include <string>
#include <string_view>

namespace card {

// The iconv name for a code-page argument; empty argument gives `fallback`'s name.
// Throws CardError(kInvalidArgument) for a code page that cannot be used.
std::string codePageName(std::string_view codePage, int fallback);
std::string codePageName(int codePage);

std::string encodeText(std::u16string_view text, const std::string& encoding);
std::u16string decodeText(std::string_view bytes, const std::string& encoding);

std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

}  // namespace card
