#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/Text.h"
#include "platform/Encoding.h"

#include "doubles/LogCapture/LogCapture.h"
#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testing_support::ChildProcess;
using testing_support::readFile;
using testing_support::Sandbox;
using testing_support::today;
using testing_support::writeFile;

namespace {

const char* const kIniName = "ZEFAGPKITessaroll.ini";
const char* const kChildVariable = "TESSAROLL_LOG_TEST_CHILD";

// The messages of a log file: each line without its time stamp, tag and ids.
std::vector<std::string> messagesOf(const fs::path& file) {
    static const std::regex head(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[DEBUG\] \[\d{5}-\d{5}\] (.*)$)");
    std::vector<std::string> messages;
    std::istringstream in(readFile(file));
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        messages.push_back(std::regex_match(line, m, head) ? m[1].str()
                                                           : "unexpected line: " + line);
    }
    return messages;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetLogForTests();
        resetLoggerForTests();
    }
    void TearDown() override {
        resetLogForTests();
        resetLoggerForTests();
    }
    // Our ini in `folder`, logging to `<log>_<date>.log` in the temporary folder.
    fs::path writeIni(const fs::path& folder, const std::string& log = "app") {
        fs::path ini = folder / kIniName;
        writeFile(ini, "[ZEFAGPKITessaroll]\nLog File=" +
                           (sandbox.tempDir() / (log + ".log")).string() + "\nLog Level=5\n");
        return ini;
    }
    fs::path logOf(const std::string& log = "app") const {
        return sandbox.tempDir() / (log + "_" + today() + ".log");
    }
    std::vector<std::string> messages(const std::string& log = "app") const {
        return messagesOf(logOf(log));
    }

    Sandbox sandbox;
};

TEST_F(LogTest, SuccessfulSetUpWritesEnableSetUpAndStateLines) {
    fs::path ini = writeIni(sandbox.windowsDir());
    ASSERT_TRUE(setLog("ZEFAGPKITessaroll"));
    EXPECT_TRUE(isLogOn());
    std::vector<std::string> lines = messages();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Log Enable '" + ini.string() + "'");
    EXPECT_TRUE(std::regex_match(
        lines[1],
        std::regex(
            R"(^\S*Log\.cpp \d+ setLog Compile Time : [A-Z][a-z]{2} [ \d]\d \d{4} \d{2}:\d{2}:\d{2}$)")))
        << lines[1];
    EXPECT_EQ(lines[2], "[ZEFAGPKITessaroll][Normal] Log state: Enable");
}

TEST_F(LogTest, WritersComposeTheirExactTexts) {
    writeIni(sandbox.windowsDir());
    ASSERT_TRUE(setLog("ZEFAGPKITessaroll"));
    const std::vector<std::pair<std::function<void()>, std::vector<std::string>>> cases = {
        {[] { writeNormalLog("Port: ", "56482"); }, {"[Normal] Port: 56482"}},
        {[] { writeErrorLog(nullptr, nullptr); }, {"[Error] "}},
        {[] { writeWarningLog(std::string_view("Text: "), std::string_view()); },
         {"[Warning] Text: "}},
        {[] { writeNormalLogInt("Count: ", -3); }, {"[Normal] Count: -3"}},
        {[] { writeErrorLogInt("Code: ", 61011); }, {"[Error] Code: 61011"}},
        {[] { writeWarningLogInt("Left: ", 2147483647); }, {"[Warning] Left: 2147483647"}},
        {[] { writeNormalLogW("Name: ", u"Gr\u00f6\u00dfe \u4e2d\u6587"); },
         {"[Normal] Name: Gr\u00f6\u00dfe \u4e2d\u6587"}},
        {[] { logAllocationFailure("Text.cpp", 88); },
         {"[Error] Memory allocate fail at file: Text.cpp",
          "[Error] Memory allocate fail at line: 88"}},
    };
    for (const auto& [write, expected] : cases) {
        fs::remove(logOf());
        write();
        std::vector<std::string> lines = messages();
        ASSERT_EQ(lines.size(), expected.size()) << expected.front();
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(lines[i], "[ZEFAGPKITessaroll]" + expected[i]);
    }

    fs::remove(logOf());
    const int line = __LINE__ + 1;  // the line of the macro below
    TESSAROLL_NULL_PARAMETER("inputKey");
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "[ZEFAGPKITessaroll][Warning] Parameter inputKey is null at " +
                              std::string(__FILE__) + " " + std::to_string(line)});
}

