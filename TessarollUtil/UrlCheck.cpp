#include "TessarollUtil/UrlCheck.h"

#include <atomic>
#include <cctype>
#include <exception>
#include <mutex>
#include <optional>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Text.h"

namespace {

// Longer than any scheme, host name and port together.
constexpr std::size_t kMaxOriginLength = 512;
constexpr std::size_t kMaxLabelLength = 63;

std::mutex listMutex;
std::vector<std::string> entries;  // as logged; guarded by listMutex
bool listTooLong = false;          // guarded by listMutex
std::atomic<bool> unlocked{false};

bool isAlphaNumeric(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && toLowerString(text.substr(0, prefix.size())) == prefix;
}

// The host of "http[s]://host[/][:digits]" in lower case, with its "/" if it has one;
// nothing when the origin is not of that form. A host is dot-separated labels of letters,
// digits and "-" (not first or last), 1 to 63 characters each.
std::optional<std::string> hostOfOrigin(std::string_view origin) {
    if (origin.size() > kMaxOriginLength) return std::nullopt;
    std::size_t at = 0;
    if (startsWithNoCase(origin, "https://"))
        at = 8;
    else if (startsWithNoCase(origin, "http://"))
        at = 7;
    else
        return std::nullopt;
    const std::size_t hostStart = at;
    for (;;) {
        const std::size_t labelStart = at;
        while (at < origin.size() && (isAlphaNumeric(origin[at]) || origin[at] == '-')) ++at;
        const std::size_t length = at - labelStart;
        if (length == 0 || length > kMaxLabelLength || origin[labelStart] == '-' ||
            origin[at - 1] == '-')
            return std::nullopt;
        if (at == origin.size() || origin[at] != '.') break;
        ++at;
    }
    if (at < origin.size() && origin[at] == '/') ++at;
    const std::size_t hostEnd = at;
    if (at < origin.size() && origin[at] == ':') {
        const std::size_t digits = ++at;
        while (at < origin.size() && std::isdigit(static_cast<unsigned char>(origin[at]))) ++at;
        if (at == digits) return std::nullopt;
    }
    if (at != origin.size()) return std::nullopt;
    return toLowerString(origin.substr(hostStart, hostEnd - hostStart));
}

// The entry as a matcher pattern (lower case, a final "/" dropped); nothing when it is not
// a domain pattern.
std::optional<std::string> patternOfEntry(std::string_view entry) {
    if (entry.ends_with('/')) entry.remove_suffix(1);
    if (entry.empty() || entry.size() > kMaxUrlCheckEntryLength) return std::nullopt;
    for (char c : entry)
        if (!isAlphaNumeric(c) && c != '-' && c != '.' && c != '*') return std::nullopt;
    return toLowerString(entry);
}

// Knuth-Morris-Pratt: the first place at or after `from` where `needle` (not empty) starts
// in `text`, reading each character of the text once.
std::size_t findFrom(std::string_view text, std::string_view needle, std::size_t from) {
    std::vector<std::size_t> border(needle.size(), 0);
    for (std::size_t i = 1, k = 0; i < needle.size(); ++i) {
        while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
        if (needle[i] == needle[k]) ++k;
        border[i] = k;
    }
    for (std::size_t i = from, k = 0; i < text.size(); ++i) {
        while (k > 0 && text[i] != needle[k]) k = border[k - 1];
        if (text[i] == needle[k]) ++k;
        if (k == needle.size()) return i + 1 - k;
    }
    return std::string_view::npos;
}

std::string shownPattern(const std::string& entry) {
    return replaceAll(replaceAll(entry, "*", "\\S*"), ".", "\\.");
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

bool domainPatternMatches(std::string_view pattern, std::string_view host) {
    const std::size_t firstStar = pattern.find('*');
    if (firstStar == std::string_view::npos) return pattern == host;
    const std::size_t lastStar = pattern.rfind('*');
    const std::string_view head = pattern.substr(0, firstStar), tail = pattern.substr(lastStar + 1);
    if (head.size() + tail.size() > host.size() || !host.starts_with(head) || !host.ends_with(tail))
        return false;
    // Between the first and the last star, each piece taken at its leftmost place leaves
    // the most room for the rest, so no choice is ever revisited.
    const std::string_view middle =
        host.substr(head.size(), host.size() - head.size() - tail.size());
    std::size_t at = 0;
    for (std::size_t star = firstStar; star != lastStar;) {
        const std::size_t next = pattern.find('*', star + 1);
        const std::string_view piece = pattern.substr(star + 1, next - star - 1);
        star = next;
        if (piece.empty()) continue;
        const std::size_t found = findFrom(middle, piece, at);
        if (found == std::string_view::npos) return false;
        at = found + piece.size();
    }
    return true;
}

void setUnlockURL(const char* list) {
    setUnlockURL(list ? std::string_view(list) : std::string_view());
}

void setUnlockURL(std::string_view list) {
    unlocked = false;
    std::lock_guard guard(listMutex);
    entries.clear();
    listTooLong = false;
    if (list.empty()) return;
    try {
        writeNormalLog("Enable url check list", "");
        if (list.size() > kMaxUrlCheckListLength) {
            listTooLong = true;
            writeWarningLog("setUnlockURL exception: ", "Url check list too long");
            return;
        }
        for (const std::string& piece : splitToArray(list, ";")) {
            std::string entry(trimmed(piece));
            if (entry.starts_with('.')) entry = std::string("*").append(entry);
            if (entry.ends_with('.')) entry += '*';
            if (!entry.empty()) entries.push_back(std::move(entry));
        }
        if (entries.size() > kMaxUrlCheckEntries) {
            entries.clear();
            listTooLong = true;
            writeWarningLog("setUnlockURL exception: ", "Url check list too long");
            return;
        }
        for (const std::string& entry : entries) writeNormalLog("Url check list: ", entry);
    } catch (const std::exception& e) {
        writeWarningLog("setUnlockURL exception: ", *e.what() ? e.what() : "Unknown exception");
    } catch (...) {
        writeWarningLog("setUnlockURL exception: ", "Unknown exception");
    }
}

bool checkUnlockDomain(const char* origin) {
    if (!origin) {
        unlocked = false;
        writeWarningLog("[Warning] ", "Input domain is not url");
        return false;
    }
    return checkUnlockDomain(std::string_view(origin));
}

bool checkUnlockDomain(std::string_view origin) {
    unlocked = false;
    try {
        std::optional<std::string> host = hostOfOrigin(origin);
        if (!host) {
            writeWarningLog("[Warning] ", "Input domain is not url");
            return false;
        }
        if (host->ends_with('/')) host->pop_back();
        std::lock_guard guard(listMutex);
        if (listTooLong) {
            writeWarningLog("unlock exception: ", "Url check list too long");
            return false;
        }
        if (entries.empty()) return false;
        writeNormalLog("Unlock original domain input: ", origin);
        std::vector<std::string> patterns;
        for (const std::string& entry : entries) {
            std::optional<std::string> pattern = patternOfEntry(entry);
            if (!pattern) {
                writeWarningLog("unlock exception: ", "Not a domain pattern: " + entry);
                return false;
            }
            patterns.push_back(std::move(*pattern));
        }
        for (const std::string& pattern : patterns)
            if (domainPatternMatches(pattern, *host)) unlocked = true;
    } catch (const std::exception& e) {
        writeWarningLog("unlock exception: ", *e.what() ? e.what() : "Unknown exception");
    } catch (...) {
        writeWarningLog("unlock exception: ", "Unknown exception");
    }
    return unlocked;
}

bool isUnlocked() {
    return unlocked;
}

void clearUrlCheckList() {
    std::lock_guard guard(listMutex);
    entries.clear();
    listTooLong = false;
}

std::vector<std::string> urlCheckList() {
    std::lock_guard guard(listMutex);
    std::vector<std::string> shown;
    for (const std::string& entry : entries) shown.push_back(shownPattern(entry));
    return shown;
}
