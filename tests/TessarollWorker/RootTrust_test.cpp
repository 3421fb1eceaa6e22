// "-importRootCACert" with the real stores and programs: the staged worker runs with a
// sandbox HOME, as root inside private-stores.sh (so the system trust store and Firefox's
// policy it may touch are the sandbox's own) or as an unprivileged user. The sandbox's
// credential folder holds the tests' set (or none, and the worker makes the user's own).
// What the stores hold is read back with certutil and from the files; Chromium and Firefox
// then reach the running service without any certificate error ignored, and the system
// store vouches for nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Tessaroll/ServiceFixture.h"
#include "certs/TestCertificates.h"
#include "helpers/ChildProcess.h"
#include "helpers/PageServer.h"
#include "helpers/Sandbox.h"
#include "platform/TrustStore.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testing_support;

namespace {

constexpr const char* kPrivateStores =
    TESSAROLL_SOURCE_DIR "/tests/TessarollWorker/private-stores.sh";
constexpr uid_t kUnprivileged = 65534;

struct Root {
    const char* pem;
    std::vector<unsigned char> der;
    std::string nickname;
    std::string firefoxFile;  // the bare name in Firefox's certificate folder and policy
};

// The roots of the tests' set, which every sandbox's credential folder starts with.
std::vector<Root> placedRoots() {
    std::vector<Root> roots;
    for (auto [pem, file] : {std::pair{eccRootCertificate, "ZEFAGPKITessaroll-ECC-root.pem"},
                             std::pair{rsaRootCertificate, "ZEFAGPKITessaroll-RSA-root.pem"}}) {
        int error = 0;
        auto der = decodeCertificateText(pem, error).value();
        roots.push_back({pem, der, RootStore::nickname(der), file});
    }
    return roots;
}

// Output of one program run to its end (fails the test when it does not end in time).
std::string outputOf(const std::vector<std::string>& command, int expectedCode = 0) {
    ChildProcess process(command.front(), {command.begin() + 1, command.end()});
    auto code = process.wait(60s);
    EXPECT_EQ(code, std::optional<int>(expectedCode)) << command.back() << "\n" << process.errors();
    return process.output();
}

std::string nssListing(const fs::path& folder) {
    return outputOf({"/usr/bin/certutil", "-L", "-d", "sql:" + folder.string()});
}

// The worker and everything else that must see the sandbox's private system stores.
class Importer {
public:
    explicit Importer(const Sandbox& sandbox)
        : sandbox_(sandbox), logFolder_(sandbox.tempDir() / "log") {
        fs::create_directories(logFolder_);
        // The service, when a test runs one, has written the same; worker lines join its log.
        const fs::path ini = sandbox.windowsDir() / "ZEFAGPKITessaroll.ini";
        if (!fs::exists(ini))
            writeFile(ini,
                      "[ZEFAGPKITessaroll]\nLog File=" + (logFolder_ / "service.log").string() +
                          "\nLog Level=5\nLog MaxSize=100000000\n");
    }

    // The upper layers of the private /etc and /usr/local/share: what was written there.
    fs::path etc() const { return state() / "etc/upper"; }
    fs::path localCertificates() const { return state() / "local/upper/ca-certificates"; }
    std::string bundle() const { return readFile(etc() / "ssl/certs/ca-certificates.crt"); }
    std::string policy() const { return readFile(etc() / "firefox/policies/policies.json"); }

    // One import run; `user` other than root runs it with that uid and gid.
    void import(uid_t user = 0, std::map<std::string, std::string> environment = {}) {
        std::vector<std::string> command = {kPrivateStores, state().string()};
        if (user != 0)
            command.insert(command.end(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(user),
                                           "--regid=" + std::to_string(user), "--clear-groups"});
        command.insert(command.end(),
                       {(fs::path(TESSAROLL_STAGE_DIR) / "ZEFAGPKITessarollWorker").string(),
                        "-importRootCACert"});
        ChildProcess worker(command.front(), {command.begin() + 1, command.end()}, environment);
        EXPECT_EQ(worker.wait(120s), std::optional<int>(0)) << worker.errors();
    }
    // A program run inside the same private stores.
    std::vector<std::string> inStores(std::vector<std::string> command) const {
        command.insert(command.begin(), {kPrivateStores, state().string()});
        return command;
    }

