// From the user's POSIX locale to the language of the monitor's texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "TessarollMonitor/Languages.h"
#include "doubles/LogCapture/LogCapture.h"
#include "platform/Locale.h"

namespace {

struct LocaleCase {
    const char* posix;
    const char* windows;
    int32_t language;
    bool defaulted;
};

const LocaleCase kLocales[] = {
    {"zh_CN.UTF-8", "Chinese (Simplified)_China.936", Language_SimpChinese, false},
    {"zh_SG", "Chinese (Simplified)_Singapore.936", Language_SimpChinese, false},
    {"zh_TW.UTF-8", "Chinese (Traditional)_Taiwan.950", Language_TradChinese, false},
    {"zh_HK.UTF-8", "Chinese (Traditional)_Hong Kong SAR.950", Language_TradChinese, false},
    {"en_US.UTF-8", "English_United States.1252", Language_English, false},
    {"en_GB", "English_United Kingdom.1252", Language_English, false},
    {"ja_JP.UTF-8", "Japanese_Japan.932", Language_Japan, false},
    {"de_DE.UTF-8", "de_DE.UTF-8", Language_English, true},
    {"C", "C", Language_English, true},
    // "j" alone is too short to be Japanese.
    {"j", "j", Language_English, true},
};

// Sets LC_ALL for one scope.
class LocaleVariable {
public:
    explicit LocaleVariable(const char* value) {
        if (const char* old = std::getenv("LC_ALL")) saved_ = old;
        setenv("LC_ALL", value, 1);
    }
    ~LocaleVariable() {
        if (saved_)
            setenv("LC_ALL", saved_->c_str(), 1);
        else
            unsetenv("LC_ALL");
    }

private:
    std::optional<std::string> saved_;
};

}  // namespace

TEST(Languages, LocaleNamesGiveTheirLanguage) {
    for (const LocaleCase& c : kLocales) {
        SCOPED_TRACE(c.posix);
        EXPECT_EQ(windowsLocaleName(c.posix), c.windows);
        bool defaulted = !c.defaulted;
        EXPECT_EQ(languageForLocaleName(windowsLocaleName(c.posix), &defaulted), c.language);
        EXPECT_EQ(defaulted, c.defaulted);
    }
}

TEST(Languages, DetectionReadsTheEnvironmentAndLogsItsChoice) {
    testing_support::LogCapture log;
    {
        LocaleVariable locale("ja_JP.UTF-8");
        detectLanguage();
        EXPECT_EQ(detectedLanguage.load(), Language_Japan);
    }
    EXPECT_TRUE(log.contains("Detect language: japanese_japan.932"));
    EXPECT_TRUE(log.contains("Language: Language_Japan"));
    {
        LocaleVariable locale("fr_FR.UTF-8");
        detectLanguage();
        EXPECT_EQ(detectedLanguage.load(), Language_English);
    }
    EXPECT_TRUE(log.contains("Language (default): Language_English"));
}

TEST(Languages, UnknownLanguageLeavesTheTextsAlone) {
    currentLanguage = Language_English;
    buildLanguageTexts();
    currentLanguage = 3;
    buildLanguageTexts();
    EXPECT_EQ(languageText(MonitorText::Quit), "Quit");
    EXPECT_TRUE(languageTableText(3, MonitorText::Quit).empty());
    currentLanguage = Language_TradChinese;
}

TEST(Languages, CutsKeepWholeCharacters) {
    EXPECT_EQ(cutToCharacters("繁體中文", 3), "繁體");
    EXPECT_EQ(cutToCharacters("abc", 4), "abc");
    EXPECT_EQ(cutToCharacters("abc", 1), "");
}
