#include "TessarollUtil/Log.h"

#include "TessarollUtil/Logger.h"
#include "TessarollUtil/RequestPath.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"
#include "platform/Encoding.h"
#include "platform/Folders.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>

namespace {

constexpr std::size_t kPrefixLimit = 63;          // logPrefix holds 64 characters
constexpr std::size_t kProgramPrefixLimit = 511;  // programPrefix holds 512
constexpr std::size_t kWidePathLimit = 511;       // candidate ini paths: 512 wide characters
constexpr const char* kIniName = "ZEFAGPKITessaroll.ini";

std::atomic<bool> logOn{false};
std::mutex prefixMutex;  // setLog may rename while a late writer still reads
std::string logPrefix;
std::string programPrefixText;

// Guards against an Error writer reporting its own failed allocation without end.
thread_local bool reportingAllocationFailure = false;

// UTF-16 length of a UTF-8 text: one unit per character, two for those beyond the BMP.
std::size_t wideLength(std::string_view utf8) {
    std::size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) ++units;
        if (c >= 0xF0) ++units;
    }
    return units;
}

void writeTagged(const char* tag, std::string_view message, std::string_view value) {
    if (!logOn.load(std::memory_order_relaxed)) return;
    try {
        std::string text;
        text.reserve(kPrefixLimit + message.size() + value.size() + 16);
        text += '[';
        {
            std::lock_guard guard(prefixMutex);
            text += logPrefix;
        }
        text += ']';
        text += tag;
        text += ' ';
        text += message;
        text += value;
        logPrint(5, "%s", text.c_str());
    } catch (const std::bad_alloc&) {
        TESSAROLL_ALLOCATION_FAILURE();
    }
}

std::string numberText(int32_t number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", number);
    return digits;
}

// The four outcomes of the ini search each write the set-up line from their own line.
#define TESSAROLL_SETUP_LINE() \
    logPrint(5, "%s %d %s Compile Time : %s %s", __FILE__, __LINE__, "setLog", __DATE__, __TIME__)

bool startLogging(const std::string& prefix) {
    if (logOn.load()) return true;
    {
        std::lock_guard guard(prefixMutex);
        logPrefix = prefix.substr(0, kPrefixLimit);
    }

    const std::string name = kIniName;
    std::string tempFolder = getUserTempPath();
    if (!tempFolder.empty() && tempFolder.back() != '/') tempFolder += '/';
    std::optional<std::string> programFolder = getModuleFolder();
    const std::string candidates[] = {
        programFolder ? *programFolder + "/" + name : std::string(),
        windowsFolder() + "/" + name,
        tempFolder.empty() ? std::string() : tempFolder + name,
    };
    // A candidate longer than the wide path buffer is not looked at rather than cut; one
    // that someone else could have written is passed over.
    auto usable = [](const std::string& path) {
        return !path.empty() && wideLength(path) <= kWidePathLimit &&
               iniFileIsTrusted(path.c_str());
    };

    int status;
    if (usable(candidates[0])) {
        status = initLog(candidates[0].c_str());
        TESSAROLL_SETUP_LINE();
    } else if (usable(candidates[1])) {
        status = initLog(candidates[1].c_str());
        TESSAROLL_SETUP_LINE();
    } else if (usable(candidates[2])) {
        status = initLog(candidates[2].c_str());
        TESSAROLL_SETUP_LINE();
    } else {
        status = initLog(name.c_str());
        TESSAROLL_SETUP_LINE();
    }

#undef TESSAROLL_SETUP_LINE

    logOn.exchange(status == 0);
    if (logOn.load()) writeNormalLog("Log state: ", "Enable");
    return logOn.load();
}

}  // namespace

bool setLog(const char* prefix) {
    if (logOn.load()) return true;
    if (!prefix) return false;
    return startLogging(prefix);
}

bool setLog() {
    return startLogging(programPrefixText);
}

void setProgramPrefix(std::string_view prefix) {
    programPrefixText = std::string(prefix.substr(0, kProgramPrefixLimit));
}

const std::string& programPrefix() {
    return programPrefixText;
}

// Checked here too, so that with logging off a request never reaches writeTagged's code.
TESSAROLL_REQUEST_PATH void writeNormalLog(std::string_view message, std::string_view value) {
    if (logOn.load(std::memory_order_relaxed)) writeTagged("[Normal]", message, value);
}
void writeErrorLog(std::string_view message, std::string_view value) {
    if (reportingAllocationFailure) return;
    writeTagged("[Error]", message, value);
}
void writeWarningLog(std::string_view message, std::string_view value) {
    writeTagged("[Warning]", message, value);
}

