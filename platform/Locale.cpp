#include "platform/Locale.h"

#include <cstdlib>
#include <utility>

namespace {

// The territory part of a POSIX name ("zh_TW.UTF-8@x" -> "TW"); empty when there is none.
std::string_view territoryOf(std::string_view name) {
    std::size_t underscore = name.find('_');
    if (underscore == std::string_view::npos) return {};
    std::string_view rest = name.substr(underscore + 1);
    return rest.substr(0, rest.find_first_of(".@"));
}

std::string_view languageOf(std::string_view name) {
    return name.substr(0, name.find_first_of("_.@"));
}

std::string territoryName(std::string_view territory) {
    static const std::pair<std::string_view, std::string_view> kNames[] = {
        {"CN", "China"},          {"SG", "Singapore"},   {"TW", "Taiwan"},
        {"HK", "Hong Kong SAR"},  {"MO", "Macao SAR"},   {"US", "United States"},
        {"GB", "United Kingdom"}, {"AU", "Australia"},   {"CA", "Canada"},
        {"IE", "Ireland"},        {"NZ", "New Zealand"}, {"IN", "India"},
        {"JP", "Japan"},
    };
    for (const auto& [code, name] : kNames) {
        if (code == territory) return std::string(name);
    }
    return std::string(territory);
}

std::string withTerritory(std::string language, std::string_view territory,
                          std::string_view codePage) {
    if (!territory.empty()) language += "_" + territoryName(territory);
    language += ".";
    language += codePage;
    return language;
}

}  // namespace

std::string posixLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') return value;
    }
    return "C";
}

std::string windowsLocaleName(std::string_view posixName) {
    std::string_view language = languageOf(posixName);
    std::string_view territory = territoryOf(posixName);
    if (language == "zh") {
        if (territory == "CN" || territory == "SG")
            return withTerritory("Chinese (Simplified)", territory, "936");
        return withTerritory("Chinese (Traditional)", territory, "950");
    }
    if (language == "en") return withTerritory("English", territory, "1252");
    if (language == "ja") return withTerritory("Japanese", territory, "932");
    return std::string(posixName);
}

std::string userLocaleName() {
    return windowsLocaleName(posixLocaleName());
}
