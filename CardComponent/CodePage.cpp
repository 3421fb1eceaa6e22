#include "CardComponent/CodePage.h"

#include "CardComponent/CardErrors.h"
#include "TessarollUtil/Secure.h"

#include <iconv.h>
#include <cerrno>
#include <charconv>
#include <vector>

namespace card {

namespace {

std::string convert(std::string_view input, const std::string& from, const std::string& to) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) fail(kInvalidArgument);
    // The input may be a PIN: the output is sized so it does not move while it grows, and
    // the scratch buffer is wiped before it goes.
    std::string out;
    out.reserve(input.size() * 2 + 16);
    std::vector<char> buffer(4096);
    struct Wipe {
        std::vector<char>& b;
        ~Wipe() { secureWipe(b.data(), b.size()); }
    } wipe{buffer};
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    while (true) {
        char* outPtr = buffer.data();
        size_t outLeft = buffer.size();
        size_t r = iconv(cd, inLeft ? &in : nullptr, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), buffer.size() - outLeft);
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            iconv_close(cd);
            fail(kInvalidArgument);  // a character the code page cannot carry, or broken input
        }
        if (inLeft == 0) {
            // flush shift state
            outPtr = buffer.data();
            outLeft = buffer.size();
            iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
            out.append(buffer.data(), buffer.size() - outLeft);
            break;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::string codePageName(int codePage) {
    switch (codePage) {
        case 0:
        case 65001: return "UTF-8";
        case 950: return "BIG5";
        case 936: return "GBK";
        case 54936: return "GB18030";
        case 932: return "SHIFT_JIS";
        case 949: return "CP949";
        case 1200: return "UTF-16LE";
        case 1201: return "UTF-16BE";
        case 20127: return "ASCII";
        case 28591: return "ISO-8859-1";
        default:
            if (codePage > 0) return "CP" + std::to_string(codePage);
            fail(kInvalidArgument);
    }
}

std::string codePageName(std::string_view codePage, int fallback) {
    while (!codePage.empty() && codePage.front() == ' ') codePage.remove_prefix(1);
    while (!codePage.empty() && codePage.back() == ' ') codePage.remove_suffix(1);
    if (codePage.empty()) return codePageName(fallback);
    int number = 0;
    auto [end, ec] = std::from_chars(codePage.data(), codePage.data() + codePage.size(), number);
    std::string name;
    if (ec == std::errc() && end == codePage.data() + codePage.size()) {
        name = codePageName(number);
    } else {
        for (char c : codePage) {
            bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || c == ':';
            if (!ok) fail(kInvalidArgument);
        }
        name = std::string(codePage);
    }
    iconv_t cd = iconv_open(name.c_str(), "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) fail(kInvalidArgument);
    iconv_close(cd);
    return name;
}

std::string encodeText(std::u16string_view text, const std::string& encoding) {
    std::string_view raw(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    return convert(raw, "UTF-16LE", encoding);
}

std::u16string decodeText(std::string_view bytes, const std::string& encoding) {
    std::string raw = convert(bytes, encoding, "UTF-16LE");
    std::u16string out(raw.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(raw[2 * i]) |
                                       (static_cast<unsigned char>(raw[2 * i + 1]) << 8));
    return out;
}

std::u16string utf8ToUtf16(std::string_view text) {
    return decodeText(text, "UTF-8");
}
std::string utf16ToUtf8(std::u16string_view text) {
    return encodeText(text, "UTF-8");
}

}  // namespace card