TEST_F(LogTest, FirstPrefixStaysCutTo63Characters) {
    writeIni(sandbox.windowsDir());
    const std::string prefix(70, 'P');
    ASSERT_TRUE(setLog(prefix.c_str()));
    EXPECT_TRUE(setLog("TessarollSession"));
    fs::remove(logOf());
    writeNormalLog("a", "b");
    EXPECT_EQ(messages(), std::vector<std::string>{"[" + prefix.substr(0, 63) + "][Normal] ab"});
}

TEST_F(LogTest, WithoutALevelEverythingStaysSilent) {
    EXPECT_FALSE(setLog(nullptr));
    writeFile(sandbox.windowsDir() / kIniName,
              "[ZEFAGPKITessaroll]\nLog File=" + (sandbox.tempDir() / "app.log").string() + "\n");
    EXPECT_FALSE(setLog("ZEFAGPKITessaroll"));
    EXPECT_FALSE(isLogOn());
    writeNormalLog("silent", "");
    writeErrorLogInt("silent", 1);
    TESSAROLL_NULL_PARAMETER("input");
    EXPECT_FALSE(fs::exists(logOf()));
}

TEST_F(LogTest, DisableLogThenSetUpAgainWithAnotherPrefix) {
    writeIni(sandbox.windowsDir());
    ASSERT_TRUE(setLog("ZEFAGPKITessaroll"));
    disableLog();
    EXPECT_FALSE(isLogOn());
    writeNormalLog("after", "off");
    EXPECT_EQ(logPrint(5, "direct"), -2);
    EXPECT_EQ(messages().back(), "[ZEFAGPKITessaroll][Normal] Log state: Disable");

    // The ini is read afresh: it now names another log.
    writeIni(sandbox.windowsDir(), "second");
    ASSERT_TRUE(setLog("TessarollSession"));
    writeNormalLog("again", "");
    EXPECT_EQ(messages("second").back(), "[TessarollSession][Normal] again");
}

TEST_F(LogTest, ProgramPrefixAndCodePageForTheMonitorAndWorker) {
    writeIni(sandbox.windowsDir());
    setProgramPrefix("TessarollWorker-0A1B2C3D_SID");
    ASSERT_TRUE(setLog());
    fs::remove(logOf());
    writeNormalLog("Input: ", "-watchdog");
    writeNormalLogW("Path: ", u"/tmp/\u00e9");
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "[TessarollWorker-0A1B2C3D_SID][Normal] Input: -watchdog",
                              "[TessarollWorker-0A1B2C3D_SID][Normal] Path: /tmp/\u00e9"}));
}

// While the monitor has switched the library to code page 950, wide values are logged in it.
TEST_F(LogTest, WideValuesFollowTheLibraryCodePage) {
    writeIni(sandbox.windowsDir());
    ASSERT_TRUE(setLog("ZEFAGPKITessaroll"));
    fs::remove(logOf());
    libraryCodePage.store(kCodePageBig5);
    writeNormalLogW("Name: ", u"\u4e2d\u6587");
    std::optional<std::u16string> replaced =
        replaceAllW(u"=Name=", u"=Name= \u4e2d\u6587", u"\u6587");
    libraryCodePage.store(kCodePageUtf8);
    EXPECT_EQ(messages(),
              std::vector<std::string>{"[ZEFAGPKITessaroll][Normal] Name: \xA4\xA4\xA4\xE5"});
    EXPECT_EQ(replaced, std::u16string(u"\u6587 \u4e2d\u6587"));
}

