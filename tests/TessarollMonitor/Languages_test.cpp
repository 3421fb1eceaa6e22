// From the user's POSIX locale to the language of the monitor's texts.
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
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

// Qt draws with what fontconfig offers: unless one installed font holds every character of
// a text, the menu shows boxes for the characters none has.
TEST(Languages, AnInstalledFontDrawsEveryTextOfEveryLanguage) {
    // fontconfig's own configuration, dropped at the end so the leak check sees none of it.
    struct Fontconfig {
        ~Fontconfig() { FcFini(); }
    } const fontconfig;
    ASSERT_TRUE(FcInit());
    for (int32_t language :
         {Language_TradChinese, Language_English, Language_Japan, Language_SimpChinese}) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(MonitorText::Count); ++i) {
            const std::string_view text = languageTableText(language, static_cast<MonitorText>(i));
            std::unique_ptr<FcCharSet, decltype(&FcCharSetDestroy)> characters(FcCharSetCreate(),
                                                                               FcCharSetDestroy);
            const auto* bytes = reinterpret_cast<const FcChar8*>(text.data());
            for (std::size_t at = 0; at < text.size();) {
                FcChar32 character = 0;
                const int length =
                    FcUtf8ToUcs4(bytes + at, &character, static_cast<int>(text.size() - at));
                ASSERT_GT(length, 0) << text;
                if (character >= 0x20) FcCharSetAddChar(characters.get(), character);
                at += static_cast<std::size_t>(length);
            }
            std::unique_ptr<FcPattern, decltype(&FcPatternDestroy)> pattern(FcPatternCreate(),
                                                                            FcPatternDestroy);
            FcPatternAddCharSet(pattern.get(), FC_CHARSET, characters.get());
            std::unique_ptr<FcObjectSet, decltype(&FcObjectSetDestroy)> fields(
                FcObjectSetBuild(FC_FAMILY, nullptr), FcObjectSetDestroy);
            std::unique_ptr<FcFontSet, decltype(&FcFontSetDestroy)> fonts(
                FcFontList(nullptr, pattern.get(), fields.get()), FcFontSetDestroy);
            EXPECT_TRUE(fonts && fonts->nfont > 0)
                << "no font draws \"" << text << "\" (language " << language
                << "); scripts/setup.sh installs one";
        }
    }
}
