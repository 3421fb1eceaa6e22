#include "platform/Encoding.h"

#include <iconv.h>
#include <bit>
#include <cerrno>
#include <vector>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void appendUtf16(std::u16string& out, char32_t code) {
    if (code >= 0x10000) {
        code -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(code));
    }
}

void appendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// One iconv conversion descriptor for the length of a call.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

const char* hostUtf16() {
    return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
}

// Code page 950 as the system knows it: its own table when iconv has one, else BIG5.
const char* big5Name() {
    static const char* const name = [] {
        iconv_t probe = iconv_open("CP950", "UTF-8");
        if (probe == reinterpret_cast<iconv_t>(-1)) return "BIG5";
        iconv_close(probe);
        return "CP950";
    }();
    return name;
}

std::optional<std::u16string> big5ToUtf16(std::string_view text) {
    Converter converter(hostUtf16(), big5Name());
    if (!converter.ok()) return std::nullopt;
    std::u16string out;
    std::vector<char> buffer(4096);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        std::size_t result = iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
        int error = errno;
        out.append(reinterpret_cast<const char16_t*>(buffer.data()), (buffer.size() - outLeft) / 2);
        if (result != static_cast<std::size_t>(-1)) break;
        if (error == E2BIG) continue;
        if (error == EILSEQ || error == EINVAL) {
            // A byte that starts no character (or a cut one at the end) stands for
            // itself as U+FFFD, and the rest is converted on.
            out.push_back(static_cast<char16_t>(kReplacement));
            ++in;
            --inLeft;
            continue;
        }
        return std::nullopt;
    }
    return out;
}

std::optional<std::string> utf16ToBig5(std::u16string_view text) {
    Converter converter(big5Name(), hostUtf16());
    if (!converter.ok()) return std::nullopt;
    std::string out;
    std::vector<char> buffer(4096);
    char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
    std::size_t inLeft = text.size() * sizeof(char16_t);
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        std::size_t result = iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
        int error = errno;
        out.append(buffer.data(), buffer.size() - outLeft);
        if (result != static_cast<std::size_t>(-1)) break;
        if (error == E2BIG) continue;
        if (error == EILSEQ || error == EINVAL) {
            // A character the code page lacks becomes "?", as the system's default
            // character; a surrogate pair counts as one character, a lone surrogate as one
            // of its own.
            out.push_back('?');
            const auto* unit = reinterpret_cast<const char16_t*>(in);
            const bool pair = inLeft >= 2 * sizeof(char16_t) && isHighSurrogate(unit[0]) &&
                              isLowSurrogate(unit[1]);
            const std::size_t skip = (pair ? 2 : 1) * sizeof(char16_t);
            in += skip;
            inLeft -= skip;
            continue;
        }
        return std::nullopt;
    }
    return out;
}

}  // namespace

namespace {

// What a lead byte starts: the sequence's length (0 when it starts none), its first bits,
// and the range of the second byte, which rules out overlong forms, surrogates and values
// above U+10FFFF.
struct Utf8Lead {
    std::size_t length = 0;
    char32_t code = 0;
    unsigned char low = 0x80, high = 0xBF;
};

Utf8Lead utf8Lead(unsigned char lead) {
    Utf8Lead start;
    if (lead >= 0xC2 && lead <= 0xDF) {
        start.length = 2, start.code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        start.length = 3, start.code = lead & 0x0F;
        if (lead == 0xE0) start.low = 0xA0;
        if (lead == 0xED) start.high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        start.length = 4, start.code = lead & 0x07;
        if (lead == 0xF0) start.low = 0x90;
        if (lead == 0xF4) start.high = 0x8F;
    }
    return start;
}

// Appends the character of the multi-byte sequence at the start of `text`; answers the bytes
// it read.
std::size_t appendSequence(std::string_view text, std::u16string& out) {
    Utf8Lead sequence = utf8Lead(static_cast<unsigned char>(text[0]));
    unsigned char low = sequence.low, high = sequence.high;
    char32_t code = sequence.code;
    std::size_t taken = 1;
    while (sequence.length > 0 && taken < sequence.length && taken < text.size()) {
        unsigned char next = static_cast<unsigned char>(text[taken]);
        if (next < low || next > high) break;
        code = (code << 6) | (next & 0x3F);
        low = 0x80, high = 0xBF;
        ++taken;
    }
    if (sequence.length > 0 && taken == sequence.length) {
        appendUtf16(out, code);
    } else {
        // The broken start of a sequence counts as one character; the byte that broke it is
        // read afresh.
        out.push_back(static_cast<char16_t>(kReplacement));
    }
    return taken;
}

}  // namespace

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        i += appendSequence(text.substr(i), out);
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

std::optional<std::u16string> codePageToUtf16(std::string_view text, int codePage) {
    if (codePage == kCodePageUtf8) return utf8ToUtf16(text);
    if (codePage == kCodePageBig5) return big5ToUtf16(text);
    return std::nullopt;
}

std::optional<std::string> utf16ToCodePage(std::u16string_view text, int codePage) {
    if (codePage == kCodePageUtf8) return utf16ToUtf8(text);
    if (codePage == kCodePageBig5) return utf16ToBig5(text);
    return std::nullopt;
}
