#include "TessarollUtil/System.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>
#include <thread>

#include "doubles/LogCapture/LogCapture.h"
#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"
#include "platform/OsVersion.h"
#include "platform/User.h"

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::LogCapture;
using testing_support::Sandbox;
using testing_support::waitUntil;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

const char* const kHolder =
    TESSAROLL_BINARY_DIR "/tests/doubles/MutexHolder/tessaroll_mutex_holder";

std::time_t utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return timegm(&fields);
}

TEST(SystemTime, TimeValueCountsSecondsAcrossMonthAndYearEnds) {
    EXPECT_EQ(getTimeValueAt(utc(2015, 1, 1, 0, 0, 0)), 0);
    EXPECT_EQ(getTimeValueAt(utc(2025, 1, 1, 0, 0, 0)), 3653LL * 86400);
    // The last second before each boundary and the first after it: one apart.
    const std::time_t boundaries[] = {
        utc(2024, 4, 1, 0, 0, 0),    // month end
        utc(2025, 1, 1, 0, 0, 0),    // year end
        utc(2024, 2, 29, 0, 0, 0),   // into a leap day
        utc(2024, 3, 1, 0, 0, 0),    // out of it
        utc(2101, 1, 1, 0, 0, 0),    // after a century year without a leap day
        utc(2038, 1, 19, 3, 14, 8),  // past 32 bits of seconds
    };
    for (std::time_t boundary : boundaries) {
        EXPECT_EQ(getTimeValueAt(boundary) - getTimeValueAt(boundary - 1), 1) << boundary;
    }
    // A message sent at 23:59:59 on the last of a month and received a second later is
    // not from the future, nor more than 2 seconds old.
    const int64_t sent = getTimeValueAt(utc(2024, 3, 31, 23, 59, 59));
    const int64_t received = getTimeValueAt(utc(2024, 4, 1, 0, 0, 0));
    EXPECT_LE(static_cast<uint64_t>(received - sent), 2u);
}

TEST(SystemTime, TimeValueAndItsHexTextFollowTheClock) {
    const int64_t before = getTimeValue();
    const std::string hex = getTimeValueHex();
    const int64_t after = getTimeValue();
    EXPECT_NEAR(static_cast<double>(before), static_cast<double>(std::time(nullptr) - 1420070400),
                2.0);
    const long long parsed = std::stoll(hex, nullptr, 16);
    EXPECT_GE(parsed, before);
    EXPECT_LE(parsed, after);
    EXPECT_TRUE(
        std::regex_match(hex, std::regex("[1-9a-f][0-9a-f]*")));  // lower case, no leading zeros
}

