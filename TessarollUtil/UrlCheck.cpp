#include "TessarollUtil/UrlCheck.h"

#include <atomic>
#include <exception>
#include <mutex>

// GCC 12 warns about its own std::function inside <regex> when sanitizers and optimisation
// are both on (a false positive in the library header, not in this file).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Text.h"

namespace {

// Longer than any scheme, host name and port together. The matcher recurses once per
// character, so a huge Origin header must never reach it.
constexpr std::size_t kMaxOriginLength = 512;

std::mutex listMutex;
std::vector<std::string> patterns;  // guarded by listMutex
std::atomic<bool> unlocked{false};

const std::regex& urlPattern() {
    static const std::regex pattern(
        R"(^https?:\/\/(((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)(\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)){3})|)"
        R"((([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9])(\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9]))*))\/?(:\d+)?$)",
        std::regex::ECMAScript | std::regex::icase);
    return pattern;
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

void setUnlockURL(const char* list) { setUnlockURL(list ? std::string_view(list) : std::string_view()); }

void setUnlockURL(std::string_view list) {
    unlocked = false;
    std::lock_guard guard(listMutex);
    if (list.empty()) {
        patterns.clear();
        return;
    }
    try {
        writeNormalLog("Enable url check list", "");
        std::vector<std::string> entries;
        for (const std::string& piece : splitToArray(list, ";")) {
            std::string entry(trimmed(piece));
            if (entry.starts_with('.')) entry = std::string("*").append(entry);
            if (entry.ends_with('.')) entry += '*';
            if (!entry.empty()) entries.push_back(std::move(entry));
        }
        std::vector<std::string> rewritten;
        for (const std::string& entry : entries) {
            writeNormalLog("Url check list: ", entry);
            rewritten.push_back(replaceAll(replaceAll(entry, "*", "\\S*"), ".", "\\."));
        }
        patterns = std::move(rewritten);
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
        if (origin.size() > kMaxOriginLength ||
            !std::regex_match(origin.begin(), origin.end(), urlPattern())) {
            writeWarningLog("[Warning] ", "Input domain is not url");
            return false;
        }
        std::lock_guard guard(listMutex);
        if (patterns.empty()) return false;
        writeNormalLog("Unlock original domain input: ", origin);

        std::string alternation;
        for (const std::string& pattern : patterns) {
            alternation += '(';
            alternation += pattern;
            if (alternation.ends_with('/')) alternation.pop_back();
            alternation += "\\/?)|";
        }
        alternation.pop_back();

        static const std::regex scheme(R"(https?:\/\/)", std::regex::icase);
        static const std::regex port(R"(:.*)");
        const std::string host = std::regex_replace(std::regex_replace(std::string(origin), scheme, ""), port, "");
        const std::regex allowed(alternation, std::regex::ECMAScript | std::regex::icase);
        unlocked = std::regex_match(host, allowed);
    } catch (const std::exception& e) {
        writeWarningLog("unlock exception: ", *e.what() ? e.what() : "Unknown exception");
    } catch (...) {
        writeWarningLog("unlock exception: ", "Unknown exception");
    }
    return unlocked;
}

bool isUnlocked() { return unlocked; }

void clearUrlCheckList() {
    std::lock_guard guard(listMutex);
    patterns.clear();
}

std::vector<std::string> urlCheckList() {
    std::lock_guard guard(listMutex);
    return patterns;
}
