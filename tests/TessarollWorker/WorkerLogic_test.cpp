// The worker's decisions that need no other program: which option a command text selects,
// how the uninstall arguments are put together, how folders are listed, how a root
// certificate text is read, and how Firefox's policy file is merged. (What the user's roots
// vouch for: tests/certs/UserCredentials_test.cpp.)
#include <gtest/gtest.h>

#include <gnutls/x509.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "TessarollWorker/Worker.h"
#include "certs/TestCertificates.h"
#include "doubles/LogCapture/LogCapture.h"
#include "helpers/Sandbox.h"
#include "platform/TrustStore.h"

namespace fs = std::filesystem;
using testing_support::Sandbox;
using testing_support::writeFile;

TEST(WorkerOptions, ExactOptionsIgnoreCaseAndPrefixOptionsKeepIt) {
    struct Case {
        const char* command;
        std::optional<WorkerOption> option;
    };
    const Case cases[] = {
        {"-start", WorkerOption::Start},
        {"-START", WorkerOption::Start},
        {"-start now", std::nullopt},  // exact options take the whole text
        {" -start", std::nullopt},
        {"-Stop", WorkerOption::Stop},
        {"-restart", WorkerOption::Restart},
        {"-AllStop", WorkerOption::AllStop},
        {"-reset", WorkerOption::Reset},
        {"-monitorStart", WorkerOption::MonitorStart},
        {"-watchdog", WorkerOption::Watchdog},
        {"-WATCHDOG", WorkerOption::Watchdog},
        {"-importrootcacert", WorkerOption::ImportRootCACert},
        {"-uninstalldetect a.exe b", WorkerOption::UninstallDetect},
        {"-uninstalldetect", WorkerOption::UninstallDetect},
        {"-UninstallDetect a.exe b", std::nullopt},  // prefix options count letter case
        {"-delete /tmp/x", WorkerOption::Delete},
        {"-deleteall", WorkerOption::Delete},
        {"-Delete /tmp/x", std::nullopt},
        {"-KeyToByte key.pem", WorkerOption::KeyToByte},
        {"-keytobyte key.pem", std::nullopt},
        {"", std::nullopt},
        {"-help", std::nullopt},
        {"start", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(matchWorkerOption(c.command), c.option) << c.command;
    }
    for (WorkerOption locked :
         {WorkerOption::Start, WorkerOption::Stop, WorkerOption::Restart, WorkerOption::AllStop,
          WorkerOption::Reset, WorkerOption::MonitorStart})
        EXPECT_TRUE(takesWorkerLock(locked));
    for (WorkerOption free :
         {WorkerOption::UninstallDetect, WorkerOption::Delete, WorkerOption::KeyToByte,
          WorkerOption::Watchdog, WorkerOption::ImportRootCACert})
        EXPECT_FALSE(takesWorkerLock(free));
}

TEST(WorkerOptions, CommandTextJoinsTheArgumentsWithSingleBlanks) {
    char program[] = "worker", a[] = "-delete", b[] = "/tmp/my folder/f.txt";
    char* argv[] = {program, a, b};
    EXPECT_EQ(commandTextFromArguments(3, argv), "-delete /tmp/my folder/f.txt");
    EXPECT_EQ(commandTextFromArguments(1, argv), "");
}

TEST(UninstallArguments, PathsWithBlanksStayWhole) {
    struct Case {
        const char* text;
        std::size_t tokens;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"/opt/z/uninst.exe /opt/z/Au_.exe", 2, {"/opt/z/uninst.exe", "/opt/z/Au_.exe"}},
        {"/opt/my app/uninst.exe _?=/opt/my app", 4, {"/opt/my app/uninst.exe", "_?=/opt/my app"}},
        {"\"/opt/my app/uninst.exe\" x.exe", 3, {"/opt/my app/uninst.exe", "x.exe"}},
        {"/opt/z/uninst.exe", 1, {"/opt/z/uninst.exe"}},
        {"a  b", 2, {"a b"}},
        {"", 0, {}},
        // The 16th token keeps the rest of the text.
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 u.exe",
         16,
         {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 u.exe"}},
    };
    for (const Case& c : cases) {
        std::size_t tokens = 99;
        EXPECT_EQ(splitUninstallArguments(c.text, tokens), c.arguments) << c.text;
        EXPECT_EQ(tokens, c.tokens) << c.text;
    }
}

class ListFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = sandbox.root() / "install";
        for (const char* file : {"a.so", "B.SO", "readme.txt", "ZEFAGPKI/adapter.so",
                                 "ZEFAGPKI/deep/more.so", "odd.so/inner.so", "odd.so/notes.txt"})
            writeFile(root / file, "x");
    }
    std::vector<std::string> list(const std::string& pattern, bool expected = true) {
        std::vector<std::string> out{"stale"};
        EXPECT_EQ(listFiles(root.string(), pattern, out), expected) << pattern;
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string at(const char* relative) const { return (root / relative).string(); }
    Sandbox sandbox;
    fs::path root;
};

TEST_F(ListFilesTest, StarWalksTheWholeTree) {
    EXPECT_EQ(list("*"),
              (std::vector<std::string>{
                  at("B.SO"), at("ZEFAGPKI/adapter.so"), at("ZEFAGPKI/deep/more.so"), at("a.so"),
                  at("odd.so/inner.so"), at("odd.so/notes.txt"), at("readme.txt")}));
}

