#include "TessarollMonitor/Languages.h"

#include <array>
#include <mutex>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Text.h"
#include "platform/Locale.h"

std::atomic<int32_t> currentLanguage{Language_TradChinese};
std::atomic<int32_t> detectedLanguage{Language_TradChinese};

namespace {

constexpr std::size_t kTextCount = static_cast<std::size_t>(MonitorText::Count);
using TextRow = std::array<const char*, kTextCount>;

// The same rights line closes the About text in every language.
#define TESSAROLL_RIGHTS_LINE "Copyright (C) =Publisher=. All rights reserved. \n"

constexpr TextRow kTradChinese = {
    "啟動",
    "停止",
    "重新啟動",
    "語言",
    "繁體中文",
    "英文",
    "日文",
    "簡體中文",
    "系統提示",
    "關於",
    "螢幕截圖",
    "關閉除錯模式",
    "開啟除錯模式",
    "離開",
    "已啟動",
    "已關閉",
    "已重新啟動",
    "切換至",
    "已成功輸出 ==FileName== 至桌面",
    "版本：",
    "=InstallerVersion=" TESSAROLL_RIGHTS_LINE,
    "=InstallerVersion==TessarollName= 主程式版本：=ServerVersion= \nMonitor "
    "版本：=MonitorVersion= \n" TESSAROLL_RIGHTS_LINE,
};

constexpr TextRow kEnglish = {
    "Start",
    "Stop",
    "Restart",
    "Language",
    "TradChinese",
    "English",
    "Japanese",
    "SimpChinese",
    "System hint",
    "About",
    "Screenshots",
    "Turn off debug mode",
    "Turn on debug mode",
    "Quit",
    "turned on",
    "turned off",
    "already restarted",
    "Switch to",
    "Output ==FileName== to desktop success",
    "Version:",
    "=InstallerVersion=" TESSAROLL_RIGHTS_LINE,
    "=InstallerVersion==TessarollName= program version: =ServerVersion= \nMonitor version: "
    "=MonitorVersion= \n" TESSAROLL_RIGHTS_LINE,
};

constexpr TextRow kJapan = {
    "起動する",
    "停止する",
    "再起動する",
    "語言",
    "繁体字中国語",
    "英語",
    "日本語",
    "簡体字中国語",
    "システムメッセージ",
    "バージョン情報",
    "スクリーンショット",
    "デバッグモードを停止する",
    "デバッグモードを起動する",
    "中止",
    "起動している",
    "停止している",
    "再起動している",
    "に切り替え",
    "デスクトップに ==FileName== を出力完了",
    "バージョン：",
    "=InstallerVersion=" TESSAROLL_RIGHTS_LINE,
    "=InstallerVersion==TessarollName= プログラムバージョン：=ServerVersion= \nMonitor "
    "バージョン：=MonitorVersion= \n" TESSAROLL_RIGHTS_LINE,
};

constexpr TextRow kSimpChinese = {
    "启动",
    "停止",
    "重新启动",
    "語言",
    "繁体中文",
    "英文",
    "日文",
    "简体中文",
    "系统提示",
    "关于",
    "萤幕截图",
    "关闭除错模式",
    "开启除错模式",
    "退出",
    "已启动",
    "已关闭",
    "已重新启动",
    "切换至",
    "已成功輸出 ==FileName== 至桌面",
    "版本：",
    "=InstallerVersion=" TESSAROLL_RIGHTS_LINE,
    "=InstallerVersion==TessarollName= 主程式版本：=ServerVersion= \nMonitor "
    "版本：=MonitorVersion= \n" TESSAROLL_RIGHTS_LINE,
};

#undef TESSAROLL_RIGHTS_LINE

const TextRow* rowFor(int32_t language) {
    switch (language) {
        case Language_TradChinese: return &kTradChinese;
        case Language_English: return &kEnglish;
        case Language_Japan: return &kJapan;
        case Language_SimpChinese: return &kSimpChinese;
        default: return nullptr;
    }
}

std::mutex textsLock;
std::array<std::string, kTextCount> texts;

}  // namespace

std::string cutToCharacters(std::string_view text, std::size_t characters) {
    if (characters == 0) return {};
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A byte that does not continue a UTF-8 sequence begins a character.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == characters - 1) return std::string(text.substr(0, i));
            ++count;
        }
    }
    return std::string(text);
}

std::string_view languageTableText(int32_t language, MonitorText text) {
    const TextRow* row = rowFor(language);
    if (row == nullptr || text >= MonitorText::Count) return {};
    return (*row)[static_cast<std::size_t>(text)];
}

void buildLanguageTexts() {
    const TextRow* row = rowFor(currentLanguage.load());
    if (row == nullptr) return;
    std::lock_guard lock(textsLock);
    for (std::size_t i = 0; i < kTextCount; ++i)
        texts[i] = cutToCharacters((*row)[i], kLanguageTextCharacters);
}

std::string languageText(MonitorText text) {
    if (text >= MonitorText::Count) return {};
    std::lock_guard lock(textsLock);
    return texts[static_cast<std::size_t>(text)];
}

int32_t languageForLocaleName(std::string_view localeName, bool* defaulted) {
    std::string name = toLowerString(localeName);
    if (defaulted) *defaulted = false;
    if (name.find("chinese") != std::string::npos) {
        return name.find("simplified") != std::string::npos ? Language_SimpChinese
                                                            : Language_TradChinese;
    }
    if (name.find("english") != std::string::npos) return Language_English;
    if (name.size() >= 2 && name.starts_with("ja")) return Language_Japan;
    if (defaulted) *defaulted = true;
    return Language_English;
}

void detectLanguage() {
    std::string name = toLowerString(cutToCharacters(userLocaleName(), 512));
    writeNormalLog("Detect language: ", name);
    bool defaulted = false;
    int32_t language = languageForLocaleName(name, &defaulted);
    detectedLanguage = language;
    const char* languageName = language == Language_SimpChinese   ? "Language_SimpChinese"
                               : language == Language_TradChinese ? "Language_TradChinese"
                               : language == Language_Japan       ? "Language_Japan"
                                                                  : "Language_English";
    writeNormalLog(defaulted ? "Language (default): " : "Language: ", languageName);
}
