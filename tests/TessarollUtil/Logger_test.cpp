#include "TessarollUtil/Logger.h"
#include "TessarollUtil/Log.h"

#include "TessarollUtil/LoggerFixture.h"
#include "doubles/LogCapture/LogCapture.h"
#include "helpers/Sandbox.h"
#include "platform/NamedMutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs `body` in a forked copy of this process and says whether it ended within `bound`;
// one that hangs is killed. For calls that, when broken, would never return.
bool endsWithin(const std::function<void()>& body, std::chrono::seconds bound) {
    pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A uid that is neither ours nor root's, for files "of another user" (needs root to chown).
constexpr uid_t kOtherUid = 65534;

// ---- the ini reader ------------------------------------------------------------------

struct IniCase {
    const char* name;
    std::string content;
    const char* key;
    int size;
    int status;
    std::optional<std::string> value;  // nothing: the buffer stays untouched
};

class IniReaderTest : public LoggerTest, public ::testing::WithParamInterface<IniCase> {};

TEST_P(IniReaderTest, ReadsValueAndStatus) {
    const IniCase& c = GetParam();
    fs::path path = sandbox.tempDir() / "case.ini";
    writeFile(path, c.content);
    std::string buffer(static_cast<std::size_t>(c.size > 0 ? c.size : 1) + 8, '#');
    buffer[buffer.size() - 1] = '\0';
    int status = readLogIniValue(c.key, buffer.data(), c.size, path.c_str());
    EXPECT_EQ(status, c.status);
    if (c.value) {
        EXPECT_EQ(std::string(buffer.c_str()), *c.value);
    } else {
        EXPECT_EQ(buffer[0], '#') << "buffer must stay untouched";
    }
}

const std::string kLongPath(200, 'p');

INSTANTIATE_TEST_SUITE_P(
    Cases, IniReaderTest,
    ::testing::Values(
        IniCase{"Plain", "[ZEFAGPKITessaroll]\nLog Level=5\n", "Log Level", 16, 0, "5"},
        IniCase{"HeaderBlanksAndCase", "  [  zefagpkiTESSAROLL ]  \r\nlog LEVEL=4\r\n", "Log Level",
                16, 0, "4"},
        IniCase{"OtherSectionFirst", "[Other]\nLog Level=1\n[ZEFAGPKITessaroll]\nLog Level=2\n",
                "Log Level", 16, 0, "2"},
        IniCase{"KeyIndented", "[ZEFAGPKITessaroll]\n \t Log Level=5\n", "Log Level", 16, 0, "5"},
        IniCase{"FirstLineWins", "[ZEFAGPKITessaroll]\nLog Level=3\nLog Level=5\n", "Log Level", 16,
                0, "3"},
        IniCase{"EmptyValue", "[ZEFAGPKITessaroll]\nLog Level=\n", "Log Level", 16, 0, ""},
        IniCase{"DoubleQuotes", "[ZEFAGPKITessaroll]\nLog File=  \"/a b/c.log\" tail\n", "Log File",
                128, 0, "/a b/c.log"},
        IniCase{"QuotesToLastOccurrence", "[ZEFAGPKITessaroll]\nLog File='a'b'\n", "Log File", 128,
                0, "a'b"},
        IniCase{"UnclosedQuoteKept", "[ZEFAGPKITessaroll]\nLog File='/x.log\n", "Log File", 128, 0,
                "'/x.log"},
        IniCase{"UnquotedKeepsLeadingBlanks", "[ZEFAGPKITessaroll]\nLog File=  x\r\n", "Log File",
                128, 0, "  x"},
        IniCase{"LineCutAtBufferSize", "[ZEFAGPKITessaroll]\nLog File=" + kLongPath + "\n",
                "Log File", 128, 0, kLongPath.substr(0, 127 - 9)},
        IniCase{"RestOfLongLineIsALine",
                "[ZEFAGPKITessaroll]\n" + std::string(15, 'x') + "Log Level=7\n", "Log Level", 16,
                0, "7"},
        IniCase{"LongHeaderLineIsSeveralLines",
                std::string(255, 'x') + "[ZEFAGPKITessaroll]\nLog Level=5\n", "Log Level", 16, 0,
                "5"},
        IniCase{"BlankBeforeEquals", "[ZEFAGPKITessaroll]\nLog Level =5\n", "Log Level", 16, 103,
                ""},
        IniCase{"Comment", "[ZEFAGPKITessaroll]\n ;Log Level=5\n", "Log Level", 16, 103, ""},
        IniCase{"KeyInNextSection", "[ZEFAGPKITessaroll]\nLog File=a\n[Next]\nLog Level=5\n",
                "Log Level", 16, 103, ""},
        IniCase{"SecondOwnSectionIgnored",
                "[ZEFAGPKITessaroll]\nLog File=a\n[ZEFAGPKITessaroll]\nLog Level=5\n", "Log Level",
                16, 103, ""},
        IniCase{"HeaderLongerThanTheValueBuffer",
                "[ZEFAGPKITessaroll]\nLog File=a\n[AnotherLongSectionName]\nLog Level=5\n",
                "Log Level", 16, 103, ""},
        IniCase{"KeyBeforeSection", "Log Level=5\n[ZEFAGPKITessaroll]\n", "Log Level", 16, 103, ""},
        IniCase{"SizeZero", "[ZEFAGPKITessaroll]\nLog Level=5\n", "Log Level", 0, 103,
                std::nullopt},
        IniCase{"SizeOneEndsWithoutValue", "[ZEFAGPKITessaroll]\nLog Level=5\n", "Log Level", 1,
                103, ""},
        IniCase{"NullKey", "[ZEFAGPKITessaroll]\nLog Level=5\n", nullptr, 16, 103, std::nullopt},
        IniCase{"NoSection", "[Other]\nLog Level=5\n", "Log Level", 16, 102, std::nullopt},
        IniCase{"EmptySectionName", "[]\nLog Level=5\n", "Log Level", 16, 102, std::nullopt},
        IniCase{"SectionNameWithSuffix", "[ZEFAGPKITessarollX]\nLog Level=5\n", "Log Level", 16,
                102, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoggerTest, MissingIniFileLeavesBufferUntouched) {
    char buffer[16] = "keep";
    EXPECT_EQ(readLogIniValue("Log Level", buffer, sizeof buffer,
                              (sandbox.tempDir() / "none.ini").c_str()),
              kLogIniCannotOpen);
    EXPECT_STREQ(buffer, "keep");
}

// An ini someone else could have written steers nothing: only a regular file of ours or
// root's that nobody else may write is read.
TEST_F(LoggerTest, AnIniOthersCouldHaveWrittenIsIgnored) {
    const fs::path ini = sandbox.tempDir() / "case.ini";
    const fs::path good = sandbox.root() / "good.ini";
    writeFile(good, "[ZEFAGPKITessaroll]\nLog Level=5\n");
    struct Case {
        const char* name;
        std::function<void()> plant;
        bool read;
    } cases[] = {
        {"our file, 0644",
         [&] {
             fs::copy_file(good, ini);
             chmod(ini.c_str(), 0644);
         },
         true},
        {"group may write",
         [&] {
             fs::copy_file(good, ini);
             chmod(ini.c_str(), 0664);
         },
         false},
        {"anyone may write",
         [&] {
             fs::copy_file(good, ini);
             chmod(ini.c_str(), 0646);
         },
         false},
        {"another user's file",
         [&] {
             fs::copy_file(good, ini);
             chmod(ini.c_str(), 0644);
             ASSERT_EQ(chown(ini.c_str(), kOtherUid, kOtherUid), 0);
         },
         false},
        {"a link to a good ini", [&] { fs::create_symlink(good, ini); }, false},
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(ini.c_str(), 0600), 0); }, false},
        {"a folder", [&] { fs::create_directory(ini); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "another user's file" && geteuid() != 0) continue;
        fs::remove_all(ini);
        c.plant();
        // In a copy of the process, so that a read that blocks cannot hang the test; each
        // way in must agree with the case.
        EXPECT_TRUE(endsWithin(
            [&] {
                char buffer[16] = "";
                const bool read = readLogIniValue("Log Level", buffer, sizeof buffer,
                                                  ini.c_str()) == kLogIniFound;
                resetLoggerForTests();
                const bool enabled = initLog(ini.c_str()) == 0;
                const bool trusted = iniFileIsTrusted(ini.c_str());
                _exit(read == c.read && enabled == c.read && trusted == c.read ? 0 : 1);
            },
            std::chrono::seconds(20)));
    }
}

// ---- initLog and the line format ----------------------------------------------------------

TEST_F(LoggerTest, LineReadBackMatchesTheFormat) {
    fs::path ini = writeIni(logFileLine() + "Log Level=5\n");
    ASSERT_EQ(initLog(ini.c_str()), 0);
    ASSERT_EQ(logPrint(5, "value %d and %s", 42, "text"), 0);

    std::vector<std::string> lines = linesOf(logPath());
    ASSERT_EQ(lines.size(), 2u);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%05lu-%05lu", static_cast<unsigned long>(getpid()) % 100000UL,
                  static_cast<unsigned long>(gettid()) % 100000UL);
    const std::regex format(
        R"(^(\d{4})-(\d{2})-(\d{2}) \d{2}:\d{2}:\d{2}\.\d{3} \[DEBUG\] \[(\d{5}-\d{5})\] (.*)$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, format)) << lines[0];
    EXPECT_EQ(m[1].str() + m[2].str() + m[3].str(), today());
    EXPECT_EQ(m[4].str(), ids);
    EXPECT_EQ(m[5].str(), "Log Enable '" + ini.string() + "'");
    ASSERT_TRUE(std::regex_match(lines[1], m, format)) << lines[1];
    EXPECT_EQ(m[5].str(), "value 42 and text");
}

TEST_F(LoggerTest, ConfiguredLevelFiltersAndTagsTheEnableLine) {
    struct Case {
        const char* level;
        const char* tag;
    };
    for (const Case& c : {Case{"", ""}, Case{"3", "[WARN ]"}, Case{"4", "[INFO ]"}}) {
        SCOPED_TRACE(c.level);
        resetLoggerForTests();
        fs::remove(logPath());
        fs::path ini = writeIni(logFileLine() + "Log Level=" + c.level + "\n");
        ASSERT_EQ(initLog(ini.c_str()), 0);
        EXPECT_EQ(logPrint(5, "dropped"), -2);
        std::vector<std::string> lines = linesOf(logPath());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(std::string(" ") + c.tag + " ["), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("] Log Enable '"), std::string::npos);
    }
}

