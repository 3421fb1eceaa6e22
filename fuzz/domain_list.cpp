// A page's domain list and origin: the check must neither crash nor take long, and the
// linear matcher must agree with a plain dynamic-programming one. Input: list "\n" origin.
#include "TessarollUtil/UrlCheck.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

// "*" any run of characters; O(pattern x text), fine for the sizes compared.
bool referenceMatches(std::string_view pattern, std::string_view text) {
    std::vector<char> row(text.size() + 1, 0), next(text.size() + 1);
    row[0] = 1;
    for (char p : pattern) {
        next[0] = p == '*' && row[0];
        for (std::size_t j = 1; j <= text.size(); ++j)
            next[j] = p == '*' ? (row[j] || next[j - 1]) : (row[j - 1] && text[j - 1] == p);
        row.swap(next);
    }
    return row[text.size()];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string_view list = input.substr(0, newline);
    const std::string_view origin =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

    setUnlockURL(list);
    checkUnlockDomain(origin);
    clearUrlCheckList();

    if (list.size() <= 512 && origin.size() <= 512 &&
        domainPatternMatches(list, origin) != referenceMatches(list, origin))
        std::abort();
    return 0;
}
