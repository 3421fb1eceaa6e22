#include "CardComponent/Der.h"

#include <cstdio>

namespace card::der {

std::optional<Element> next(std::string_view& in) {
    if (in.size() < 2) return std::nullopt;
    auto byte = [&](size_t i) { return static_cast<uint8_t>(in[i]); };
    uint8_t tag = byte(0);
    if ((tag & 0x1F) == 0x1F) return std::nullopt;  // high tag numbers: not used here
    size_t pos = 2;
    size_t length = byte(1);
    if (length & 0x80) {
        size_t count = length & 0x7F;
        if (count == 0 || count > 4 || in.size() < 2 + count) return std::nullopt;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | byte(2 + i);
        pos += count;
    }
    if (in.size() - pos < length) return std::nullopt;
    Element e{tag, in.substr(pos, length), in.substr(0, pos + length)};
    in.remove_prefix(pos + length);
    return e;
}

std::optional<std::vector<Element>> children(std::string_view content) {
    std::vector<Element> out;
    while (!content.empty()) {
        auto e = next(content);
        if (!e) return std::nullopt;
        out.push_back(*e);
    }
    return out;
}

std::string oidToText(std::string_view content) {
    std::string out;
    uint64_t value = 0;
    bool first = true;
    for (unsigned char c : content) {
        value = (value << 7) | (c & 0x7F);
        if (c & 0x80) continue;
        if (first) {
            unsigned a = value < 40 ? 0 : value < 80 ? 1 : 2;
            out = std::to_string(a) + "." + std::to_string(value - 40 * a);
            first = false;
        } else {
            out += "." + std::to_string(value);
        }
        value = 0;
    }
    return out;
}

std::string oidFromText(std::string_view dotted) {
    std::vector<uint64_t> parts;
    uint64_t v = 0;
    bool any = false;
    for (char c : dotted) {
        if (c == '.') {
            parts.push_back(v);
            v = 0;
            any = false;
        } else if (c >= '0' && c <= '9') {
            v = v * 10 + static_cast<uint64_t>(c - '0');
            any = true;
        } else {
            return {};
        }
    }
    if (!any) return {};
    parts.push_back(v);
    if (parts.size() < 2 || parts[0] > 2) return {};
    std::string out;
    auto put = [&](uint64_t x) {
        std::string chunk(1, static_cast<char>(x & 0x7F));
        while (x >>= 7) chunk.insert(chunk.begin(), static_cast<char>(0x80 | (x & 0x7F)));
        out += chunk;
    };
    put(parts[0] * 40 + parts[1]);
    for (size_t i = 2; i < parts.size(); ++i) put(parts[i]);
    return out;
}

std::string tlv(uint8_t tag, std::string_view content) {
    std::string out(1, static_cast<char>(tag));
    size_t n = content.size();
    if (n < 0x80) {
        out += static_cast<char>(n);
    } else {
        std::string len;
        while (n) {
            len.insert(len.begin(), static_cast<char>(n & 0xFF));
            n >>= 8;
        }
        out += static_cast<char>(0x80 | len.size());
        out += len;
    }
    out.append(content);
    return out;
}

std::string sequence(std::initializer_list<std::string_view> parts) {
    std::string body;
    for (auto p : parts) body.append(p);
    return tlv(0x30, body);
}

std::string integer(uint64_t value) {
    std::string body;
    do {
        body.insert(body.begin(), static_cast<char>(value & 0xFF));
        value >>= 8;
    } while (value);
    if (static_cast<uint8_t>(body[0]) & 0x80) body.insert(body.begin(), '\0');
    return tlv(0x02, body);
}

std::string valueText(const Element& e) {
    switch (e.tag) {
        case 0x0C:  // UTF8String
        case 0x12:  // NumericString
        case 0x13:  // PrintableString
        case 0x14:  // TeletexString
        case 0x16:  // IA5String
        case 0x17:  // UTCTime
        case 0x18:  // GeneralizedTime
        case 0x1A:  // VisibleString
            return std::string(e.content);
        case 0x06: return oidToText(e.content);
        default: {
            std::string hex;
            char buf[3];
            for (unsigned char c : e.whole) {
                std::snprintf(buf, sizeof buf, "%02X", c);
                hex += buf;
            }
            return hex;
        }
    }
}

}  // namespace card::der