TEST_F(ListFilesTest, APatternEntersOnlyFoldersItMatches) {
    // Letter case is ignored as in file-name matching; "odd.so" is entered, ZEFAGPKI is not.
    EXPECT_EQ(list("*.so"),
              (std::vector<std::string>{at("B.SO"), at("a.so"), at("odd.so/inner.so")}));
}

TEST_F(ListFilesTest, AFolderThatCannotBeSearchedOrMatchesNothingFails) {
    std::vector<std::string> out;
    EXPECT_FALSE(listFiles((root / "missing").string(), "*", out));
    // "odd.so" is entered but holds nothing that ends in ".dll".
    EXPECT_FALSE(listFiles(root.string(), "*.dll", out));
    fs::create_directories(root / "empty");
    EXPECT_TRUE(listFiles((root / "empty").string(), "*", out));
    EXPECT_TRUE(out.empty());
}

TEST(KeyToByte, BytesAsUpperCaseHexWithoutLeadingZeros) {
    EXPECT_EQ(keyToByteText("AB", false), "byte ECKey[] = { 0x41, 0x42};");
    EXPECT_EQ(keyToByteText("\xC8\x05\n", true), "byte RSAKey[] = { 0xC8, 0x5, 0xA};");
}

TEST(RootCertificateText, TheBuiltInRootsDecodeAndDamagedOnesDoNot) {
    for (const char* pem : {eccRootCertificate, rsaRootCertificate}) {
        int error = -1;
        auto der = decodeCertificateText(pem, error);
        ASSERT_TRUE(der);
        EXPECT_EQ(error, 0);
        EXPECT_EQ((*der)[0], 0x30);
    }
    std::string pem = eccRootCertificate;
    struct Case {
        std::string text;
        int error;
    };
    std::string damaged = pem;
    damaged[pem.find('\n', 30) + 5] = '*';
    std::string shortened = pem;
    shortened.erase(pem.find('\n', 30) + 1,
                    65);  // one Base64 line less: the DER length no longer fits
    const Case cases[] = {
        {damaged, EINVAL},
        {shortened, EBADMSG},
        {"-----BEGIN CERTIFICATE-----\nMIIB", EINVAL},  // no END line
        {"", EINVAL},
        {"QUJD", EBADMSG},  // Base64 of "ABC": not a DER structure
    };
    for (const Case& c : cases) {
        int error = 0;
        EXPECT_FALSE(decodeCertificateText(c.text, error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(RootCertificateText, ADamagedRootIsLoggedAndNotImported) {
    testing_support::LogCapture log;
    std::string damaged = eccRootCertificate;
    damaged[damaged.find('\n', 30) + 5] = '#';
    EXPECT_EQ(importRootCA(damaged.c_str(), "ZEFAGPKITessaroll-ECC-root.pem"), 0);
    EXPECT_TRUE(log.contains("[Error] Parse root CA failed: " + std::to_string(EINVAL)));
    EXPECT_EQ(importRootCA(nullptr, "ZEFAGPKITessaroll-ECC-root.pem"), 0);
}

TEST(FirefoxPolicy, TheRootFilesAreAddedOnceAndEverythingElseStays) {
    const std::vector<std::string> files = {"/c/a.crt", "/c/b.crt"};
    struct Case {
        const char* before;
        std::optional<std::string> after;
    };
    const Case cases[] = {
        {"{}", R"({"policies": {"Certificates": {"Install": ["/c/a.crt", "/c/b.crt"]}}})"},
        {R"({"policies": {"DisableTelemetry": true}})",
         R"({"policies": {"Certificates": {"Install": ["/c/a.crt", "/c/b.crt"]}, "DisableTelemetry": true}})"},
        {R"({"policies": {"Certificates": {"ImportEnterpriseRoots": true}}})",
         R"({"policies": {"Certificates": {"Install": ["/c/a.crt", "/c/b.crt"], "ImportEnterpriseRoots": true}}})"},
        {" {\"policies\": {\"Certificates\": {\"Install\": [\"own.pem\", \"/c/b.crt\"]}}}\n",
         " {\"policies\": {\"Certificates\": {\"Install\": [\"own.pem\", \"/c/b.crt\", "
         "\"/c/a.crt\"]}}}\n"},
        {R"({"policies": {"Certificates": {"Install": []}}, "x": [1, {"y": 2}]})",
         R"({"policies": {"Certificates": {"Install": ["/c/a.crt", "/c/b.crt"]}}, "x": [1, {"y": 2}]})"},
        {R"({"x": {"policies": 1}})",
         R"({"policies": {"Certificates": {"Install": ["/c/a.crt", "/c/b.crt"]}}, "x": {"policies": 1}})"},
        // Already there: nothing changes.
        {R"({"policies":{"Certificates":{"Install":["/c/a.crt","/c/b.crt"]}}})",
         R"({"policies":{"Certificates":{"Install":["/c/a.crt","/c/b.crt"]}}})"},
        // Not a policy file that can be merged: left alone.
        {"", std::nullopt},
        {"{\"policies\": ", std::nullopt},
        {"[]", std::nullopt},
        {"{} {}", std::nullopt},
        {R"({"policies": []})", std::nullopt},
        {R"({"policies": {"Certificates": {"Install": "/c/a.crt"}}})", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(withInstalledCertificates(c.before, files), c.after) << c.before;
}
