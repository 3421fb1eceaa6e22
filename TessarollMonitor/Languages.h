// The monitor's texts in its four languages, and the set in use. The set is rewritten by
// the window's thread (language switch) and read by the keeper and the debug-mode threads
// (balloons), so it is kept behind a lock and handed out as copies.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int32_t Language_TradChinese = 1;
inline constexpr int32_t Language_English = 2;
inline constexpr int32_t Language_Japan = 4;
inline constexpr int32_t Language_SimpChinese = 8;

enum class MonitorText : std::size_t {
    Start,             // menu 61002
    Stop,              // menu 61001
    Restart,           // menu 61003
    LanguageMenu,      // title of the language submenu
    TradChinese,       // menu 61007
    English,           // menu 61008
    Japanese,          // menu 61013
    SimpChinese,       // menu 61010
    SystemHint,        // menu 61011
    About,             // menu 61004
    Screenshots,       // menu 61012, and part of a capture's file name
    TurnOffDebugMode,  // menu 61015, and its balloon
    TurnOnDebugMode,   // balloon when debug mode starts
    Quit,              // menu 40003
    Started,           // balloon: main program started
    Stopped,           // balloon: main program stopped
    Restarted,         // balloon: main program restarted
    SwitchTo,          // balloon: language switched (prefix)
    CaptureSaved,      // balloon: capture saved, with "==FileName=="
    VersionLabel,      // About line per installed component
    AboutDebugOff,     // About text while debug mode is off
    AboutDebugOn,      // About text while debug mode is on
    Count
};

// Each text is held as in a buffer of 512 characters: at most 511 of them.
inline constexpr std::size_t kLanguageTextCharacters = 512;

extern std::atomic<int32_t> currentLanguage;   // starts at Language_TradChinese
extern std::atomic<int32_t> detectedLanguage;  // set by detectLanguage

// The table's text for a language; empty for a value that is not one of the four.
std::string_view languageTableText(int32_t language, MonitorText text);
// Fills the set in use from the table for currentLanguage; any other value of
// currentLanguage leaves the set unchanged.
void buildLanguageTexts();
// A copy of one text of the set in use (empty before the first buildLanguageTexts).
std::string languageText(MonitorText text);

// Sets detectedLanguage from the user's locale name and logs what it found.
void detectLanguage();
// The language a locale name stands for; `defaulted` tells whether none matched.
int32_t languageForLocaleName(std::string_view localeName, bool* defaulted = nullptr);

// At most `characters` - 1 UTF-8 characters of the text, cut at a character boundary.
std::string cutToCharacters(std::string_view text, std::size_t characters);
