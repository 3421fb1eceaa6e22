#include "Tessaroll/Origin.h"
#include "TessarollUtil/RequestPath.h"
#include "TessarollUtil/Text.h"

namespace {

constexpr std::size_t hostLimit = 253;  // the longest domain name

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Labels of letters, digits and inner hyphens, dot-separated, an optional final dot.
// Dotted decimal addresses are domain names of digits here; the browser has already
// brought any other IPv4 form into that one.
TESSAROLL_REQUEST_PATH bool isDomainName(std::string_view host) {
    if (host.empty() || host.size() > hostLimit + 1) return false;
    if (host.back() == '.') host.remove_suffix(1);
    std::size_t labelStart = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            std::string_view label = host.substr(labelStart, i - labelStart);
            if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
                return false;
            labelStart = i + 1;
            continue;
        }
        if (!isAlpha(host[i]) && !isDigit(host[i]) && host[i] != '-') return false;
    }
    return true;
}

bool isDottedQuad(std::string_view group) {
    if (!isDomainName(group)) return false;
    int dots = 0;
    for (char c : group) {
        if (c == '.')
            ++dots;
        else if (!isDigit(c))
            return false;
    }
    return dots == 3;
}

bool isHexGroup(std::string_view group) {
    if (group.empty() || group.size() > 4) return false;
    for (char c : group)
        if (!isHexDigit(c)) return false;
    return true;
}

// Steps over the colons after a group that ends at `end` to the next group: "::" once in
// an address, else ":" and a group after it.
bool passSeparator(std::string_view inner, std::size_t end, bool& compressed, std::size_t& next) {
    if (end + 1 < inner.size() && inner[end + 1] == ':') {
        if (compressed) return false;
        compressed = true;
        next = end + 2;
        return true;
    }
    if (end + 1 == inner.size()) return false;  // a trailing single colon
    next = end + 1;
    return true;
}

// "[...]" of hex groups, colons and at most one "::"; an IPv4 tail is allowed.
bool isIpv6Literal(std::string_view host) {
    if (host.size() < 4 || host.front() != '[' || host.back() != ']') return false;
    std::string_view inner = host.substr(1, host.size() - 2);
    if (inner.size() > 45) return false;
    int groups = 0;
    bool compressed = false;
    std::size_t i = 0;
    if (inner.starts_with("::")) {
        compressed = true;
        i = 2;
    } else if (inner.front() == ':') {
        return false;
    }
    while (i < inner.size()) {
        std::size_t end = i;
        while (end < inner.size() && inner[end] != ':') ++end;
        std::string_view group = inner.substr(i, end - i);
        if (group.find('.') != std::string_view::npos) {
            // a final dotted quad counts as two groups
            if (end != inner.size() || !isDottedQuad(group)) return false;
            groups += 2;
            break;
        }
        if (!isHexGroup(group)) return false;
        ++groups;
        if (end == inner.size()) break;
        if (!passSeparator(inner, end, compressed, i)) return false;
    }
    return compressed ? groups < 8 : groups == 8;
}

TESSAROLL_REQUEST_PATH bool isPort(std::string_view port) {
    if (port.empty() || port.size() > 5 || port.front() == '0') return false;
    unsigned value = 0;
    for (char c : port) {
        if (!isDigit(c)) return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 65535;
}

// Length of "scheme://" at the start of `text`, 0 when it is not http or https.
TESSAROLL_REQUEST_PATH std::size_t schemeLength(std::string_view text) {
    for (std::string_view scheme : {"http://", "https://"})
        if (startsWithIgnoringCase(text, scheme)) return scheme.size();
    return 0;
}

TESSAROLL_REQUEST_PATH bool isAuthority(std::string_view authority) {
    std::string_view host = authority;
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(0, close + 1);
        std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !isPort(rest.substr(1)))) return false;
        return isIpv6Literal(host);
    }
    if (std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        if (!isPort(authority.substr(colon + 1))) return false;
        host = authority.substr(0, colon);
    }
    return isDomainName(host);
}

}  // namespace

TESSAROLL_REQUEST_PATH std::optional<std::string_view> validOrigin(std::string_view text) {
    std::size_t scheme = schemeLength(text);
    if (scheme == 0 || !isAuthority(text.substr(scheme))) return std::nullopt;
    return text;
}

std::optional<std::string> originOfUrl(std::string_view url) {
    std::size_t scheme = schemeLength(url);
    if (scheme == 0) return std::nullopt;
    std::size_t end = url.find_first_of("/?#", scheme);
    if (end == std::string_view::npos) end = url.size();
    for (char c : url.substr(end))
        if (c <= ' ' || c > '~') return std::nullopt;
    if (!validOrigin(url.substr(0, end))) return std::nullopt;
    return std::string(url.substr(0, end));
}

TESSAROLL_REQUEST_PATH bool isMissingOrigin(std::string_view origin) {
    return origin.empty() || origin == "null";
}