TEST_F(LogTest, SetLogSearchOrder) {
    // `places` are the Windows folder, the temporary folder and the home; the last is only
    // searched by the logger itself, with the bare name.
    const fs::path places[] = {sandbox.windowsDir(), sandbox.tempDir(), sandbox.home()};
    struct Case {
        const char* name;
        std::vector<int> present;
        int chosen;
    };
    const Case cases[] = {
        {"windows folder before temporary folder", {0, 1, 2}, 0},
        {"temporary folder, a slash added", {1, 2}, 1},
        {"none found: the logger finds it at home", {2}, 2},
    };
    std::set<std::string> setUpLines;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetLogForTests();
        resetLoggerForTests();
        for (const fs::path& p : places) fs::remove(p / kIniName);
        for (int i : c.present) writeIni(places[i], "place" + std::to_string(i));

        ASSERT_TRUE(setLog("ZEFAGPKITessaroll"));
        std::vector<std::string> lines = messages("place" + std::to_string(c.chosen));
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "Log Enable '" + (places[c.chosen] / kIniName).string() + "'");
        setUpLines.insert(lines[1]);
    }
    EXPECT_EQ(setUpLines.size(), 3u)
        << "each outcome writes its set-up line from its own source line";
}

// An ini that others could have written is passed over, as if it were not there.
TEST_F(LogTest, SetLogPassesOverAnIniOthersCouldWrite) {
    struct Case {
        const char* name;
        bool goodInTemp;
        bool on;
    } cases[] = {
        {"the next place is used", true, true},
        {"no other: logging stays off", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetLogForTests();
        resetLoggerForTests();
        fs::remove(sandbox.tempDir() / kIniName);
        chmod(writeIni(sandbox.windowsDir(), "planted").c_str(), 0666);
        if (c.goodInTemp) writeIni(sandbox.tempDir(), "good");
        EXPECT_EQ(setLog("ZEFAGPKITessaroll"), c.on);
        EXPECT_FALSE(fs::exists(logOf("planted")));
        if (c.on) {
            std::vector<std::string> lines = messages("good");
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0], "Log Enable '" + (sandbox.tempDir() / kIniName).string() + "'");
        }
    }
}

// Run by SetLogPrefersTheProgramFolder in a copy of this program.
TEST(LogChild, SetLogFromTheEnvironment) {
    if (!std::getenv(kChildVariable)) GTEST_SKIP() << "only run as the child of another test";
    resetLoggerForTests();
    EXPECT_TRUE(setLog("ZEFAGPKITessaroll"));
}

TEST_F(LogTest, SetLogPrefersTheProgramFolder) {
    fs::path bin = sandbox.root() / "bin";
    fs::create_directories(bin);
    fs::path program = bin / "log_child";
    fs::copy_file(fs::read_symlink("/proc/self/exe"), program);
    fs::path beside = writeIni(bin, "beside");
    writeIni(sandbox.windowsDir(), "windows");

    ChildProcess child(program, {"--gtest_filter=LogChild.SetLogFromTheEnvironment"},
                       {{kChildVariable, "1"}});
    std::optional<int> code = child.wait(std::chrono::seconds(30));
    ASSERT_EQ(code, 0) << child.output() << child.errors();
    EXPECT_FALSE(fs::exists(logOf("windows")));
    std::vector<std::string> lines = messages("beside");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Log Enable '" + beside.string() + "'");
}

TEST_F(LogTest, AppendWideTextStaysWithin511Characters) {
    std::u16string buffer = u"/etc";
    appendWideText(buffer, nullptr);
    EXPECT_EQ(buffer, u"/etc");
    appendWideText(buffer, u"/");
    const std::u16string tail(600, u'x');
    appendWideText(buffer, tail.c_str());
    EXPECT_EQ(buffer.size(), 511u);
    EXPECT_EQ(buffer.substr(0, 6), u"/etc/x");
    appendWideText(buffer, u"more");
    EXPECT_EQ(buffer.size(), 511u);
}

TEST_F(LogTest, ReplaceAllW) {
    struct Case {
        std::u16string pattern, text, replacement, expected;
    };
    const Case cases[] = {
        {u"*", u"a*b*c", u"\\", u"a\\b\\c"},
        {u"=TessarollName=", u"=TessarollName= \u670d\u52d9 =TessarollName=", u"ZEFAGPKITessaroll",
         u"ZEFAGPKITessaroll \u670d\u52d9 ZEFAGPKITessaroll"},
        {u"aa", u"aaa", u"b", u"ba"},
        {u"x", u"none here", u"y", u"none here"},
        {u"x", u"", u"y", u""},
    };
    for (const Case& c : cases) {
        std::optional<std::u16string> result = replaceAllW(c.pattern, c.text, c.replacement);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, c.expected);
    }
}

}  // namespace
