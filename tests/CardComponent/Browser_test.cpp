// The system's main job as a user meets it: the example page, served on loopback and opened
// in headless Chromium, lists the demo token's certificate and signs a text through the
// staged service, adapter and component; the signature it received is checked by openssl.
#include "CardComponent/Certificate.h"
#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// The text value of a key in the page's report (its values hold no quotes or escapes).
std::string jsonText(const std::string& json, const std::string& key) {
    std::string marker = "\"" + key + "\":\"";
    size_t at = json.find(marker);
    if (at == std::string::npos) return {};
    at += marker.size();
    return json.substr(at, json.find('"', at) - at);
}

}  // namespace

TEST(BrowserExample, ListsCertificatesAndSignsThroughTheWholeStack) {
    if (!fs::exists("/usr/bin/chromium")) GTEST_SKIP() << "chromium is not installed";
    Sandbox sandbox;
    int status = 1;
    std::string made = shell("bash " TESSAROLL_SOURCE_DIR "/scripts/demo-token.sh 2>&1", &status);
    ASSERT_EQ(status, 0) << made;
    fs::path demo = sandbox.dataHome() / "ZEFAGPKI" / "demo-token";
    std::string conf = (demo / "softhsm2.conf").string();

    // The browser trusts the service through the sandbox's own NSS database.
    fs::path nss = sandbox.home() / ".pki" / "nssdb";
    fs::create_directories(nss);
    shell("certutil -N -d sql:" + nss.string() + " --empty-password 2>&1");
    for (bool rsa : {false, true})
        shell("certutil -A -d sql:" + nss.string() + " -n tessaroll-" + (rsa ? "rsa" : "ec") +
              " -t C,, -i " + Service::rootCertificate(rsa).string() + " 2>&1");

    // A service left running by someone else would answer in ours' place, with its own roots.
    // (one still shutting down gets a moment)
    auto portsFree = [] {
        for (uint16_t port : servicePorts)
            if (canConnect("127.0.0.1", port)) return false;
        return true;
    };
    ASSERT_TRUE(waitUntil(portsFree, std::chrono::seconds(15)))
        << "the service ports are taken by another program";
    ServiceOptions options;
    options.environment = {{"SOFTHSM2_CONF", conf}};
    Service service(sandbox, options);
    ASSERT_TRUE(service.waitListening()) << service.log();

    fs::path portFile = sandbox.tempDir() / "port", report = sandbox.tempDir() / "report.json";
    ChildProcess pages("/usr/bin/python3",
                       {TESSAROLL_SOURCE_DIR "/tests/CardComponent/page_server.py",
                        TESSAROLL_SOURCE_DIR "/examples", portFile.string(), report.string()});
    ASSERT_TRUE(waitUntil([&] { return fs::exists(portFile); })) << pages.errors();
    std::string url = "http://127.0.0.1:" + readFile(portFile) + "/sign.html?auto=1&report=/report";

    ChildProcess browser(
        "/usr/bin/chromium",
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + (sandbox.root() / "chromium").string(), url},
        {{"HOME", sandbox.home().string()}});
    ASSERT_TRUE(waitUntil([&] { return fs::exists(report); }, std::chrono::seconds(60)))
        << browser.errors() << "\n"
        << service.log();
    browser.kill();

    std::string json = readFile(report);
    ASSERT_EQ(jsonText(json, "error"), "") << json;
    EXPECT_EQ(jsonText(json, "echo"), "0") << json;
    std::string certificate =
        card::Certificate::parse(readFile(demo / "Tessaroll-Demo-rsa.pem")).base64();
    EXPECT_NE(json.find("\"certificates\":[\"" + certificate + "\"]"), std::string::npos) << json;

    std::string signature = jsonText(json, "signature");
    ASSERT_FALSE(signature.empty()) << json;
    writeFile(sandbox.tempDir() / "sig.p7", card::base64Decode(signature));
    std::string out = shell("openssl cms -verify -binary -inform DER -purpose any -in " +
                                (sandbox.tempDir() / "sig.p7").string() + " -CAfile " +
                                (demo / "demo-ca.pem").string() + " 2>&1",
                            &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find(jsonText(json, "text")), std::string::npos) << out;
}
