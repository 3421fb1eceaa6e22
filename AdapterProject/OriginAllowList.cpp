#include "AdapterProject/OriginAllowList.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <vector>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Text.h"
#include "platform/Folders.h"

namespace {

bool isHostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool isBracketedHostCharacter(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// "1" to "65535" without a sign; nothing otherwise.
std::optional<unsigned> portNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned port = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535)
        return std::nullopt;
    return port;
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// The origins the file lists in canonical form; nothing when the file is absent. A file
// that is there but cannot be read gives an empty list.
std::optional<std::vector<std::string>> readAllowedOrigins() {
    const std::filesystem::path path = allowedOriginsPath();
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) return std::nullopt;
    std::vector<std::string> origins;
    std::ifstream in(path);
    if (!in) {
        writeWarningLog("Allowed origins cannot be read: ", path.string());
        return origins;
    }
    for (std::string line; std::getline(in, line);) {
        std::string_view entry = trimmed(std::string_view(line).substr(0, line.find('#')));
        if (entry.empty()) continue;
        if (std::optional<std::string> origin = canonicalOrigin(entry))
            origins.push_back(std::move(*origin));
        else
            writeWarningLog("Allowed origin ignored: ", entry);
    }
    return origins;
}

struct HostAndPort {
    std::string_view host;
    std::string_view rest;  // empty, or ":" and the port
};

// The host, then either nothing or ":" and a port.
std::optional<HostAndPort> splitAuthority(std::string_view authority) {
    std::string_view host, rest;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos || close == 1) return std::nullopt;
        host = authority.substr(0, close + 1);
        rest = authority.substr(close + 1);
        for (char c : host.substr(1, host.size() - 2))
            if (!isBracketedHostCharacter(c)) return std::nullopt;
    } else {
        const std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) rest = authority.substr(colon);
        if (host.empty()) return std::nullopt;
        for (char c : host)
            if (!isHostCharacter(c)) return std::nullopt;
    }
    if (!rest.empty() && !rest.starts_with(':')) return std::nullopt;
    return HostAndPort{host, rest};
}

}  // namespace

std::string allowedOriginsPath() {
    return windowsFolder() + "/ZEFAGPKI/allowed-origins";
}

std::optional<std::string> canonicalOrigin(std::string_view origin) {
    const std::size_t separator = origin.find("://");
    if (separator == std::string_view::npos) return std::nullopt;
    const std::string scheme = toLowerString(origin.substr(0, separator));
    if (scheme != "http" && scheme != "https") return std::nullopt;

    std::optional<HostAndPort> parts = splitAuthority(origin.substr(separator + 3));
    if (!parts) return std::nullopt;
    const auto [host, rest] = *parts;

    std::string canonical = scheme + "://" + toLowerString(host);
    if (!rest.empty()) {
        std::optional<unsigned> number = portNumber(rest.substr(1));
        if (!number) return std::nullopt;
        const unsigned defaultPort = scheme == "https" ? 443 : 80;
        if (*number != defaultPort) canonical += ":" + std::to_string(*number);
    }
    return canonical;
}

bool originMayUseCard(const std::optional<std::string>& origin) {
    std::optional<std::vector<std::string>> allowed = readAllowedOrigins();
    if (!allowed) return true;
    if (std::optional<std::string> canonical = origin ? canonicalOrigin(*origin) : std::nullopt)
        for (const std::string& entry : *allowed)
            if (entry == *canonical) return true;
    writeWarningLog("Origin not allowed to use the card: ", origin.value_or(""));
    return false;
}