TEST_F(LoggerTest, DefaultLogFileInTheTempFolderWhenNoneConfigured) {
    fs::path ini = writeIni("Log Level=5\n");
    ASSERT_EQ(initLog(ini.c_str()), 0);
    EXPECT_TRUE(fs::exists(sandbox.tempDir() / ("VZLog_" + today() + ".log")));
}

TEST_F(LoggerTest, WithoutLevelLoggingStaysOffAndTheIniIsReadAgain) {
    fs::path ini = writeIni(logFileLine());
    EXPECT_EQ(initLog(ini.c_str()), kLogIniNoKey);
    EXPECT_EQ(logPrint(1, "dropped"), -2);
    EXPECT_EQ(currentLogLevel(), 0);

    writeIni(logFileLine() + "Log Level=5\n");
    EXPECT_EQ(initLog(ini.c_str()), 0);
    EXPECT_EQ(logPrint(5, "kept"), 0);
    EXPECT_EQ(logPrint(6, "too verbose"), -2);
    EXPECT_EQ(linesOf(logPath()).size(), 2u);
}

TEST_F(LoggerTest, InitLogWhileEnabledChangesNothingUntilReset) {
    fs::path ini = writeIni(logFileLine() + "Log Level=5\n");
    ASSERT_EQ(initLog(ini.c_str()), 0);
    fs::path other = writeIni(
        "Log File=" + (sandbox.tempDir() / "other.log").string() + "\nLog Level=1\n", "b.ini");
    EXPECT_EQ(initLog(other.c_str()), -1);
    EXPECT_EQ(currentLogLevel(), 5);

    resetLogger();
    EXPECT_EQ(logPrint(5, "off"), -2);
    EXPECT_EQ(initLog(other.c_str()), 0);
    EXPECT_EQ(currentLogLevel(), 1);
    EXPECT_TRUE(fs::exists(sandbox.tempDir() / ("other_" + today() + ".log")));
}