TEST(SystemTime, TimeTextHasTwoDigitFields) {
    const char* oldZone = std::getenv("TZ");
    std::string saved = oldZone ? oldZone : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(getTimeTextAt(utc(2024, 3, 5, 9, 7, 2)), "2024-03-05 09-07-02");
    EXPECT_EQ(getTimeTextAt(utc(2025, 12, 31, 23, 59, 59)), "2025-12-31 23-59-59");
    if (oldZone)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_TRUE(std::regex_match(getTimeText(), std::regex(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d)")));
}

TEST(SystemVersion, NameOfTheFirstBitSet) {
    struct Case {
        uint32_t mask;
        const char* name;
    } cases[] = {
        {0x204000, "Windows10"},          {0x3, "WindowsXP"},
        {0x100000, "UnknowOS"},           {0, "UnknowOS"},
        {0x208000, "Windows11"},          {0x2000, "WindowsServer2016"},
        {0x1000, "Windows8.1"},           {kOsLinux | kOs64Bit, "Linux"},
        {kOsLinux | 0x4000, "Windows10"},
    };
    for (const auto& c : cases) EXPECT_EQ(getOSName(c.mask), c.name) << std::hex << c.mask;
    EXPECT_EQ(getOSVersion() & kOsLinux, kOsLinux);
    EXPECT_EQ(getOSName(), "Linux");
}

TEST(SystemFolders, CopyPathTempPathAndDesktop) {
    Sandbox sandbox;
    const std::string data = sandbox.dataHome().string();
    EXPECT_EQ(getCopyPath("ZEFAGPKITessaroll"), data + "/ZEFAGPKITessaroll");
    EXPECT_EQ(copyPath, data + "/ZEFAGPKITessaroll");
    EXPECT_EQ(getCopyPath(""), data);
    const std::string longPath = getCopyPath(std::string(400, 'x'));
    EXPECT_EQ(longPath.size(), 259u);
    EXPECT_EQ(copyPath, longPath);

    EXPECT_EQ(getUserTempPath(), sandbox.tempDir().string() + "/");
    EXPECT_EQ(getDesktopPath(), sandbox.desktopDir().string());
    ASSERT_TRUE(getModuleFolder());
    EXPECT_TRUE(fs::is_regular_file(*getModuleFolder() + "/TessarollUtil_tests"));
}

TEST(SystemFiles, ExistenceAndWholeTextReads) {
    LogCapture log;
    Sandbox sandbox;
    const fs::path root = sandbox.root();
    fs::create_directories(root / "folder");
    ASSERT_TRUE(writeTextFile((root / "fresh.txt").string(), "x"));
    EXPECT_TRUE(fileExists((root / "fresh.txt").string()));
    EXPECT_FALSE(fileExists((root / "folder").string()));
    EXPECT_FALSE(fileExists((root / "missing/fresh.txt").string()));

    struct Case {
        std::string content;
        std::optional<std::string> text;
    } cases[] = {
        {std::string(2000, 'L') + "\nend",
         std::string(2000, 'L') + "\nend"},  // longer than one 511-byte read
        {"a\r\nb\r\n", "a\nb\n"},
        {std::string("ab\0cd\nef", 8), "abef"},  // a zero byte cuts the line it stands in
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        writeFile(root / "read.txt", c.content);
        EXPECT_EQ(readTextFile((root / "read.txt").string()), c.text) << c.content.substr(0, 10);
    }
    log.take();
    EXPECT_FALSE(readTextFile((root / "missing.txt").string()));
    auto lines = log.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[Warning] Read file pointer is null"), std::string::npos);

    ASSERT_TRUE(writeTextFile((root / "fresh.txt").string(), "replaced"));
    EXPECT_EQ(readTextFile((root / "fresh.txt").string()), "replaced");
    EXPECT_FALSE(writeTextFile("", "x"));
    EXPECT_FALSE(writeTextFile((root / "missing/x.txt").string(), "x"));
}

TEST(SystemFiles, CreatePathFoldersMakesEveryLevelButTheLast) {
    Sandbox sandbox;
    const fs::path base = sandbox.tempDir();
    logIniPath = (base / "a/b/c/ZEFAGPKITessaroll.ini").string();
    EXPECT_TRUE(createPathFolders());
    EXPECT_TRUE(fs::is_directory(base / "a/b/c"));
    EXPECT_FALSE(fs::exists(base / "a/b/c/ZEFAGPKITessaroll.ini"));
    logIniPath = (base / "d/e/").string();
    EXPECT_TRUE(createPathFolders());
    EXPECT_TRUE(fs::is_directory(base / "d/e"));
    logIniPath.clear();
    EXPECT_TRUE(createPathFolders());
}

std::unique_ptr<NamedMutex> lockOnOtherThread(const std::string& name, uint32_t wait) {
    return std::async(std::launch::async,
                      [&] {
                          auto mutex = lockUserMutex(name, wait);
                          if (mutex) mutex->release();
                          return mutex;
                      })
        .get();
}

TEST(SystemMutex, UserMutexIsRecursiveForItsThreadAndBusyForOthers) {
    Sandbox sandbox;
    auto first = lockUserMutex("ZEFAGPKITessarollMonitor.exe", 0);
    auto second = lockUserMutex("ZEFAGPKITessarollMonitor.exe", 2000);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(first->name(), *currentUserName() + "_ZEFAGPKITessarollMonitor.exe");
    EXPECT_FALSE(lockOnOtherThread("ZEFAGPKITessarollMonitor.exe", 0));
    EXPECT_FALSE(lockOnOtherThread("ZEFAGPKITessarollMonitor.exe", 100));
    EXPECT_TRUE(lockOnOtherThread("ZEFAGPKITessarollWatchdog", 0));
    first->release();
    second->release();
    EXPECT_TRUE(lockOnOtherThread("ZEFAGPKITessarollMonitor.exe", 0));
}

TEST(SystemMutex, AnotherProcessSignalsByHoldingAndAbandonsByDying) {
    Sandbox sandbox;
    const std::string name = "ZEFAGPKITessarollMain.exeTessarollInstruction_Stop";
    ChildProcess child(kHolder, {*currentUserName() + "_" + name, "hold"});
    ASSERT_TRUE(waitUntil([&] { return child.output().find("held") != std::string::npos; }))
        << child.errors();

    EXPECT_FALSE(lockUserMutex(name, 0));  // the signal is seen
    EXPECT_FALSE(lockUserMutex(name, 200));
    child.kill();
    ASSERT_TRUE(child.wait(10s));

    // Abandoned is no signal: the next one takes it over and holds it.
    auto mutex = lockUserMutex(name, 0);
    ASSERT_TRUE(mutex);
    EXPECT_FALSE(lockOnOtherThread(name, 0));
    mutex->release();
    EXPECT_TRUE(lockOnOtherThread(name, 0));
}

TEST(SystemPorts, ALoopbackListenerIsInUse) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    EXPECT_TRUE(isPortInUse(port, false));
    EXPECT_FALSE(isPortInUse(port, true));
    close(fd);
    EXPECT_FALSE(isPortInUse(port, false));
    EXPECT_FALSE(isPortInUse(-1, false));
    EXPECT_FALSE(isPortInUse(70000, false));
}

TEST(SystemRandom, InstanceIdFromRandomBytes) {
    const std::regex form("[0-9A-Z]{8}_SID");
    const std::string first = makeInstanceId();
    const std::string second = makeInstanceId();
    EXPECT_TRUE(std::regex_match(first, form)) << first;
    EXPECT_NE(first, second);

    unsigned char buffer[32] = {};
    EXPECT_TRUE(generateRandomBytes(buffer, sizeof buffer));
    EXPECT_TRUE(generateRandomBytes(nullptr, 0));
    EXPECT_FALSE(generateRandomBytes(nullptr, 4));
}

}  // namespace
