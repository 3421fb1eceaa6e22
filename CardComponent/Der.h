// Just enough DER to read the extensions GnuTLS leaves raw and to build and read the
// enveloped-data structure of the encryption methods.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace card::der {

struct Element {
    uint8_t tag = 0;
    std::string_view content;  // the value octets
    std::string_view whole;    // tag, length and value
};

// Reads one element from the front of `in` and removes it; nothing on malformed input.
std::optional<Element> next(std::string_view& in);
// All elements inside a constructed element's content; nothing if any is malformed.
std::optional<std::vector<Element>> children(std::string_view content);

std::string oidToText(std::string_view content);
std::string oidFromText(std::string_view dotted);  // content octets only

std::string tlv(uint8_t tag, std::string_view content);
std::string sequence(std::initializer_list<std::string_view> parts);
std::string integer(uint64_t value);

// Printable text for a value: strings and times as they are, anything else as hex of its DER.
std::string valueText(const Element& e);

}  // namespace card::der