static std::string_view orEmpty(const char* text) {
    return text ? std::string_view(text) : std::string_view();
}
// Most lines are literals on the request path: with logging off, not even measured.
TESSAROLL_REQUEST_PATH void writeNormalLog(const char* message, const char* value) {
    if (logOn.load(std::memory_order_relaxed)) writeNormalLog(orEmpty(message), orEmpty(value));
}
void writeErrorLog(const char* message, const char* value) {
    if (logOn.load(std::memory_order_relaxed)) writeErrorLog(orEmpty(message), orEmpty(value));
}
void writeWarningLog(const char* message, const char* value) {
    if (logOn.load(std::memory_order_relaxed)) writeWarningLog(orEmpty(message), orEmpty(value));
}

void writeNormalLogInt(std::string_view message, int32_t number) {
    if (!logOn.load(std::memory_order_relaxed)) return;
    writeTagged("[Normal]", message, numberText(number));
}
void writeErrorLogInt(std::string_view message, int32_t number) {
    if (!logOn.load(std::memory_order_relaxed)) return;
    writeTagged("[Error]", message, numberText(number));
}
void writeWarningLogInt(std::string_view message, int32_t number) {
    if (!logOn.load(std::memory_order_relaxed)) return;
    writeTagged("[Warning]", message, numberText(number));
}

void logWideText(std::string_view text, std::u16string_view wideValue) {
    // The code page is UTF-8 except while the monitor has switched it.
    std::string value = utf16ToCodePage(wideValue, libraryCodePage.load()).value_or(std::string());
    logPrint(5, "%.*s%s", static_cast<int>(text.size()), text.data(), value.c_str());
}

void writeNormalLogW(std::string_view message, std::u16string_view wideValue) {
    if (!logOn.load(std::memory_order_relaxed)) return;
    try {
        std::string text = "[";
        {
            std::lock_guard guard(prefixMutex);
            text += logPrefix;
        }
        text += "][Normal] ";
        text += message;
        logWideText(text, wideValue);
    } catch (const std::bad_alloc&) {
        TESSAROLL_ALLOCATION_FAILURE();
    }
}

void disableLog() {
    writeNormalLog("Log state: ", "Disable");
    logOn.exchange(false);
    resetLogger();
}

TESSAROLL_REQUEST_PATH bool isLogOn() {
    return logOn.load();
}

void appendWideText(std::u16string& buffer, const char16_t* text) {
    if (!text) return;
    constexpr std::size_t kWideBufferLimit = 511;
    if (buffer.size() >= kWideBufferLimit) {
        buffer.resize(kWideBufferLimit);
        return;
    }
    std::u16string_view piece(text);
    buffer.append(piece.substr(0, kWideBufferLimit - buffer.size()));
}

std::optional<std::u16string> replaceAllW(std::u16string_view pattern, std::u16string_view text,
                                          std::u16string_view replacement) {
    const int codePage = libraryCodePage.load();
    std::optional<std::string> narrowPattern = utf16ToCodePage(pattern, codePage);
    std::optional<std::string> narrowText = utf16ToCodePage(text, codePage);
    std::optional<std::string> narrowReplacement = utf16ToCodePage(replacement, codePage);
    std::optional<std::u16string> result;
    if (narrowPattern && narrowText && narrowReplacement)
        result =
            codePageToUtf16(replaceAll(*narrowText, *narrowPattern, *narrowReplacement), codePage);
    if (result) return result;
    // A text the code page cannot carry is worked on as it is, giving what a lossless
    // round trip would have given.
    try {
        std::u16string out;
        std::size_t at = 0;
        if (!pattern.empty()) {
            for (std::size_t hit; (hit = text.find(pattern, at)) != std::u16string_view::npos;
                 at = hit + pattern.size()) {
                out.append(text.substr(at, hit - at));
                out.append(replacement);
            }
        }
        out.append(text.substr(at));
        return out;
    } catch (const std::bad_alloc&) {
        TESSAROLL_ALLOCATION_FAILURE();
        return std::nullopt;
    }
}

void logNullParameter(const char* name, const char* file, int line) {
    if (!logOn.load(std::memory_order_relaxed)) return;
    char text[512];
    std::snprintf(text, sizeof text, "Parameter %s is null at %s %d", name ? name : "",
                  file ? file : "", line);
    writeWarningLog("", text);
}

void logAllocationFailure(const char* file, int line) {
    if (reportingAllocationFailure) return;
    reportingAllocationFailure = true;
    writeTagged("[Error]", "Memory allocate fail at file: ", file ? file : "");
    writeTagged("[Error]", "Memory allocate fail at line: ", numberText(line));
    reportingAllocationFailure = false;
}

void resetLogForTests() {
    logOn.store(false);
    std::lock_guard guard(prefixMutex);
    logPrefix.clear();
    programPrefixText.clear();
}