TEST_F(LoggerTest, BareNameIsSearchedInWindowsHomeAndTempFolders) {
    const std::string name = "search.ini";
    const fs::path places[] = {sandbox.windowsDir() / name, sandbox.home() / name,
                               sandbox.tempDir() / name};
    auto withLogFile = [&](const std::string& log) {
        return "[ZEFAGPKITessaroll]\nLog File=" + (sandbox.tempDir() / log).string() +
               "\nLog Level=5\n";
    };
    struct Case {
        const char* name;
        std::vector<int> withLogFile;  // places holding a "Log File"
        std::vector<int> levelOnly;    // places holding only a "Log Level"
        int chosen;
    };
    const Case cases[] = {
        {"windows first", {0, 1, 2}, {}, 0},
        {"home next", {1, 2}, {}, 1},
        {"temp last", {2}, {}, 2},
        {"level alone does not count", {1}, {0}, 1},
        {"none with a log file: temp is used", {}, {0, 2}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetLoggerForTests();
        for (const fs::path& p : places) fs::remove(p);
        for (int i : c.withLogFile)
            writeFile(places[i], withLogFile("place" + std::to_string(i) + ".log"));
        for (int i : c.levelOnly) writeFile(places[i], "[ZEFAGPKITessaroll]\nLog Level=5\n");
        std::vector<fs::path> logs;
        for (const auto& entry : fs::directory_iterator(sandbox.tempDir()))
            if (entry.path().extension() == ".log") logs.push_back(entry.path());
        for (const fs::path& log : logs) fs::remove(log);

        ASSERT_EQ(initLog(name.c_str()), 0);
        std::string log = c.withLogFile.empty() ? "VZLog" : "place" + std::to_string(c.chosen);
        fs::path file = sandbox.tempDir() / (log + "_" + today() + ".log");
        ASSERT_TRUE(fs::exists(file)) << file;
        EXPECT_NE(readFile(file).find("Log Enable '" + places[c.chosen].string() + "'"),
                  std::string::npos);
    }
}

// ---- file names and rotation ----------------------------------------------------------------

TEST_F(LoggerTest, RotatesPastTheSizeLimit) {
    fs::path ini = writeIni(logFileLine() + "Log MaxSize=1000\nLog Level=5\n");
    writeFile(logPath(), std::string(1001, 'a'));
    writeFile(logPath("_1"), std::string(1001, 'b'));
    writeFile(logPath("_2"), std::string(800, 'c'));
    ASSERT_EQ(initLog(ini.c_str()), 0);
    EXPECT_EQ(fs::file_size(logPath()), 1001u);
    EXPECT_EQ(fs::file_size(logPath("_1")), 1001u);
    ASSERT_LE(fs::file_size(logPath("_2")), 1000u);

    // The line that crosses the limit stays in the file; the next line starts a new one.
    for (int i = 0; i < 100 && !fs::exists(logPath("_3")); ++i) logPrint(5, "line %d", i);
    EXPECT_GT(fs::file_size(logPath("_2")), 1000u);
    EXPECT_LE(fs::file_size(logPath("_2")), 1000u + 60u);
    EXPECT_EQ(linesOf(logPath("_3")).size(), 1u);

    // The index only grows: a first file that is small again is not used again.
    fs::remove(logPath());
    logPrint(5, "later");
    EXPECT_FALSE(fs::exists(logPath()));
    EXPECT_EQ(linesOf(logPath("_3")).size(), 2u);
}

TEST_F(LoggerTest, SizeLimitThatIsNoPositiveNumberNeverRotates) {
    for (const char* size : {"-5", "big", "0"}) {
        SCOPED_TRACE(size);
        resetLoggerForTests();
        writeFile(logPath(), std::string(2000, 'a'));
        fs::path ini = writeIni(logFileLine() + "Log MaxSize=" + size + "\nLog Level=5\n");
        ASSERT_EQ(initLog(ini.c_str()), 0);
        EXPECT_GT(fs::file_size(logPath()), 2000u);
        EXPECT_FALSE(fs::exists(logPath("_1")));
    }
}

TEST_F(LoggerTest, FileNamesCarryDateAndIndex) {
    const std::string d = today();
    const std::string dir = sandbox.tempDir().string() + "/";
    struct Case {
        std::string logFile;
        std::vector<std::string> full;  // files already over the limit
        std::string expected;
    };
    const Case cases[] = {
        {dir + "VZLog.log", {}, dir + "VZLog_" + d + ".log"},
        {dir + "a.b.txt", {}, dir + "a.b_" + d + ".txt"},
        {dir + "nodot", {}, dir + "nodot_" + d},
        {dir + "nodot", {dir + "nodot_" + d, dir + "nodot_" + d + "_1"}, dir + "nodot_" + d + "_2"},
        {dir + "x.log", {dir + "x_" + d + ".log"}, dir + "x_" + d + "_1.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        resetLoggerForTests();
        for (const std::string& f : c.full) writeFile(f, std::string(20, 'x'));
        // Without a level the settings are taken but nothing is written.
        fs::path ini = writeIni("Log File=" + c.logFile + "\nLog MaxSize=10\n");
        ASSERT_EQ(initLog(ini.c_str()), kLogIniNoKey);
        std::string name;
        std::string stamp;
        buildLogFileName(name, stamp);
        EXPECT_EQ(name, c.expected);
        EXPECT_TRUE(
            std::regex_match(stamp, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})")))
            << stamp;
        for (const std::string& f : c.full) fs::remove(f);
    }
}

TEST_F(LoggerTest, PathTooLongForTheIndexDoesNotRotateForever) {
    // The longest "Log File" a line holds (127 characters with the key): with the date the
    // name fills the 127-character limit, so an index would be cut off again.
    std::string folder = sandbox.tempDir().string() + "/";
    std::string logFile = folder + std::string(127 - 9 - folder.size(), 'n');
    fs::path ini = writeIni("Log File=" + logFile + "\nLog MaxSize=10\nLog Level=5\n");
    std::string name = logFile + "_" + today();
    ASSERT_EQ(name.size(), 127u);
    writeFile(name, std::string(100, 'x'));
    ASSERT_EQ(initLog(ini.c_str()), 0);
    EXPECT_GT(fs::file_size(name), 100u);
}

// Other programs hold "Global\VZLog" while they write: a line waits for them.
TEST_F(LoggerTest, LineWaitsForTheSharedLogMutex) {
    fs::path ini = writeIni(logFileLine() + "Log Level=5\n");
    ASSERT_EQ(initLog(ini.c_str()), 0);
    SharedLogLockHolder holder;
    ASSERT_TRUE(holder.holds());
    auto writing = std::async(std::launch::async, [] { return logPrint(5, "after the holder"); });
    EXPECT_EQ(writing.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(linesOf(logPath()).size(), 1u);
    holder.release();
    EXPECT_EQ(writing.get(), 0);
    EXPECT_EQ(linesOf(logPath()).size(), 2u);
}

// In a folder every user writes to, a link planted under the log's name is not followed.
TEST_F(LoggerTest, InASharedFolderAPlantedLinkIsNotWrittenThrough) {
    const fs::path shared = sandbox.tempDir() / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    const fs::path victim = sandbox.root() / "victim";
    const fs::path log = shared / ("app_" + today() + ".log");
    fs::path ini = writeIni("Log File=" + (shared / "app.log").string() + "\nLog Level=5\n");
    for (bool hard : {false, true}) {
        SCOPED_TRACE(hard ? "hard link" : "symbolic link");
        resetLoggerForTests();
        writeFile(victim, "secret\n");
        if (hard) {
            fs::create_hard_link(victim, log);
        } else {
            fs::create_symlink(victim, log);
        }
        ASSERT_EQ(initLog(ini.c_str()), 0);
        EXPECT_EQ(logPrint(5, "dropped"), 0);
        EXPECT_EQ(readFile(victim), "secret\n");
        fs::remove(log);
    }
    // Nothing planted: the log is made for us alone.
    resetLoggerForTests();
    ASSERT_EQ(initLog(ini.c_str()), 0);
    EXPECT_EQ(linesOf(log).size(), 1u);
    EXPECT_EQ(fs::status(log).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// In any folder, shared or not, whatever someone put under the log's name first is never
// written: not through a link, not into another user's file, and a FIFO holds nothing up,
// neither at today's name nor at the next rotation's.
TEST_F(LoggerTest, APlantedLogInAnyFolderIsNotWrittenAndHoldsNothingUp) {
    const fs::path folder = sandbox.root() / "plain";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::all);  // writable by all, not sticky
    const fs::path victim = sandbox.root() / "victim";
    const fs::path log = folder / ("app_" + today() + ".log");
    const fs::path next = folder / ("app_" + today() + "_1.log");
    fs::path ini =
        writeIni("Log File=" + (folder / "app.log").string() + "\nLog MaxSize=10\nLog Level=5\n");
    struct Case {
        const char* name;
        fs::path at;
        std::function<void(const fs::path&)> plant;
    } cases[] = {
        {"symbolic link", log, [&](const fs::path& at) { fs::create_symlink(victim, at); }},
        {"hard link", log, [&](const fs::path& at) { fs::create_hard_link(victim, at); }},
        {"another user's file open to all", log,
         [&](const fs::path& at) {
             writeFile(at, "");
             chmod(at.c_str(), 0666);
             ASSERT_EQ(chown(at.c_str(), kOtherUid, kOtherUid), 0);
         }},
        {"FIFO", log, [&](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); }},
        {"FIFO at the next rotation name", next,
         [&](const fs::path& at) {
             writeFile(log, "already past the size limit\n");
             chmod(log.c_str(), 0600);
             ASSERT_EQ(mkfifo(at.c_str(), 0666), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name).starts_with("another user") && geteuid() != 0) continue;
        writeFile(victim, "secret\n");
        c.plant(c.at);
        struct stat before {};
        ASSERT_EQ(lstat(c.at.c_str(), &before), 0);
        EXPECT_TRUE(endsWithin(
            [&] {
                resetLoggerForTests();
                if (initLog(ini.c_str()) != 0 || logPrint(5, "dropped") != 0) _exit(1);
            },
            std::chrono::seconds(20)))
            << "the logger hung or failed";
        EXPECT_EQ(readFile(victim), "secret\n");
        struct stat after {};
        ASSERT_EQ(lstat(c.at.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size) << "written into";
        fs::remove(log);
        fs::remove(next);
    }
}

// Whatever a value holds, it stays on its line: control characters become visible escapes,
// other text (backslashes, UTF-8) is kept as it is.
TEST_F(LoggerTest, NoLoggedValueCanStartALine) {
    fs::path ini = writeIni(logFileLine() + "Log Level=5\n");
    struct Case {
        const char* value;
        const char* written;
    } cases[] = {
        {"Echo\ntouch /tmp/x #", "Echo\\ntouch /tmp/x #"},
        {"a\r\nb", "a\\r\\nb"},
        {"tab\there", "tab\\there"},
        {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
        {"bell\a del\x7f", "bell\\x07 del\\x7f"},
        {"next line \xc2\x85 here", "next line \\xc2\\x85 here"},
        {"C:\\tmp\\x.ini caf\xc3\xa9 \xc2\xa0", "C:\\tmp\\x.ini caf\xc3\xa9 \xc2\xa0"},
    };
    resetLoggerForTests();
    ASSERT_EQ(initLog(ini.c_str()), 0);
    for (const Case& c : cases) ASSERT_EQ(logPrint(5, "value: %s", c.value), 0);
    std::vector<std::string> lines = linesOf(logPath());
    ASSERT_EQ(lines.size(), 1u + std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string& line = lines[i + 1];
        const std::string expected = std::string("value: ") + cases[i].written;
        ASSERT_GE(line.size(), expected.size()) << line;
        EXPECT_EQ(line.substr(line.size() - expected.size()), expected);
    }
}

TEST_F(LoggerTest, ConcurrentWritersRotateWithoutLosingOrBreakingLines) {
    fs::path ini = writeIni(logFileLine() + "Log MaxSize=4000\nLog Level=5\n");
    ASSERT_EQ(initLog(ini.c_str()), 0);
    constexpr int kThreads = 4;
    constexpr int kLines = 150;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) logPrint(5, "writer %d line %03d", t, i);
        });
    for (std::thread& w : writers) w.join();

    const std::regex line(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[DEBUG\] \[\d{5}-\d{5}\] (writer \d line \d{3}|Log Enable .*)$)");
    std::size_t total = 0;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(sandbox.tempDir())) {
        if (entry.path().extension() != ".log") continue;
        ++files;
        EXPECT_LE(fs::file_size(entry.path()), 4000u + 4u * 80u) << entry.path();
        for (const std::string& l : linesOf(entry.path())) {
            ++total;
            EXPECT_TRUE(std::regex_match(l, line)) << l;
        }
    }
    EXPECT_EQ(total, 1u + kThreads * kLines);
    EXPECT_GT(files, 5);
}

TEST_F(LoggerTest, MissingLogFolderDropsLinesQuietly) {
    fs::path ini = writeIni("Log File=" + (sandbox.tempDir() / "nowhere/app.log").string() +
                            "\nLog Level=5\n");
    ASSERT_EQ(initLog(ini.c_str()), 0);
    EXPECT_EQ(logPrint(5, "lost"), 0);
    EXPECT_FALSE(fs::exists(sandbox.tempDir() / "nowhere"));
}

}  // namespace