    // The worker's lines of the log, without the service's.
    std::string log() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(logFolder_)) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        std::string lines;
        for (const auto& file : files) {
            std::istringstream in(readFile(file));
            for (std::string line; std::getline(in, line);)
                if (line.find("[TessarollWorker-") != std::string::npos) lines += line + "\n";
        }
        return lines;
    }

private:
    fs::path state() const { return sandbox_.root() / "stores"; }
    const Sandbox& sandbox_;
    fs::path logFolder_;
};

void makeNssDatabase(const fs::path& folder) {
    fs::create_directories(folder);
    outputOf({"/usr/bin/certutil", "-N", "-d", "sql:" + folder.string(), "--empty-password"});
}

// A certificate the user trusted before: the build's localhost certificate stands in.
constexpr const char* kUsersOwn = "company root of the user";
void addUsersOwnCertificate(const fs::path& folder) {
    outputOf({"/usr/bin/certutil", "-A", "-d", "sql:" + folder.string(), "-n", kUsersOwn, "-t",
              "CT,,", "-i",
              (fs::path(TESSAROLL_BINARY_DIR) / "generated/certs/ec_server.pem").string()});
}

void expectRootsOnceIn(const fs::path& folder) {
    const std::string listing = nssListing(folder);
    EXPECT_EQ(countOf(listing, "ZEFAGPKITessaroll root "), 2u) << folder << "\n" << listing;
    for (const Root& root : placedRoots())
        EXPECT_EQ(countOf(listing, root.nickname + " "), 1u) << folder;
}

class RootImport : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the private system stores need root";
    }
    Sandbox sandbox;
};

TEST_F(RootImport, TheRootsGoToTheNssDatabaseNssPicksAndWhatItHeldStays) {
    struct Case {
        const char* name;
        bool legacy;  // ~/.pki/nssdb exists before
        bool xdg;     // $XDG_DATA_HOME/pki/nssdb exists before, with the user's own certificate
        bool rootsInLegacy;
    };
    const Case cases[] = {
        {"only the XDG database", false, true, false},
        {"both databases", true, true, true},
        {"no database", false, false, false},
        {"only the old database", true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox home;
        Importer importer(home);
        const fs::path legacy = home.home() / ".pki/nssdb";
        const fs::path xdg = home.dataHome() / "pki/nssdb";
        if (c.legacy) makeNssDatabase(legacy);
        if (c.xdg) {
            makeNssDatabase(xdg);
            addUsersOwnCertificate(xdg);
        }
        importer.import();

        expectRootsOnceIn(c.rootsInLegacy ? legacy : xdg);
        if (c.rootsInLegacy && c.xdg) {
            EXPECT_EQ(countOf(nssListing(xdg), "ZEFAGPKITessaroll root "), 0u);
        }
        if (!c.legacy) {
            EXPECT_FALSE(fs::exists(home.home() / ".pki"));
        }
        if (c.xdg) {
            EXPECT_NE(nssListing(xdg).find(kUsersOwn), std::string::npos);
        }
        EXPECT_EQ(importer.log().find("failed"), std::string::npos) << importer.log();
    }
}

// Hands the sandbox's home and temporary folder to the unprivileged user, as a user owns them.
void giveHomeToTheUnprivilegedUser(const Sandbox& sandbox) {
    fs::permissions(sandbox.root(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    for (const fs::path& top : {sandbox.home(), sandbox.tempDir()}) {
        ASSERT_EQ(::chown(top.c_str(), kUnprivileged, kUnprivileged), 0);
        for (const auto& entry : fs::recursive_directory_iterator(top))
            ASSERT_EQ(::lchown(entry.path().c_str(), kUnprivileged, kUnprivileged), 0)
                << entry.path();
    }
}

TEST_F(RootImport, AsAnUnprivilegedUserOnlyTheUsersStoresChangeAndOneLineSaysSo) {
    Importer importer(sandbox);
    const fs::path profile = sandbox.home() / ".mozilla/firefox/abc.default";
    fs::create_directories(profile);
    writeFile(sandbox.home() / ".mozilla/firefox/profiles.ini",
              "[Profile0]\nName=default\nIsRelative=1\nPath=abc.default\n");
    giveHomeToTheUnprivilegedUser(sandbox);

    for (int run = 0; run < 2; ++run) importer.import(kUnprivileged);

    expectRootsOnceIn(sandbox.dataHome() / "pki/nssdb");
    expectRootsOnceIn(profile);
    const std::string log = importer.log();
    EXPECT_EQ(countOf(log,
                      "[Normal] Not run as root: the Firefox policy is left alone, the roots go to "
                      "this user's NSS database and Firefox profiles"),
              2u)
        << log;
    EXPECT_EQ(log.find("failed"), std::string::npos) << log;
    for (const Root& root : placedRoots())
        EXPECT_EQ(readFile(sandbox.home() / ".mozilla/certificates" / root.firefoxFile),
                  std::string(root.pem));
    EXPECT_FALSE(fs::exists(importer.localCertificates()));
    EXPECT_FALSE(fs::exists(importer.etc() / "firefox"));
    EXPECT_FALSE(fs::exists(importer.etc() / "ssl/certs/ca-certificates.crt"));
}

// Root with another user's HOME (sudo keeping the environment) would leave that user a
// database owned by root, which the user's browsers cannot read.
TEST_F(RootImport, AsRootWithAnotherUsersHomeOnlyTheFirefoxPolicyChanges) {
    Importer importer(sandbox);
    giveHomeToTheUnprivilegedUser(sandbox);
    importer.import();
    const std::string log = importer.log();
    EXPECT_EQ(countOf(log,
                      "[Normal] The home folder belongs to another user: its NSS database and "
                      "Firefox profiles are left alone"),
              1u)
        << log;
    EXPECT_EQ(log.find("failed"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(sandbox.dataHome() / "pki"));
    EXPECT_FALSE(fs::exists(sandbox.home() / ".mozilla"));
    const std::string policy = importer.policy();
    for (const Root& root : placedRoots())
        EXPECT_EQ(countOf(policy, "\"" + root.firefoxFile + "\""), 1u) << policy;
    EXPECT_FALSE(fs::exists(importer.etc() / "ssl/certs/ca-certificates.crt"));
}

TEST_F(RootImport, AStoreThatCannotBeWrittenIsLoggedForEachRootAndTheOthersStillGetThem) {
    Importer importer(sandbox);
    // Firefox's certificate folder cannot be made: a file holds its place.
    writeFile(sandbox.home() / ".mozilla/certificates", "not a folder");
    importer.import();
    const std::string log = importer.log();
    EXPECT_EQ(countOf(log, "[Error] Import root CA failed: " + std::to_string(ENOTDIR)), 2u) << log;
    EXPECT_NE(log.find("[Error] Import root CA failed ECC"), std::string::npos);
    EXPECT_NE(log.find("[Error] Import root CA failed RSA"), std::string::npos);
    expectRootsOnceIn(sandbox.dataHome() / "pki/nssdb");
}

TEST_F(RootImport, APasswordProtectedDatabaseIsLoggedAndGetsNoEntryWhileTheOthersGetTheRoots) {
    Importer importer(sandbox);
    const fs::path locked = sandbox.dataHome() / "pki/nssdb";
    fs::create_directories(locked);
    writeFile(sandbox.tempDir() / "password", "secret\n");
    outputOf({"/usr/bin/certutil", "-N", "-d", "sql:" + locked.string(), "-f",
              (sandbox.tempDir() / "password").string()});
    const fs::path profile = sandbox.home() / ".mozilla/firefox/abc.default";
    makeNssDatabase(profile);
    writeFile(sandbox.home() / ".mozilla/firefox/profiles.ini",
              "[Profile0]\nName=default\nIsRelative=1\nPath=abc.default\n");

    importer.import();

    const std::string log = importer.log();
    EXPECT_EQ(
        countOf(log, "[Warning] NSS database is password-protected, the root is not added to it: " +
                         locked.string()),
        2u)
        << log;
    EXPECT_EQ(countOf(log, "[Error] Import root CA failed: " + std::to_string(EACCES)), 2u) << log;
    EXPECT_EQ(countOf(nssListing(locked), "ZEFAGPKITessaroll root "), 0u) << nssListing(locked);
    expectRootsOnceIn(profile);
}

// The service starts only once the roots are in place, so it runs no longer than needed
// (other tests end programs by name).
class RootImportWithService : public ServiceTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the private system stores need root";
    }
};

// A page's echo call with curl, checked against the system's bundle only.
std::vector<std::string> curlEcho(const std::string& host) {
    return {"/usr/bin/curl",
            "-sS",
            "--max-time",
            "10",
            "-H",
            std::string("Origin: ") + pageOrigin,
            "--data-urlencode",
            "Parameter=" + base64Encode(echoRequest()),
            "https://" + host + ":56482/"};
}
// What an earlier version left: a root in the system store, for every user, and one in the
// user's NSS database; their keys were not the user's own.
constexpr const char* kEarlierNickname = "ZEFAGPKITessaroll root 0123456789ABCDEF";
constexpr const char* kEarlierSystemFile = "ZEFAGPKITessaroll-root-0123456789ABCDEF.crt";
const fs::path kEarlierRoot = fs::path(TESSAROLL_BINARY_DIR) / "generated/certs/rsa_server.pem";

TEST_F(RootImportWithService,
       AsRootThePolicyNamesEachUsersOwnRootsTheSystemStoreVouchesForNoneAndEarlierRootsGo) {
    Importer importer(sandbox);
    // Firefox profiles in both places Firefox keeps them, one listed by an absolute path.
    const fs::path legacyProfile = sandbox.home() / ".mozilla/firefox/abc.default-esr";
    const fs::path xdgProfile = sandbox.root() / "elsewhere/profile";
    fs::create_directories(legacyProfile);
    fs::create_directories(xdgProfile);
    writeFile(sandbox.home() / ".mozilla/firefox/profiles.ini",
              "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default-esr\nIsRelative="
              "1\nPath=abc.default-esr\n"
              "Default=1\n\n[Install1234]\nDefault=abc.default-esr\n");
    writeFile(sandbox.home() / ".config/mozilla/firefox/profiles.ini",
              "[Profile0]\r\nName=other\r\nIsRelative=0\r\nPath=" + xdgProfile.string() + "\r\n");
    // An administrator's policy that must stay.
    writeFile(importer.etc() / "firefox/policies/policies.json",
              "{\n  \"policies\": {\"DisableTelemetry\": true}\n}\n");
    const fs::path nssdb = sandbox.dataHome() / "pki/nssdb";
    makeNssDatabase(nssdb);
    outputOf({"/usr/bin/certutil", "-A", "-d", "sql:" + nssdb.string(), "-n", kEarlierNickname,
              "-t", "C,,", "-i", kEarlierRoot.string()});
    fs::create_directories(importer.localCertificates());
    fs::copy_file(kEarlierRoot, importer.localCertificates() / kEarlierSystemFile);
    outputOf(importer.inStores({"/usr/sbin/update-ca-certificates"}));
    const std::string earlierPem = readFile(kEarlierRoot);
    ASSERT_EQ(countOf(importer.bundle(), earlierPem), 1u);

    for (int run = 0; run < 2; ++run) importer.import();

    const std::string log = importer.log();
    EXPECT_EQ(log.find("failed"), std::string::npos) << log;
    EXPECT_EQ(log.find("Not run as root"), std::string::npos);
    const auto roots = placedRoots();
    const std::string bundle = importer.bundle();
    const std::string policy = importer.policy();
    EXPECT_FALSE(fs::exists(importer.localCertificates() / kEarlierSystemFile));
    EXPECT_EQ(countOf(bundle, earlierPem), 0u);
    EXPECT_EQ(nssListing(nssdb).find(kEarlierNickname), std::string::npos);
    // Made by the worker, read by every user's Firefox.
    EXPECT_EQ(fs::status(importer.etc() / "firefox/policies/policies.json").permissions() &
                  fs::perms::others_read,
              fs::perms::others_read);
    std::vector<std::string> names;
    for (const Root& root : roots) {
        EXPECT_EQ(countOf(bundle, root.pem), 0u) << root.nickname;
        EXPECT_EQ(countOf(policy, "\"" + root.firefoxFile + "\""), 1u) << policy;
        EXPECT_EQ(readFile(sandbox.home() / ".mozilla/certificates" / root.firefoxFile),
                  std::string(root.pem));
        names.push_back(root.firefoxFile);
    }
    EXPECT_NE(policy.find("\"DisableTelemetry\": true"), std::string::npos) << policy;
    EXPECT_EQ(withInstalledCertificates(policy, names), policy);
    expectRootsOnceIn(nssdb);
    expectRootsOnceIn(legacyProfile);
    expectRootsOnceIn(xdgProfile);

    startService();
    // The system bundle vouches for nobody's service; the user's roots do.
    const fs::path userRoots = sandbox.root() / "roots.pem";
    writeFile(userRoots, std::string(roots[0].pem) + roots[1].pem);
    for (const char* host : {"localhost", "127.0.0.1"}) {
        outputOf(importer.inStores(curlEcho(host)), 60);  // CURLE_PEER_FAILED_VERIFICATION
        std::vector<std::string> trusting = curlEcho(host);
        trusting.insert(trusting.begin() + 1, {"--cacert", userRoots.string()});
        auto answer = decodeAnswer(outputOf(trusting));
        ASSERT_TRUE(answer) << host;
        EXPECT_EQ((*answer)["result"], "0") << host;
    }
    // Both server certificates, whichever the service presents, for each name it is called by.
    for (const std::vector<std::string>& name :
         std::vector<std::vector<std::string>>{{"-verify_hostname", "localhost"},
                                               {"-verify_ip", "127.0.0.1"},
                                               {"-verify_ip", "::1"}}) {
        std::vector<std::string> verify = {"/usr/bin/openssl", "verify", "-CAfile",
                                           userRoots.string(), name[0],  name[1]};
        for (const char* file : {"ec_server.pem", "rsa_server.pem"})
            verify.push_back((sandbox.credentialFolder() / file).string());
        EXPECT_EQ(countOf(outputOf(verify), ": OK\n"), 2u) << name[1];
    }
}

// Opens a loopback page in the browser until it reports what the service answered.
void expectPageReachesTheService(const std::vector<std::string>& browser, PageServer& server,
                                 Service& service,
                                 const std::map<std::string, std::string>& environment) {
    ChildProcess process(browser.front(), {browser.begin() + 1, browser.end()}, environment);
    ASSERT_TRUE(waitUntil([&] { return server.report().has_value(); }, 90s))
        << process.errors() << "\n"
        << service.log();
    process.kill();
    const std::string report = *server.report();
    ASSERT_TRUE(report.starts_with("200 ")) << report << "\n"
                                            << process.errors() << "\n"
                                            << service.log();
    auto answer = decodeAnswer(report.substr(4));
    ASSERT_TRUE(answer) << report;
    EXPECT_EQ((*answer)["result"], "0");
    EXPECT_TRUE(service.waitForLog("Origin: http://127.0.0.1:" + std::to_string(server.port())));
}

// A user's first import, before the first start: the worker makes the user's own roots,
// and the service started afterwards serves with them.
TEST_F(RootImportWithService,
       ChromiumTrustsTheServiceThroughTheXdgDatabaseWithRootsMadeByTheWorker) {
    const fs::path chromium = "/usr/bin/chromium";
    if (!fs::exists(chromium)) GTEST_SKIP() << "no Chromium on this machine";
    Importer importer(sandbox);
    fs::remove_all(sandbox.credentialFolder());
    makeNssDatabase(sandbox.dataHome() / "pki/nssdb");
    importer.import();
    ASSERT_FALSE(fs::exists(sandbox.home() / ".pki"));
    const std::string listing = nssListing(sandbox.dataHome() / "pki/nssdb");
    EXPECT_EQ(countOf(listing, "ZEFAGPKITessaroll root "), 2u) << listing;
    for (const Root& root : placedRoots())
        EXPECT_EQ(listing.find(root.nickname), std::string::npos);
    EXPECT_NE(importer.log().find("Making the user's root and server certificate: RSA"),
              std::string::npos);

    startService();
    PageServer server(callingPage(echoRequest(), "https://127.0.0.1:56482/"));
    expectPageReachesTheService(
        {chromium.string(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + (sandbox.root() / "chromium").string(),
         server.url()},
        server, *service, sandbox.environment());
}

TEST_F(RootImportWithService,
       FirefoxTrustsTheServiceInThePreparedProfileAndInANewOneThroughThePolicy) {
    const fs::path firefox = "/usr/bin/firefox-esr";
    if (!fs::exists(firefox)) GTEST_SKIP() << "no Firefox ESR on this machine";
    Importer importer(sandbox);
    // A profile as Firefox makes and lists it.
    const fs::path prepared = sandbox.root() / "firefox-prepared";
    outputOf({firefox.string(), "--headless", "-CreateProfile", "prepared " + prepared.string()});
    importer.import();
    expectRootsOnceIn(prepared);
    // Made by the worker, read by every user's Firefox.
    for (const fs::path& shared : {importer.etc() / "firefox", importer.etc() / "firefox/policies",
                                   importer.etc() / "firefox/policies/policies.json"})
        EXPECT_EQ(fs::status(shared).permissions() & fs::perms::others_read, fs::perms::others_read)
            << shared;
    // Only the user's own certificate folder holds the roots the policy names.
    for (const Root& root : placedRoots()) {
        EXPECT_EQ(importer.policy().find(std::string(root.pem).substr(30, 40)), std::string::npos);
        EXPECT_TRUE(fs::exists(sandbox.home() / ".mozilla/certificates" / root.firefoxFile));
    }

    startService();
    const std::map<std::string, std::string> environment = {{"MOZ_CRASHREPORTER_DISABLE", "1"}};
    auto firefoxWith = [&](const fs::path& profile) {
        return std::vector<std::string>{firefox.string(), "--headless", "--no-remote", "--profile",
                                        profile.string()};
    };
    {
        SCOPED_TRACE("the prepared profile, with the machine's own policies");
        PageServer server(callingPage(echoRequest(), "https://localhost:56482/"));
        auto command = firefoxWith(prepared);
        command.push_back(server.url());
        expectPageReachesTheService(command, server, *service, environment);
    }
    {
        SCOPED_TRACE("a profile made after the import, with the policy naming the user's roots");
        const fs::path fresh = sandbox.root() / "firefox-fresh";
        fs::create_directories(fresh);
        PageServer server(callingPage(echoRequest(), "https://127.0.0.1:56482/"));
        auto command = firefoxWith(fresh);
        command.push_back(server.url());
        expectPageReachesTheService(importer.inStores(command), server, *service, environment);
    }
}

}  // namespace
